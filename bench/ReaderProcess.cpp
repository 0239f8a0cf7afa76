#include "ReaderProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Bench.h"
#include "ReadWhileWriting.h"

namespace TamBench {

namespace {

using Clock = ReaderProcess::Clock;

// How long a reader process may take to open the store (or to report after
// its phase ended) before it counts as hung and is killed.
constexpr double READY_SECONDS = 300;

// Gets between two looks at the clock while a reader process reads.
constexpr std::uint32_t CLOCK_EVERY = 16;

double ProcessCpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::int64_t Nanoseconds(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

Clock::time_point FromNanoseconds(std::int64_t ns) {
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns)));
}

void WriteAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("a reader process's pipe broke");
        done += static_cast<std::size_t>(n);
    }
}

// A line from `fd` (without its newline); empty at the end of the input, or
// when none came within `timeoutMs` (-1: no limit).
std::string ReadLineFrom(int fd, std::string& pending, int timeoutMs = -1) {
    const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::size_t end = pending.find('\n');
        if (end != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return line;
        }
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now());
            pollfd wait{fd, POLLIN, 0};
            const int ready =
                ::poll(&wait, 1, static_cast<int>(std::max<std::int64_t>(0, left.count())));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return std::string();
        }
        char buffer[512];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::string();
        pending.append(buffer, static_cast<std::size_t>(n));
    }
}

// Opens nothing and finds every key.
class NoReader : public Reader {
public:
    void Renew() override {}
    bool Get(const Key&, std::uint64_t&) override { return true; }
};

std::unique_ptr<Reader> OpenReader(const std::string& engine, const std::string& directory,
                                   std::uint32_t cacheBytes) {
    if (engine == "tambtree" || engine == "bytetree")
        return NewTamProcessReader(directory, engine == "bytetree", cacheBytes);
    if (engine == "lmdb") return NewLmdbProcessReader(directory);
    if (engine == "sqlite") return NewSqliteProcessReader(directory);
    if (engine == NO_ENGINE) return std::unique_ptr<Reader>(new NoReader);
    throw std::invalid_argument("no reader process for " + engine);
}

// The reader process: argv[2..] are the job's fields.
int RunReader(char** argv) {
    ReaderJob job;
    job.engine = argv[2];
    job.directory = argv[3];
    job.records = static_cast<std::uint32_t>(std::stoul(argv[4]));
    job.readSeed = std::stoull(argv[5]);
    job.first = std::stoull(argv[6]);
    job.cacheBytes = static_cast<std::uint32_t>(std::stoul(argv[7]));
    job.openOnly = std::string(argv[8]) == "open";
    std::string pending;

    // The first record of an open is the one the reader would read first.
    const std::vector<std::uint32_t> order =
        job.openOnly ? std::vector<std::uint32_t>() : Permutation(job.records, job.readSeed);
    const std::uint32_t firstRecord =
        job.openOnly ? static_cast<std::uint32_t>(job.first) : order[job.first];
    std::uint64_t sink = 0;
    const Clock::time_point start = Clock::now();
    std::unique_ptr<Reader> reader = OpenReader(job.engine, job.directory, job.cacheBytes);
    reader->Renew();
    const bool found = reader->Get(MakeKey(firstRecord), sink);
    const double open = std::chrono::duration<double>(Clock::now() - start).count();
    if (!found) throw std::runtime_error("the first get of a reader process missed");
    char text[100];
    std::snprintf(text, sizeof text, "ready %.9f\n", open);
    WriteAll(1, text);
    if (job.openOnly) return 0;

    std::istringstream go(ReadLineFrom(0, pending));
    std::string word;
    std::int64_t startNs = 0, deadlineNs = 0;
    if (!(go >> word >> startNs >> deadlineNs) || word != "go") return 0;  // the parent gave up
    const Clock::time_point deadline = FromNanoseconds(deadlineNs);
    std::this_thread::sleep_until(FromNanoseconds(startNs));
    ReaderReport report;
    const double cpu = ProcessCpu();
    std::size_t at = job.first;
    std::uint32_t sinceRenew = 0;
    for (bool more = true; more;) {
        for (std::uint32_t i = 0; i < CLOCK_EVERY; ++i) {
            if (sinceRenew == RWW_RENEW_EVERY) {
                reader->Renew();
                sinceRenew = 0;
            }
            report.hits += reader->Get(MakeKey(order[at]), report.sink);
            ++sinceRenew;
            ++report.gets;
            if (++at == order.size()) at = 0;
        }
        more = Clock::now() < deadline;
    }
    report.cpuSeconds = ProcessCpu() - cpu;
    reader.reset();
    std::snprintf(text, sizeof text, "done %llu %llu %llu %.9f\n",
                  static_cast<unsigned long long>(report.gets),
                  static_cast<unsigned long long>(report.hits),
                  static_cast<unsigned long long>(report.sink + sink), report.cpuSeconds);
    WriteAll(1, text);
    return 0;
}

