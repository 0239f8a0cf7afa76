#include "ReadWhileWriting.h"

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "ReaderProcess.h"

namespace TamBench {

const char* const RWW_TREE = "readwhilewriting/tree";
const char* const RWW_SNAPSHOT = "readwhilewriting/snapshot";
const char* const RWW_PROCS = "readwhilewriting-procs";

std::string RwwPhase(std::uint32_t readers, bool writer, bool procs) {
    std::string name = procs ? std::string(RWW_PROCS) + "/" : std::string("readwhilewriting/");
    if (writer) name += readers ? "w+" : "w";
    if (readers) name += "r" + std::to_string(readers);
    return name;
}

namespace {

using Clock = std::chrono::steady_clock;

// The first generation of values no other workload stores.
constexpr std::uint32_t FIRST_GENERATION = 4;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The CPU time the calling thread has used.
double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The CPU seconds the whole machine has been busy (every mode but idle and
// waiting for I/O), from /proc/stat; 0 where it cannot be read.
double MachineBusySeconds() {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    stat >> cpu;
    double busy = 0;
    std::uint64_t ticks = 0;
    for (int field = 0; field < 8 && stat >> ticks; ++field)
        if (field != 3 && field != 4) busy += static_cast<double>(ticks);
    return busy / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The CPU seconds this process has used, all its threads.
double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// What one reader did.
struct Tally {
    std::uint64_t gets = 0;
    std::uint64_t hits = 0;
    std::uint64_t sink = 0;
};

// Gets through `reader` in `order` from `at` on, round and round, renewing
// the reader every RWW_RENEW_EVERY gets, while `more()` holds. The reader was
// renewed just before.
template <class More>
void ReadThrough(Reader& reader, const std::vector<std::uint32_t>& order, std::size_t at, More more,
                 Tally& tally) {
    std::uint32_t sinceRenew = 0;
    while (more(tally.gets)) {
        if (sinceRenew == RWW_RENEW_EVERY) {
            reader.Renew();
            sinceRenew = 0;
        }
        tally.hits += reader.Get(MakeKey(order[at]), tally.sink);
        ++sinceRenew;
        ++tally.gets;
        if (++at == order.size()) at = 0;
    }
}

// Start and stop of a timed phase, shared by its threads.
struct Gate {
    std::atomic<std::uint32_t> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
};

// One reader thread: its reader (made, used and destroyed on the thread, as
// LMDB's read transactions require), where it starts in the key order, and
// what it did. Aligned apart, so that the threads' tallies share no line.
struct alignas(64) ReaderThread {
    std::unique_ptr<Reader> reader;
    std::size_t first = 0;
    Tally tally;
    double cpuSeconds = 0;
    std::exception_ptr error;
};

void RunReaderThread(ReaderThread& thread, const std::vector<std::uint32_t>& order, Gate& gate) {
    try {
        // Opening (SQLite: a connection) is not timed.
        thread.reader->Renew();
    } catch (...) {
        thread.error = std::current_exception();
    }
    gate.ready.fetch_add(1);
    while (!gate.go.load()) std::this_thread::yield();
    const double cpu = ThreadCpuSeconds();
    if (!thread.error) {
        try {
            ReadThrough(
                *thread.reader, order, thread.first,
                [&](std::uint64_t) { return !gate.stop.load(std::memory_order_relaxed); },
                thread.tally);
        } catch (...) {
            thread.error = std::current_exception();
        }
    }
    thread.cpuSeconds = ThreadCpuSeconds() - cpu;
    thread.reader.reset();
}

// The reader threads of a phase, stopped and joined however the phase ends.
class ReaderThreads {
public:
    explicit ReaderThreads(Gate& phaseGate) : gate(phaseGate) {}
    ~ReaderThreads() { Join(); }
    ReaderThreads(const ReaderThreads&) = delete;
    ReaderThreads& operator=(const ReaderThreads&) = delete;

    void Start(ReaderThread& thread, const std::vector<std::uint32_t>& order) {
        threads.emplace_back(RunReaderThread, std::ref(thread), std::cref(order), std::ref(gate));
    }
    void Join() {
        gate.stop.store(true);
        gate.go.store(true);
        for (std::thread& t : threads)
            if (t.joinable()) t.join();
    }

private:
    Gate& gate;
    std::vector<std::thread> threads;
};

class Workload {
public:
    Workload(Engine& measured, const ValueSource& source, const ReadWhileWritingSettings& run,
             const std::string& storeDirectory, std::uint64_t& checksum)
        : engine(measured),
          values(source),
          settings(run),
          directory(storeDirectory),
          sink(checksum),
          readOrder(Permutation(run.records, run.readSeed)),
          writeOrder(Permutation(run.records, run.writeSeed)) {}

    std::vector<Measurement> Run() {
        std::vector<Measurement> out =
            settings.processes ? std::vector<Measurement>() : OneThread();
        for (const std::uint32_t readers : {1u, 2u}) out.push_back(Phase(readers, false));
        for (const std::uint32_t readers : {0u, 1u, 2u}) out.push_back(Phase(readers, true));
        return out;
    }

private:
    std::vector<Measurement> OneThread();
    double TreeGets();
    double SnapshotGets();
    Measurement Phase(std::uint32_t readers, bool write);
    Measurement ProcessPhase(std::uint32_t readers, bool write);
    void WriteOrWait(bool write, Clock::time_point deadline, Measurement& m);
    void Collect(const std::vector<ReaderThread>& threads, Measurement& m);
    std::uint64_t WriteUntil(Clock::time_point deadline);
    void RequireHits(const Tally& tally) const;
    Measurement Named(const std::string& name) const;

    Engine& engine;
    const ValueSource& values;
    ReadWhileWritingSettings settings;
    std::string directory;
    std::uint64_t& sink;
    std::vector<std::uint32_t> readOrder;
    std::vector<std::uint32_t> writeOrder;
    // The writer goes on through its order from phase to phase; each pass
    // through it stores values of a new generation.
    std::size_t writeAt = 0;
    std::uint32_t generation = FIRST_GENERATION;
};

// The same gets through the tree and through snapshots, in turns (tree,
// snapshot, snapshot, tree) after an untimed pass that leaves every page read
// once (a page's first read checks it), so that neither side gains from
// going first or last.
std::vector<Measurement> Workload::OneThread() {
    TreeGets();
    Measurement tree = Named(RWW_TREE);
    Measurement snapshot = Named(RWW_SNAPSHOT);
    tree.seconds = TreeGets();
    snapshot.seconds = SnapshotGets() + SnapshotGets();
    tree.seconds += TreeGets();
    tree.ops = snapshot.ops = 2 * readOrder.size();
    tree.readers = snapshot.readers = 1;
    tree.fileBytes = snapshot.fileBytes = DirectoryBytes(directory);
    return {tree, snapshot};
}

double Workload::TreeGets() {
    Tally tally;
    const Clock::time_point start = Clock::now();
    engine.BeginRead();
    for (const std::uint32_t n : readOrder) {
        tally.hits += engine.Get(MakeKey(n), tally.sink);
        ++tally.gets;
    }
    engine.EndRead();
    const double seconds = SecondsSince(start);
    RequireHits(tally);
    sink += tally.sink;
    return seconds;
}

double Workload::SnapshotGets() {
    std::unique_ptr<Reader> reader = engine.NewReader();
    reader->Renew();
    Tally tally;
    const std::uint64_t count = readOrder.size();
    const Clock::time_point start = Clock::now();
    ReadThrough(
        *reader, readOrder, 0, [&](std::uint64_t gets) { return gets < count; }, tally);
    const double seconds = SecondsSince(start);
    reader.reset();
    RequireHits(tally);
    sink += tally.sink;
    return seconds;
}

// `readers` threads read for the phase's time while this thread writes or
// waits; the store's growth is taken after the readers ended.
Measurement Workload::Phase(std::uint32_t readers, bool write) {
    if (settings.processes) return ProcessPhase(readers, write);
    Measurement m = Named(RwwPhase(readers, write));
    m.readers = readers;
    m.batch = write ? RWW_WRITE_BATCH : 0;
    std::vector<ReaderThread> threads(readers);
    for (std::uint32_t i = 0; i < readers; ++i) {
        threads[i].reader = engine.NewReader();
        threads[i].first = readOrder.size() * i / readers;
    }
    const std::uint64_t before = DirectoryBytes(directory);
    Gate gate;
    {
        ReaderThreads running(gate);
        for (ReaderThread& thread : threads) running.Start(thread, readOrder);
        while (gate.ready.load() < readers) std::this_thread::yield();
        const Clock::time_point start = Clock::now();
        gate.go.store(true);
        WriteOrWait(write,
                    start + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(settings.seconds)),
                    m);
        gate.stop.store(true);
        m.seconds = SecondsSince(start);
    }
    Collect(threads, m);
    m.fileBytes = DirectoryBytes(directory);
    m.growthBytes = static_cast<std::int64_t>(m.fileBytes) - static_cast<std::int64_t>(before);
    return m;
}

// `readers` processes read for the phase's time while this thread writes or
// waits. Each opens the store and gets its first record before the clock
// starts; all start and stop at the same moments of the steady clock.
Measurement Workload::ProcessPhase(std::uint32_t readers, bool write) {
    Measurement m = Named(RwwPhase(readers, write, true));
    m.readers = readers;
    m.batch = write ? RWW_WRITE_BATCH : 0;
    std::vector<std::unique_ptr<ReaderProcess>> processes;
    for (std::uint32_t i = 0; i < readers; ++i) {
        ReaderJob job;
        job.engine = engine.Name();
        job.directory = directory;
        job.records = settings.records;
        job.readSeed = settings.readSeed;
        job.first = readOrder.size() * i / readers;
        job.cacheBytes = settings.cacheBytes;
        processes.emplace_back(new ReaderProcess(job));
    }
    for (const std::unique_ptr<ReaderProcess>& p : processes) p->WaitReady();
    const std::uint64_t before = DirectoryBytes(directory);
    // Time for every reader to hear the start before it comes.
    const Clock::time_point start = Clock::now() + std::chrono::milliseconds(20);
    const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(settings.seconds));
    for (const std::unique_ptr<ReaderProcess>& p : processes) p->Go(start, deadline);
    std::this_thread::sleep_until(start);
    WriteOrWait(write, deadline, m);
    m.seconds = SecondsSince(start);
    m.slowestReaderOps = 0;
    for (std::size_t i = 0; i < processes.size(); ++i) {
        const ReaderReport report = processes[i]->Finish();
        Tally tally;
        tally.gets = report.gets;
        tally.hits = report.hits;
        RequireHits(tally);
        m.ops += report.gets;
        m.slowestReaderOps = i == 0 ? report.gets : std::min(m.slowestReaderOps, report.gets);
        m.readerCpuSeconds += report.cpuSeconds;
        sink += report.sink;
    }
    if (processes.empty()) m.ops = m.writerOps;
    // The machine's busy time beyond this process's counted the readers too.
    m.otherCpuSeconds = std::max(0.0, m.otherCpuSeconds - m.readerCpuSeconds);
    m.fileBytes = DirectoryBytes(directory);
    m.growthBytes = static_cast<std::int64_t>(m.fileBytes) - static_cast<std::int64_t>(before);
    return m;
}

// This thread's part of a phase: writing until the deadline, or waiting for
// it; with the pages its commits copied (where the engine counts them) and the
// CPU it and the rest of the machine used.
void Workload::WriteOrWait(bool write, Clock::time_point deadline, Measurement& m) {
    const double cpu = ThreadCpuSeconds();
    const double machine = MachineBusySeconds();
    const double process = ProcessCpuSeconds();
    const CommitCounters counters = engine.Counters();
    if (write)
        m.writerOps = WriteUntil(deadline);
    else
        std::this_thread::sleep_until(deadline);
    const CommitCounters after = engine.Counters();
    m.counters.commits = after.commits - counters.commits;
    m.counters.pagesWritten = after.pagesWritten - counters.pagesWritten;
    m.writerCpuSeconds = write ? ThreadCpuSeconds() - cpu : 0;
    m.otherCpuSeconds =
        std::max(0.0, MachineBusySeconds() - machine - (ProcessCpuSeconds() - process));
}

void Workload::Collect(const std::vector<ReaderThread>& threads, Measurement& m) {
    for (const ReaderThread& thread : threads)
        if (thread.error) std::rethrow_exception(thread.error);
    m.slowestReaderOps = threads.empty() ? 0 : threads.front().tally.gets;
    for (const ReaderThread& thread : threads) {
        RequireHits(thread.tally);
        m.ops += thread.tally.gets;
        m.slowestReaderOps = std::min(m.slowestReaderOps, thread.tally.gets);
        m.readerCpuSeconds += thread.cpuSeconds;
        sink += thread.tally.sink;
    }
    if (threads.empty()) m.ops = m.writerOps;
}

// Batches of RWW_WRITE_BATCH overwrites, each committed durably, until the
// deadline; the overwrites committed.
std::uint64_t Workload::WriteUntil(Clock::time_point deadline) {
    std::uint64_t ops = 0;
    do {
        engine.BeginWrite();
        for (std::uint32_t i = 0; i < RWW_WRITE_BATCH; ++i) {
            const std::uint32_t n = writeOrder[writeAt];
            engine.Overwrite(MakeKey(n), values.Value(n, generation));
            if (++writeAt == writeOrder.size()) {
                writeAt = 0;
                ++generation;
            }
        }
        engine.CommitWrite();
        ops += RWW_WRITE_BATCH;
    } while (Clock::now() < deadline);
    return ops;
}

void Workload::RequireHits(const Tally& tally) const {
    if (tally.hits != tally.gets)
        throw std::runtime_error(std::string(engine.Name()) + ": a reader missed a stored key");
}

Measurement Workload::Named(const std::string& name) const {
    Measurement m;
    m.engine = engine.Name();
    m.workload = name;
    return m;
}

}  // namespace

std::vector<Measurement> RunReadWhileWriting(Engine& engine, const ValueSource& values,
                                             const ReadWhileWritingSettings& settings,
                                             const std::string& directory, std::uint64_t& sink) {
    return Workload(engine, values, settings, directory, sink).Run();
}

}  // namespace TamBench
