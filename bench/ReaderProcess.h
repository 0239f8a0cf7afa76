// Readers in processes of their own. The driver starts its own binary again
// with a hidden first argument (READER_PROCESS_ARG); the new process opens the
// store by itself (ours read-only, LMDB an environment of its own, SQLite a
// connection of its own) while the driver's engine process holds it and
// writes. Parent and reader talk through two pipes: the reader reports when it
// is ready and how long its open took, the parent tells it when to start and
// stop (on the steady clock, which every process of the machine shares), and
// the reader reports what it read.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace TamBench {

constexpr const char* READER_PROCESS_ARG = "--reader-process";
// The engine of a reader process that opens nothing: its start alone.
constexpr const char* NO_ENGINE = "process";

// The life of a reader process (argv[1] is READER_PROCESS_ARG); its exit status.
int ReaderProcessMain(int argc, char** argv);

struct ReaderJob {
    std::string engine;     // tambtree, bytetree, lmdb, sqlite or NO_ENGINE
    std::string directory;  // the store's directory
    std::uint32_t records = 0;
    std::uint64_t readSeed = 0;  // the reader's order: Permutation(records, readSeed)
    std::uint64_t first = 0;     // where in the order it starts
    std::uint32_t cacheBytes = 0;
    // Open, get the first record of its order, report and exit.
    bool openOnly = false;
};

// What a reader process did.
struct ReaderReport {
    std::uint64_t gets = 0;
    std::uint64_t hits = 0;
    std::uint64_t sink = 0;
    double cpuSeconds = 0;  // the process's CPU time while it read
};

class ReaderProcess {
public:
    using Clock = std::chrono::steady_clock;

    // Starts the process.
    explicit ReaderProcess(const ReaderJob& job);
    // A process still running is killed and waited for.
    ~ReaderProcess();
    ReaderProcess(const ReaderProcess&) = delete;
    ReaderProcess& operator=(const ReaderProcess&) = delete;

    // Waits until the process has opened the store and got its first record;
    // throws what the process reported when it could not (or when it did not
    // report within minutes).
    void WaitReady();
    // Seconds the process took to open the store and get its first record,
    // measured inside it.
    double OpenSeconds() const { return openSeconds; }
    // Seconds from the start of the process (before posix_spawn) to its report of
    // being ready: the open with the start of a new process in front of it.
    double StartSeconds() const { return startSeconds; }
    // Tells the process to read from `start` until `deadline`.
    void Go(Clock::time_point start, Clock::time_point deadline);
    // Waits for the report of what it read and for its exit.
    ReaderReport Finish();
    // Waits for the exit of an open-only process.
    void Wait();

private:
    std::string ReadLine(double timeoutSeconds);
    void Reap(bool kill);

    std::string engine;
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
    std::string pending;
    double openSeconds = 0;
    double startSeconds = 0;
    double phaseSeconds = 0;
    Clock::time_point started;
};

}  // namespace TamBench