std::string SelfPath() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) throw std::runtime_error("cannot find the driver's own binary");
    return std::string(path, static_cast<std::size_t>(n));
}

}  // namespace

int ReaderProcessMain(int argc, char** argv) {
    if (argc != 9) {
        std::fprintf(stderr, "tambtree-bench: a reader process takes 7 arguments\n");
        return 2;
    }
    try {
        return RunReader(argv);
    } catch (const std::exception& e) {
        try {
            // Newlines would split the report.
            std::string what = e.what();
            for (char& c : what)
                if (c == '\n') c = ' ';
            WriteAll(1, "error " + what + "\n");
        } catch (...) {
        }
        return 1;
    }
}

ReaderProcess::ReaderProcess(const ReaderJob& job) : engine(job.engine) {
    const std::vector<std::string> args = {SelfPath(),
                                           READER_PROCESS_ARG,
                                           job.engine,
                                           job.directory,
                                           std::to_string(job.records),
                                           std::to_string(job.readSeed),
                                           std::to_string(job.first),
                                           std::to_string(job.cacheBytes),
                                           job.openOnly ? "open" : "read"};
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int down[2], up[2];
    if (::pipe2(down, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(up, O_CLOEXEC) != 0) {
        ::close(down[0]);
        ::close(down[1]);
        throw std::runtime_error("pipe failed");
    }
    // The new process keeps nothing of the engine's but the pipes: no file of
    // the store stays open in it, no lock is shared with it. posix_spawn does
    // not copy the engine's page tables as fork would.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, down[0], 0);
    posix_spawn_file_actions_adddup2(&actions, up[1], 1);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    started = Clock::now();
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(down[0]);
    ::close(up[1]);
    toChild = down[1];
    fromChild = up[0];
    if (rc != 0) {
        pid = -1;
        ::close(toChild);
        ::close(fromChild);
        throw std::runtime_error(std::string("cannot start a reader process: ") +
                                 std::strerror(rc));
    }
}

ReaderProcess::~ReaderProcess() {
    Reap(true);
}

void ReaderProcess::Reap(bool kill) {
    if (toChild >= 0) ::close(toChild);
    if (fromChild >= 0) ::close(fromChild);
    toChild = fromChild = -1;
    if (pid <= 0) return;
    if (kill) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

std::string ReaderProcess::ReadLine(double timeoutSeconds) {
    return ReadLineFrom(fromChild, pending, static_cast<int>(timeoutSeconds * 1000));
}

void ReaderProcess::WaitReady() {
    const std::string line = ReadLine(READY_SECONDS);
    startSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (line.compare(0, 6, "ready ") == 0) {
        openSeconds = std::stod(line.substr(6));
        return;
    }
    Reap(true);
    throw std::runtime_error(
        engine + " reader process: " +
        (line.compare(0, 6, "error ") == 0 ? line.substr(6) : std::string("it died or hung")));
}

void ReaderProcess::Go(Clock::time_point start, Clock::time_point deadline) {
    phaseSeconds = std::chrono::duration<double>(deadline - Clock::now()).count();
    WriteAll(toChild, "go " + std::to_string(Nanoseconds(start)) + " " +
                          std::to_string(Nanoseconds(deadline)) + "\n");
}

ReaderReport ReaderProcess::Finish() {
    const std::string line = ReadLine(phaseSeconds + READY_SECONDS);
    std::istringstream in(line);
    std::string word;
    unsigned long long gets = 0, hits = 0, sink = 0;
    ReaderReport report;
    if (!(in >> word >> gets >> hits >> sink >> report.cpuSeconds) || word != "done") {
        Reap(true);
        throw std::runtime_error(
            engine + " reader process: " +
            (line.compare(0, 6, "error ") == 0 ? line.substr(6) : std::string("it died or hung")));
    }
    report.gets = gets;
    report.hits = hits;
    report.sink = sink;
    Reap(false);
    return report;
}

void ReaderProcess::Wait() {
    Reap(false);
}

}  // namespace TamBench
