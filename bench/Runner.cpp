#include "Runner.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "Floor.h"
#include "ReadWhileWriting.h"
#include "ReaderProcess.h"

namespace TamBench {

namespace {

using Clock = std::chrono::steady_clock;

CommitCounters Difference(const CommitCounters& after, const CommitCounters& before) {
    CommitCounters d;
    d.commits = after.commits - before.commits;
    d.pagesWritten = after.pagesWritten - before.pagesWritten;
    d.flushViews = after.flushViews - before.flushViews;
    d.flushes = after.flushes - before.flushes;
    return d;
}

bool IsFill(const std::string& w) {
    return w.compare(0, 4, "fill") == 0;
}

bool IsWrite(const std::string& w) {
    return w.compare(0, 4, "read") != 0 && w != "compact";
}

// Each workload draws its own record order, the same for every engine;
// compact draws none, and the workloads after it keep the seeds they had
// before it was added.
std::uint64_t OrderSeed(const std::string& w) {
    std::uint64_t seed = 1;
    for (const std::string& name : AllWorkloads()) {
        if (name == w) break;
        if (name != "compact") ++seed;
    }
    return seed;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

const std::vector<std::string>& AllWorkloads() {
    static const std::vector<std::string> all = {"fillseq",          "fillrandom",
                                                 "fillbulk",         "readrandom",
                                                 "readmissing",      "readseq",
                                                 "readreverse",      "overwrite",
                                                 "deleterandom",     "compact",
                                                 "synccommit",       "synccommit2pc",
                                                 "readwhilewriting", "readwhilewriting-procs",
                                                 "readeropen"};
    return all;
}

std::vector<std::string> DefaultWorkloads() {
    std::vector<std::string> out;
    for (const std::string& w : AllWorkloads())
        if (w != "readwhilewriting-procs" && w != "readeropen") out.push_back(w);
    return out;
}

bool IsSyncCommit(const std::string& w) {
    return w == "synccommit" || w == "synccommit2pc";
}

bool TakesStoreAsIs(const std::string& w) {
    return IsSyncCommit(w) || w == "compact";
}

bool RunsInEveryMode(const std::string& w) {
    return w == "synccommit" || w == "fillseq" || IsBatchedRandomWrite(w);
}

bool IsBatchedRandomWrite(const std::string& w) {
    return w == "fillrandom" || w == "overwrite" || w == "deleterandom";
}

Runner::Runner(Engine& measured, const RunSettings& run, const std::string& treeDirectory)
    : engine(measured), settings(run), directory(treeDirectory), values(run.seed) {}

Runner::~Runner() {
    engine.Close();
    RemoveTree(directory);
    RemoveTree(CopyDirectory());
}

std::vector<Measurement> Runner::Run(const std::string& workload) {
    if (workload == "readwhilewriting") return ReadWhileWriting(false);
    if (workload == "readwhilewriting-procs") return ReadWhileWriting(true);
    if (workload == "readeropen") return ReaderOpen();
    return {RunOnce(workload)};
}

Measurement Runner::RunOnce(const std::string& workload) {
    Prepare(workload);
    const std::vector<std::uint32_t> order = Order(workload);
    Measurement m;
    m.engine = engine.Name();
    m.workload = workload;
    m.durability = settings.durability;
    m.batch = workload == "fillbulk" ? settings.records : settings.batch;
    const CommitCounters counters = engine.Counters();
    const std::uint64_t written = WrittenBytes();
    const Clock::time_point start = Clock::now();
    m.ops = Execute(workload, order);
    // A mode that defers flushes pays for them here, within the time.
    if (IsWrite(workload)) engine.Sync();
    m.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    m.bytesWritten = WrittenBytes() - written;
    m.counters = Difference(engine.Counters(), counters);
    m.fileBytes = DirectoryBytes(directory);
    if (workload == "compact") Adopt(m);
    Settle(workload, m.ops);
    MeasureFloor(m);
    return m;
}

// On a store of all N records, which it leaves holding the same keys.
// Readers on threads or in processes of their own read the same orders.
std::vector<Measurement> Runner::ReadWhileWriting(bool processes) {
    const std::string w = "readwhilewriting";
    Prepare(w);
    ReadWhileWritingSettings s;
    s.records = settings.records;
    s.seconds = settings.seconds;
    s.readSeed = settings.seed * 1000 + OrderSeed(w);
    s.writeSeed = s.readSeed + 500;
    s.processes = processes;
    s.cacheBytes = settings.cacheBytes;
    return RunReadWhileWriting(engine, values, s, directory, sink);
}

// Fresh processes, one after another, open the store read-only and get one
// record each (a different one every time) while this process holds it; then
// as many processes that open nothing, whose start alone is measured the same
// way (as the engine "process").
std::vector<Measurement> Runner::ReaderOpen() {
    const std::string w = "readeropen";
    Prepare(w);
    const std::vector<std::uint32_t> order =
        Permutation(settings.records, settings.seed * 1000 + OrderSeed(w));
    std::vector<Measurement> out;
    for (const std::string& name : {std::string(engine.Name()), std::string(NO_ENGINE)}) {
        std::vector<double> opens, starts;
        for (std::uint32_t i = 0; i < settings.opens; ++i) {
            ReaderJob job;
            job.engine = name;
            job.directory = directory;
            job.records = settings.records;
            job.first = order[i % order.size()];
            job.cacheBytes = settings.cacheBytes;
            job.openOnly = true;
            ReaderProcess process(job);
            process.WaitReady();
            process.Wait();
            opens.push_back(process.OpenSeconds());
            starts.push_back(process.StartSeconds());
        }
        Measurement m;
        m.engine = name;
        m.workload = w;
        m.ops = opens.size();
        for (const double s : opens) m.seconds += s;
        m.fileBytes = DirectoryBytes(directory);
        m.openSeconds = Median(opens);
        m.startSeconds = Median(starts);
        m.openMinSeconds = *std::min_element(opens.begin(), opens.end());
        m.openMaxSeconds = *std::max_element(opens.begin(), opens.end());
        out.push_back(m);
    }
    return out;
}

std::vector<std::uint32_t> Runner::Order(const std::string& w) const {
    const std::uint32_t n = settings.records;
    if (w == "compact") return {};
    std::vector<std::uint32_t> order = Permutation(n, settings.seed * 1000 + OrderSeed(w));
    if (w == "fillseq") std::sort(order.begin(), order.end());
    if (w == "overwrite") order.resize(n / 10);
    if (w == "deleterandom") order.resize(n / 2);
    if (IsSyncCommit(w)) order.resize(std::min(n, settings.syncCommits));
    return order;
}

void Runner::Prepare(const std::string& w) {
    if (IsFill(w))
        CreateStore();
    else if (!full && (!TakesStoreAsIs(w) || stored == 0))
        Load();
}

void Runner::CreateStore() {
    engine.Close();
    RemoveTree(directory);
    MakeDirectory(directory);
    engine.Create(directory);
    full = false;
    stored = 0;
}

// Untimed: every record in random order, in one transaction.
void Runner::Load() {
    CreateStore();
    const std::vector<std::uint32_t> order = Order("fillrandom");
    Batched(order, settings.records,
            [&](std::uint32_t n) { engine.Insert(MakeKey(n), values.Value(n, 0)); });
    // The timed workload after it must not pay for flushing the load.
    engine.Sync();
    full = true;
    stored = settings.records;
}

std::uint64_t Runner::Execute(const std::string& w, const std::vector<std::uint32_t>& order) {
    const auto insert = [&](std::uint32_t n) { engine.Insert(MakeKey(n), values.Value(n, 0)); };
    if (w == "fillseq" || w == "fillrandom") return Batched(order, settings.batch, insert);
    if (w == "fillbulk") return Batched(order, settings.records, insert);
    if (w == "readrandom" || w == "readmissing") return Lookups(order, w == "readmissing");
    if (w == "readseq" || w == "readreverse") return Scan(w == "readseq");
    if (w == "overwrite")
        return Batched(order, settings.batch,
                       [&](std::uint32_t n) { engine.Overwrite(MakeKey(n), values.Value(n, 1)); });
    if (w == "deleterandom")
        return Batched(order, settings.batch, [&](std::uint32_t n) { engine.Erase(MakeKey(n)); });
    if (w == "compact") return Compact();
    if (w == "synccommit")
        return Batched(order, 1, [&](std::uint32_t n) {
            engine.Insert(MakeKey(n, true), values.Value(n, 2));
        });
    // Keys above every record number, so they never meet synccommit's.
    if (w == "synccommit2pc")
        return Batched(
            order, 1,
            [&](std::uint32_t n) {
                engine.Insert(MakeKey(settings.records + n, true), values.Value(n, 3));
            },
            true);
    throw std::runtime_error("unknown workload " + w);
}

void Runner::Settle(const std::string& w, std::uint64_t ops) {
    if (IsFill(w)) {
        full = true;
        stored = settings.records;
    } else if (w == "deleterandom") {
        full = false;
        stored -= ops;
    } else if (IsSyncCommit(w)) {
        full = false;
        stored += ops;
    }
}

void Runner::MeasureFloor(Measurement& m) const {
    if (!IsBatchedRandomWrite(m.workload) || m.counters.commits == 0 ||
        m.counters.pagesWritten == 0)
        return;
    m.floorBytes = m.counters.pagesWritten * 65536 / m.counters.commits;
    m.floorSeconds = MeasureCopyFlush(directory, m.floorBytes);
}

template <class Op>
std::uint64_t Runner::Batched(const std::vector<std::uint32_t>& order, std::uint32_t batch, Op op,
                              bool twoPhase) {
    for (std::size_t i = 0; i < order.size();) {
        engine.BeginWrite();
        const std::size_t end = std::min(order.size(), i + batch);
        for (; i < end; ++i) op(order[i]);
        if (twoPhase)
            engine.CommitWriteTwoPhase();
        else
            engine.CommitWrite();
    }
    return order.size();
}

std::uint64_t Runner::Lookups(const std::vector<std::uint32_t>& order, bool missing) {
    std::uint64_t hits = 0;
    engine.BeginRead();
    for (const std::uint32_t n : order) hits += engine.Get(MakeKey(n, missing), sink);
    engine.EndRead();
    if (hits != (missing ? 0 : order.size()))
        throw std::runtime_error(std::string(engine.Name()) + ": wrong number of hits");
    return order.size();
}

// A compacted copy of the store into a directory of its own; the records it
// holds, or 0 when the engine offers no such copy.
std::uint64_t Runner::Compact() {
    RemoveTree(CopyDirectory());
    MakeDirectory(CopyDirectory());
    return engine.CompactCopy(CopyDirectory()) ? stored : 0;
}

// The copy takes the store's place, as an in-place compaction would leave it,
// so that the workloads after compact run on the compacted store. Untimed.
void Runner::Adopt(Measurement& m) {
    if (m.ops == 0) {
        RemoveTree(CopyDirectory());
        return;
    }
    m.compactBytes = DirectoryBytes(CopyDirectory());
    engine.Close();
    RemoveTree(directory);
    if (std::rename(CopyDirectory().c_str(), directory.c_str()) != 0)
        throw std::runtime_error("cannot move the compacted copy into place");
    engine.Reopen(directory);
}

std::uint64_t Runner::Scan(bool forward) {
    const std::uint64_t n = engine.Scan(forward, sink);
    if (n != stored)
        throw std::runtime_error(std::string(engine.Name()) + ": scan saw a wrong count");
    return n;
}

}  // namespace TamBench
