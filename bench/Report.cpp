#include "Report.h"

#include <cstdio>
#include <set>

#include "ReadWhileWriting.h"
#include "ReaderProcess.h"
#include "Runner.h"

namespace TamBench {

namespace {

constexpr double MIB = 1024.0 * 1024.0;

const Measurement* FindIn(const std::vector<Measurement>& list, const std::string& engine,
                          const std::string& workload, std::uint32_t batch = 0) {
    for (const Measurement& m : list)
        if (m.engine == engine && m.workload == workload && (batch == 0 || m.batch == batch))
            return &m;
    return nullptr;
}

// A measurement of the main runs; an engine's run may hold measurements of
// its second interface under that interface's name.
const Measurement* FindRun(const Results& r, const std::string& engine,
                           const std::string& workload) {
    for (const EngineRun& run : r.runs)
        if (const Measurement* m = FindIn(run.results, engine, workload)) return m;
    return nullptr;
}

// The names measured, in the order they ran.
std::vector<std::string> EnginesRun(const Results& r) {
    std::vector<std::string> out;
    const auto add = [&](const std::string& name) {
        for (const std::string& n : out)
            if (n == name) return;
        out.push_back(name);
    };
    for (const EngineRun& run : r.runs) {
        add(run.engine);
        for (const Measurement& m : run.results) add(m.engine);
    }
    return out;
}

bool Ran(const Results& r, const std::string& engine) {
    for (const std::string& n : EnginesRun(r))
        if (n == engine) return true;
    return false;
}

// Ours at a batch size: the main run or the sweep.
const Measurement* FindAtBatch(const Results& r, const std::string& engine,
                               const std::string& workload, std::uint32_t batch) {
    if (batch == r.batch) return FindRun(r, engine, workload);
    return FindIn(r.sweep, engine, workload, batch);
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Ratio(const Measurement* ours, const Measurement* other) {
    if (!ours || !other || other->OpsPerSecond() <= 0) return "-";
    return Format("%.2fx", ours->OpsPerSecond() / other->OpsPerSecond());
}

// Ours per commit against one copy-and-msync of the bytes that commit copied.
std::string FloorRatio(const Measurement* ours) {
    if (!ours || ours->floorSeconds <= 0 || ours->counters.commits == 0) return "-";
    return Format("%.2fx", ours->seconds / ours->counters.commits / ours->floorSeconds);
}

std::string OpsCell(const Measurement* m) {
    return m ? Format("%.0f", m->OpsPerSecond()) : "-";
}

std::vector<std::string> WorkloadsRun(const Results& r) {
    std::vector<std::string> out;
    for (const std::string& w : AllWorkloads())
        for (const std::string& engine : EnginesRun(r))
            if (FindRun(r, engine, w)) {
                out.push_back(w);
                break;
            }
    return out;
}

void PrintLine(std::ostream& out, const std::vector<std::string>& cells, int first, int rest) {
    char text[64];
    for (std::size_t i = 0; i < cells.size(); ++i) {
        std::snprintf(text, sizeof text, i == 0 ? "%-*s" : "%*s", i == 0 ? first : rest,
                      cells[i].c_str());
        out << text;
    }
    out << "\n";
}

// "ours" is the derived tree ("tambtree"); "bytetree" is ByteTree on the same
// store, measured for the reads.
void PrintOpsTable(const Results& r, std::ostream& out) {
    if (WorkloadsRun(r).empty()) return;
    const bool bytes = Ran(r, "bytetree");
    std::vector<std::string> head = {"workload (ops/s)"};
    for (const std::string& engine : EnginesRun(r)) head.push_back(engine);
    head.push_back("ours/lmdb");
    if (bytes) head.push_back("bytetree/lmdb");
    head.push_back("ours/sqlite");
    if (bytes) head.push_back("bytetree/ours");
    PrintLine(out, head, 20, 14);
    for (const std::string& w : WorkloadsRun(r)) {
        std::vector<std::string> row = {w};
        for (const std::string& engine : EnginesRun(r))
            row.push_back(OpsCell(FindRun(r, engine, w)));
        const Measurement* ours = FindRun(r, "tambtree", w);
        const Measurement* typed = FindRun(r, "bytetree", w);
        row.push_back(Ratio(ours, FindRun(r, "lmdb", w)));
        if (bytes) row.push_back(Ratio(typed, FindRun(r, "lmdb", w)));
        row.push_back(Ratio(ours, FindRun(r, "sqlite", w)));
        if (bytes) row.push_back(Ratio(typed, ours));
        PrintLine(out, row, 20, 14);
    }
}

// The store's files right after each fill, per engine, and ours against LMDB.
void PrintFillSizes(const Results& r, std::ostream& out) {
    std::vector<std::string> fills;
    for (const std::string& w : AllWorkloads())
        if (w.compare(0, 4, "fill") == 0 && FindRun(r, "tambtree", w)) fills.push_back(w);
    if (fills.empty()) return;
    std::vector<std::string> head = {"file MiB after"};
    head.insert(head.end(), fills.begin(), fills.end());
    PrintLine(out, head, 20, 14);
    for (const std::string& engine : EnginesRun(r)) {
        std::vector<std::string> row = {engine};
        bool any = false;
        for (const std::string& w : fills) {
            const Measurement* m = FindRun(r, engine, w);
            any = any || m;
            row.push_back(m ? Format("%.1f", m->fileBytes / MIB) : "-");
        }
        if (any) PrintLine(out, row, 20, 14);
    }
    for (const char* other : {"lmdb", "sqlite"}) {
        if (!Ran(r, other)) continue;
        std::vector<std::string> row = {std::string("ours/") + other};
        for (const std::string& w : fills) {
            const Measurement* ours = FindRun(r, "tambtree", w);
            const Measurement* them = FindRun(r, other, w);
            row.push_back(them && them->fileBytes > 0
                              ? Format("%.2fx", static_cast<double>(ours->fileBytes) /
                                                    static_cast<double>(them->fileBytes))
                              : "-");
        }
        PrintLine(out, row, 20, 14);
    }
    out << "\n";
}

// The store's size when it holds exactly N records: after its last fill, or
// after the first read when no fill ran.
const Measurement* LastFill(const EngineRun& run) {
    const Measurement* last = nullptr;
    for (const Measurement& m : run.results)
        if (m.workload.compare(0, 4, "fill") == 0) last = &m;
    if (!last && !run.results.empty() && run.results.front().workload.compare(0, 4, "read") == 0)
        last = &run.results.front();
    return last;
}

void PrintEngineTable(const Results& r, std::ostream& out) {
    PrintLine(out, {"engine", "file MiB", "peak RSS MiB", "status"}, 20, 13);
    for (const EngineRun& run : r.runs) {
        const Measurement* fill = LastFill(run);
        PrintLine(out,
                  {run.engine, fill ? Format("%.1f", fill->fileBytes / MIB) : "-",
                   Format("%.1f", run.peakRssKib / 1024.0), run.error.empty() ? "ok" : run.error},
                  20, 13);
    }
}

void PrintFloorTable(const Results& r, std::ostream& out) {
    PrintLine(out,
              {"workload", "commits", "copied KiB", "flushed KiB", "floor ms", "ours ms",
               "ours/floor", "lmdb KiB"},
              20, 13);
    for (const std::string& w : AllWorkloads()) {
        const Measurement* ours = FindRun(r, "tambtree", w);
        if (!ours || ours->floorSeconds <= 0) continue;
        const Measurement* lmdb = FindRun(r, "lmdb", w);
        const double commits = static_cast<double>(ours->counters.commits);
        PrintLine(out,
                  {w, Format("%.0f", commits), Format("%.0f", ours->floorBytes / 1024.0),
                   Format("%.0f", ours->bytesWritten / commits / 1024.0),
                   Format("%.2f", ours->floorSeconds * 1000),
                   Format("%.2f", ours->seconds / commits * 1000), FloorRatio(ours),
                   lmdb ? Format("%.0f", lmdb->bytesWritten / commits / 1024.0) : "-"},
                  20, 13);
    }
}

bool HasFloors(const Results& r) {
    for (const std::string& w : AllWorkloads()) {
        const Measurement* ours = FindRun(r, "tambtree", w);
        if (ours && ours->floorSeconds > 0) return true;
    }
    return false;
}

// Rows of batched random writes, columns of batch sizes.
template <class Cell>
void PrintSweepTable(const Results& r, const std::string& title, Cell cell, std::ostream& out) {
    std::vector<std::string> head = {title};
    for (const std::uint32_t b : r.sweepBatches) head.push_back("B=" + std::to_string(b));
    PrintLine(out, head, 20, 13);
    for (const std::string& w : AllWorkloads()) {
        if (!IsBatchedRandomWrite(w) || !FindRun(r, "tambtree", w)) continue;
        std::vector<std::string> row = {w};
        for (const std::uint32_t b : r.sweepBatches) row.push_back(cell(w, b));
        PrintLine(out, row, 20, 13);
    }
}

// compact: each engine's compacting copy of the store the earlier workloads
// left, and ours against LMDB's (goals: size <= 1.10x, time <= 1.00x).
void PrintCompactTable(const Results& r, std::ostream& out) {
    if (!FindRun(r, "tambtree", "compact")) return;
    out << "Compacting copy of the store the earlier workloads left (ours: CopyTo; LMDB:"
           " mdb_env_copy2 with MDB_CP_COMPACT; SQLite: VACUUM INTO; each flushed):\n";
    PrintLine(out, {"engine", "records", "before MiB", "copy MiB", "copy/before", "seconds"}, 20,
              13);
    for (const std::string& engine : EnginesRun(r)) {
        const Measurement* m = FindRun(r, engine, "compact");
        if (!m) continue;
        const bool copied = m->ops > 0 && m->compactBytes > 0;
        PrintLine(
            out,
            {engine, Format("%.0f", static_cast<double>(m->ops)),
             Format("%.1f", m->fileBytes / MIB),
             copied ? Format("%.1f", m->compactBytes / MIB) : "-",
             copied && m->fileBytes > 0 ? Format("%.2fx", static_cast<double>(m->compactBytes) /
                                                              static_cast<double>(m->fileBytes))
                                        : "-",
             copied ? Format("%.3f", m->seconds) : "-"},
            20, 13);
    }
    const Measurement* ours = FindRun(r, "tambtree", "compact");
    const Measurement* lmdb = FindRun(r, "lmdb", "compact");
    if (ours && lmdb && ours->compactBytes > 0 && lmdb->compactBytes > 0 && lmdb->seconds > 0)
        out << "ours/lmdb: copy size "
            << Format("%.2fx", static_cast<double>(ours->compactBytes) /
                                   static_cast<double>(lmdb->compactBytes))
            << " (goal <= 1.10x), copy time " << Format("%.2fx", ours->seconds / lmdb->seconds)
            << " (goal <= 1.00x)\n";
    out << "\n";
}

bool IsRead(const Measurement& m) {
    return m.workload.compare(0, 4, "read") == 0;
}

// A read before compact and the same read after it, with nothing but reads
// between them and compact: the original store against its compacted copy.
void PrintReadsAroundCompact(const Results& r, std::ostream& out) {
    bool head = false;
    for (const EngineRun& run : r.runs) {
        const std::vector<Measurement>& list = run.results;
        std::size_t at = 0;
        while (at < list.size() && list[at].workload != "compact") ++at;
        for (std::size_t j = at + 1; j < list.size() && IsRead(list[j]); ++j) {
            const Measurement* before = nullptr;
            for (std::size_t i = at; i-- > 0 && IsRead(list[i]);)
                if (list[i].workload == list[j].workload && list[i].engine == list[j].engine) {
                    before = &list[i];
                    break;
                }
            if (!before) continue;
            if (!head)
                PrintLine(out, {"reads (ops/s)", "engine", "original", "compacted", "comp/orig"},
                          20, 13);
            head = true;
            PrintLine(out,
                      {list[j].workload, list[j].engine, OpsCell(before), OpsCell(&list[j]),
                       Ratio(&list[j], before)},
                      20, 13);
        }
    }
    if (head) out << "\n";
}

void PrintSyncCommit(const Results& r, std::ostream& out) {
    for (const char* w : {"synccommit", "synccommit2pc"}) {
        const Measurement* m = FindRun(r, "tambtree", w);
        if (!m || m->counters.commits == 0) continue;
        const double c = static_cast<double>(m->counters.commits);
        out << w
            << ", tambtree: " << Format("%.2f", (m->counters.flushViews + m->counters.flushes) / c)
            << " flushes per commit (" << Format("%.2f", m->counters.flushViews / c)
            << " view flushes + " << Format("%.2f", m->counters.flushes / c)
            << " whole-file flushes)\n";
    }
}

// readwhilewriting: what a row shows of a phase's measurement.
double ReaderRate(const Measurement& m) {
    return m.OpsPerSecond();
}
double PerReader(const Measurement& m) {
    return m.readers ? m.OpsPerSecond() / m.readers : 0;
}
double SlowestReader(const Measurement& m) {
    return m.seconds > 0 ? m.slowestReaderOps / m.seconds : 0;
}
double WriterRate(const Measurement& m) {
    return m.seconds > 0 ? m.writerOps / m.seconds : 0;
}
double GrowthMib(const Measurement& m) {
    return m.growthBytes / MIB;
}
// The cores a side kept busy: its CPU time over the phase's.
double ReaderCores(const Measurement& m) {
    return m.seconds > 0 ? m.readerCpuSeconds / m.seconds : 0;
}
double WriterCores(const Measurement& m) {
    return m.seconds > 0 ? m.writerCpuSeconds / m.seconds : 0;
}
// Gets per CPU second of the readers: how fast they read while they run.
double ReaderRatePerCpu(const Measurement& m) {
    return m.readerCpuSeconds > 0 ? m.ops / m.readerCpuSeconds : 0;
}
// What a commit of ours copied (whole 64 KiB pages); negative, shown as "-",
// where the engine does not count it.
double CopiedMibPerCommit(const Measurement& m) {
    return m.counters.commits ? m.counters.pagesWritten * 65536.0 / MIB / m.counters.commits : -1;
}
double OtherCores(const Measurement& m) {
    return m.seconds > 0 ? m.otherCpuSeconds / m.seconds : 0;
}

struct PhaseRow {
    const char* label;
    std::string phase;
    double (*value)(const Measurement&);
    // Rates are compared between engines; CPU shares are only shown.
    bool rate = true;
};

// A figure of a phase, or nothing when the engine did not run it.
bool PhaseValue(const Results& r, const std::string& engine, const PhaseRow& row, double& value) {
    const Measurement* m = FindRun(r, engine, row.phase);
    if (m) value = row.value(*m);
    return m != nullptr;
}

std::string RatioOf(bool known, double a, double b) {
    return known && b > 0 ? Format("%.2fx", a / b) : "-";
}

// `a` of `engine` over `b` of `other` (the same engine when other is empty).
std::string PhaseRatio(const Results& r, const std::string& engine, const PhaseRow& a,
                       const std::string& other, const PhaseRow& b) {
    double x = 0, y = 0;
    const bool known =
        PhaseValue(r, engine, a, x) && PhaseValue(r, other.empty() ? engine : other, b, y);
    return RatioOf(known, x, y);
}

constexpr int RWW_FIRST = 26;
constexpr int RWW_REST = 14;

void PrintPhaseTable(const Results& r, bool procs, std::ostream& out) {
    std::vector<PhaseRow> rows = {
        {"gets, tree, 1 thread", RWW_TREE, ReaderRate},
        {"gets, snapshot, 1 thread", RWW_SNAPSHOT, ReaderRate},
        {"readers R=1", RwwPhase(1, false, procs), ReaderRate},
        {"  reader CPU (cores)", RwwPhase(1, false, procs), ReaderCores, false},
        {"  gets per reader CPU s", RwwPhase(1, false, procs), ReaderRatePerCpu},
        {"  others' CPU (cores)", RwwPhase(1, false, procs), OtherCores, false},
        {"readers R=2", RwwPhase(2, false, procs), ReaderRate},
        {"  per reader", RwwPhase(2, false, procs), PerReader},
        {"  reader CPU (cores)", RwwPhase(2, false, procs), ReaderCores, false},
        {"  gets per reader CPU s", RwwPhase(2, false, procs), ReaderRatePerCpu},
        {"  others' CPU (cores)", RwwPhase(2, false, procs), OtherCores, false},
        {"writer alone", RwwPhase(0, true, procs), WriterRate},
        {"  writer CPU (cores)", RwwPhase(0, true, procs), WriterCores, false},
        {"  copied per commit (MiB)", RwwPhase(0, true, procs), CopiedMibPerCommit, false},
        {"  others' CPU (cores)", RwwPhase(0, true, procs), OtherCores, false},
        {"readers R=1 + writer", RwwPhase(1, true, procs), ReaderRate},
        {"  reader CPU (cores)", RwwPhase(1, true, procs), ReaderCores, false},
        {"  gets per reader CPU s", RwwPhase(1, true, procs), ReaderRatePerCpu},
        {"  writer", RwwPhase(1, true, procs), WriterRate},
        {"  writer CPU (cores)", RwwPhase(1, true, procs), WriterCores, false},
        {"  copied per commit (MiB)", RwwPhase(1, true, procs), CopiedMibPerCommit, false},
        {"  others' CPU (cores)", RwwPhase(1, true, procs), OtherCores, false},
        {"readers R=2 + writer", RwwPhase(2, true, procs), ReaderRate},
        {"  per reader", RwwPhase(2, true, procs), PerReader},
        {"  slowest reader", RwwPhase(2, true, procs), SlowestReader},
        {"  reader CPU (cores)", RwwPhase(2, true, procs), ReaderCores, false},
        {"  gets per reader CPU s", RwwPhase(2, true, procs), ReaderRatePerCpu},
        {"  writer", RwwPhase(2, true, procs), WriterRate},
        {"  writer CPU (cores)", RwwPhase(2, true, procs), WriterCores, false},
        {"  copied per commit (MiB)", RwwPhase(2, true, procs), CopiedMibPerCommit, false},
        {"  others' CPU (cores)", RwwPhase(2, true, procs), OtherCores, false},
    };
    // Reader processes: no gets on the engine's own thread.
    if (procs) rows.erase(rows.begin(), rows.begin() + 2);
    const bool bytes = Ran(r, "bytetree");
    std::vector<std::string> head = {procs ? "reader processes (ops/s)"
                                           : "readwhilewriting (ops/s)"};
    for (const std::string& engine : EnginesRun(r)) head.push_back(engine);
    head.push_back("ours/lmdb");
    if (bytes) head.push_back("bytetree/lmdb");
    head.push_back("ours/sqlite");
    if (bytes) head.push_back("bytetree/ours");
    PrintLine(out, head, RWW_FIRST, RWW_REST);
    for (const PhaseRow& row : rows) {
        std::vector<std::string> line = {row.label};
        for (const std::string& engine : EnginesRun(r)) {
            double v = 0;
            line.push_back(PhaseValue(r, engine, row, v) && v >= 0
                               ? Format(row.rate ? "%.0f" : "%.2f", v)
                               : "-");
        }
        if (row.rate) {
            line.push_back(PhaseRatio(r, "tambtree", row, "lmdb", row));
            if (bytes) line.push_back(PhaseRatio(r, "bytetree", row, "lmdb", row));
            line.push_back(PhaseRatio(r, "tambtree", row, "sqlite", row));
            if (bytes) line.push_back(PhaseRatio(r, "bytetree", row, "tambtree", row));
        }
        PrintLine(out, line, RWW_FIRST, RWW_REST);
    }
}

// Each engine's ratios, with the goals set for ours.
// Reader processes have no goals, and no gets on the engine's own thread.
void PrintPhaseRatios(const Results& r, bool procs, std::ostream& out) {
    struct RatioRow {
        const char* label;
        PhaseRow a;
        PhaseRow b;
        bool againstLmdb;
        const char* goal;
    };
    const PhaseRow r1w = {"", RwwPhase(1, true, procs), ReaderRate};
    const PhaseRow r2w = {"", RwwPhase(2, true, procs), ReaderRate};
    const RatioRow rows[] = {
        {"readers R=1 + writer/lmdb", r1w, r1w, true, ">= 1.20x"},
        {"readers R=2 + writer/lmdb", r2w, r2w, true, ">= 1.20x"},
        {"writer, R=1 / alone",
         {"", RwwPhase(1, true, procs), WriterRate},
         {"", RwwPhase(0, true, procs), WriterRate},
         false,
         ">= 0.80x"},
        {"writer, R=2 / alone",
         {"", RwwPhase(2, true, procs), WriterRate},
         {"", RwwPhase(0, true, procs), WriterRate},
         false,
         ">= 0.80x"},
        {"readers R=2 / R=1, alone",
         {"", RwwPhase(2, false, procs), ReaderRate},
         {"", RwwPhase(1, false, procs), ReaderRate},
         false,
         ">= 1.70x"},
        {"gets, snapshot / tree",
         {"", RWW_SNAPSHOT, ReaderRate},
         {"", RWW_TREE, ReaderRate},
         false,
         ">= 0.90x"},
        // How much the writer slows a reader while it runs (no goal).
        {"per CPU s, R=1 + w / R=1",
         {"", RwwPhase(1, true, procs), ReaderRatePerCpu},
         {"", RwwPhase(1, false, procs), ReaderRatePerCpu},
         false,
         "-"},
        {"per CPU s, R=2 + w / R=2",
         {"", RwwPhase(2, true, procs), ReaderRatePerCpu},
         {"", RwwPhase(2, false, procs), ReaderRatePerCpu},
         false,
         "-"},
    };
    std::vector<std::string> head = {"ratio"};
    for (const std::string& engine : EnginesRun(r)) head.push_back(engine);
    head.push_back("goal (ours)");
    PrintLine(out, head, RWW_FIRST, RWW_REST);
    for (const RatioRow& row : rows) {
        if (procs && row.a.phase == RWW_SNAPSHOT) continue;
        std::vector<std::string> line = {row.label};
        for (const std::string& engine : EnginesRun(r))
            line.push_back(PhaseRatio(r, engine, row.a, row.againstLmdb ? "lmdb" : "", row.b));
        line.push_back(procs ? "-" : row.goal);
        PrintLine(out, line, RWW_FIRST, RWW_REST);
    }
}

void PrintGrowth(const Results& r, bool procs, std::ostream& out) {
    std::vector<std::string> head = {"file growth MiB"};
    for (const std::string& engine : EnginesRun(r)) head.push_back(engine);
    PrintLine(out, head, RWW_FIRST, RWW_REST);
    for (const std::uint32_t readers : {0u, 1u, 2u}) {
        const PhaseRow row = {"", RwwPhase(readers, true, procs), GrowthMib};
        std::vector<std::string> line = {readers ? "writer + R=" + std::to_string(readers)
                                                 : std::string("writer alone")};
        for (const std::string& engine : EnginesRun(r)) {
            double v = 0;
            line.push_back(PhaseValue(r, engine, row, v) ? Format("%.1f", v) : "-");
        }
        PrintLine(out, line, RWW_FIRST, RWW_REST);
    }
}

void PrintReadWhileWriting(const Results& r, bool procs, std::ostream& out) {
    bool any = false;
    for (const std::string& engine : EnginesRun(r))
        any = any || FindRun(r, engine, procs ? RwwPhase(0, true, true) : RWW_TREE);
    if (!any) return;
    out << (procs ? RWW_PROCS : "readwhilewriting") << ": the writer overwrites random records, "
        << RWW_WRITE_BATCH << " per durable commit; R readers "
        << (procs ? "in processes of their own (ours: the file opened read-only) " : "")
        << "get random records through snapshots (read transactions) renewed every "
        << RWW_RENEW_EVERY << " gets; every timed phase " << Format("%.1f", r.phaseSeconds)
        << " s:\n";
    PrintPhaseTable(r, procs, out);
    out << "\n";
    PrintPhaseRatios(r, procs, out);
    out << "\n";
    PrintGrowth(r, procs, out);
    out << "\n";
}

std::string Milliseconds(double seconds) {
    return Format("%.2f", seconds * 1000);
}

const Measurement* FindOpen(const Results& r, const std::string& engine) {
    for (const EngineRun& run : r.openRuns)
        if (const Measurement* m = FindIn(run.results, engine, "readeropen")) return m;
    return nullptr;
}

// readeropen: each engine's fresh processes, and ours against LMDB's.
void PrintReaderOpen(const Results& r, std::ostream& out) {
    if (r.openRuns.empty()) return;
    out << "readeropen: a fresh process opens the store of " << r.openRecords
        << " records read-only and gets one record, while the engine's process holds it"
           " (ours: ByteTree/derived tree with readOnly; LMDB: mdb_env_open, mdb_txn_begin,"
           " mdb_get); times in ms; \"process alone\" opens nothing:\n";
    PrintLine(
        out,
        {"engine", "file MiB", "opens", "median", "fastest", "slowest", "from start", "status"}, 20,
        13);
    for (const EngineRun& run : r.openRuns) {
        std::vector<std::string> names = {run.engine};
        if (run.engine == "tambtree") names.push_back("bytetree");
        names.push_back(NO_ENGINE);
        for (const std::string& engine : names) {
            const Measurement* m = FindIn(run.results, engine, "readeropen");
            if (!m && engine != run.engine) continue;
            PrintLine(
                out,
                // A process that opens nothing: its start alone.
                {engine == NO_ENGINE ? std::string("  process alone") : engine,
                 m ? Format("%.1f", m->fileBytes / MIB) : "-",
                 m ? Format("%.0f", static_cast<double>(m->ops)) : "-",
                 m ? Milliseconds(m->openSeconds) : "-", m ? Milliseconds(m->openMinSeconds) : "-",
                 m ? Milliseconds(m->openMaxSeconds) : "-", m ? Milliseconds(m->startSeconds) : "-",
                 // The error itself went to stderr when the run ended.
                 run.error.empty() ? "ok" : "failed"},
                20, 13);
        }
    }
    const Measurement* lmdb = FindOpen(r, "lmdb");
    for (const char* ours : {"tambtree", "bytetree"}) {
        const Measurement* m = FindOpen(r, ours);
        if (!m || !lmdb || lmdb->openSeconds <= 0) continue;
        out << ours << "/lmdb: median " << Format("%.2fx", m->openSeconds / lmdb->openSeconds)
            << ", from start " << Format("%.2fx", m->startSeconds / lmdb->startSeconds) << "\n";
    }
    out << "\n";
}

// A measurement in a durability mode: Full's are the main runs.
const Measurement* FindMode(const Results& r, Durability mode, const std::string& engine,
                            const std::string& workload) {
    if (mode == Durability::Full) return FindRun(r, engine, workload);
    for (const EngineRun& run : r.modeRuns)
        for (const Measurement& m : run.results)
            if (m.durability == mode && m.engine == engine && m.workload == workload) return &m;
    return nullptr;
}

// Commits of a write workload: ours counts them, the peers' follow from the
// batch (synccommit commits every record).
double Commits(const Measurement& m) {
    if (m.counters.commits) return static_cast<double>(m.counters.commits);
    if (IsSyncCommit(m.workload)) return static_cast<double>(m.ops);
    return m.batch ? static_cast<double>((m.ops + m.batch - 1) / m.batch) : 0;
}

std::string FlushesPerCommit(const Measurement* m) {
    if (!m || m->counters.commits == 0) return "-";
    return Format("%.2f", static_cast<double>(m->counters.flushViews + m->counters.flushes) /
                              static_cast<double>(m->counters.commits));
}

std::string KibPerCommit(const Measurement* m) {
    if (!m || Commits(*m) <= 0) return "-";
    return Format("%.0f", m->bytesWritten / Commits(*m) / 1024.0);
}

const Durability MODES[] = {Durability::Full, Durability::Normal, Durability::Deferred};

std::vector<std::string> ModeWorkloads(const Results& r) {
    std::vector<std::string> out;
    for (const char* w : {"synccommit", "fillseq", "fillrandom", "overwrite", "deleterandom"})
        for (const Durability mode : MODES)
            if (FindMode(r, mode, "tambtree", w)) {
                out.push_back(w);
                break;
            }
    return out;
}

void PrintModeRow(const Results& r, const std::string& w, Durability mode, std::ostream& out) {
    const Measurement* ours = FindMode(r, mode, "tambtree", w);
    const Measurement* lmdb = FindMode(r, mode, "lmdb", w);
    const Measurement* sqlite = FindMode(r, mode, "sqlite", w);
    if (!ours && !lmdb && !sqlite) return;
    PrintLine(
        out,
        {w, DurabilityName(mode), OpsCell(ours), OpsCell(lmdb), OpsCell(sqlite), Ratio(ours, lmdb),
         Ratio(ours, sqlite), Ratio(ours, FindMode(r, Durability::Full, "tambtree", w)),
         FlushesPerCommit(ours), KibPerCommit(ours), KibPerCommit(lmdb), KibPerCommit(sqlite)},
        14, 13);
}

// One goal: ours in a mode against an engine in a mode.
void PrintGoal(const Results& r, const std::string& w, Durability mode, const std::string& other,
               Durability otherMode, double goal, std::ostream& out) {
    const Measurement* ours = FindMode(r, mode, "tambtree", w);
    const Measurement* them = FindMode(r, otherMode, other, w);
    const std::string label = w + ": ours " + DurabilityName(mode) + " / " +
                              (other == "tambtree" ? std::string("ours") : other) + " " +
                              DurabilityName(otherMode);
    char text[160];
    std::snprintf(text, sizeof text, "  %-46s %8s  (goal >= %.1fx) %s\n", label.c_str(),
                  Ratio(ours, them).c_str(), goal,
                  !ours || !them || them->OpsPerSecond() <= 0           ? "not measured"
                  : ours->OpsPerSecond() >= goal * them->OpsPerSecond() ? "met"
                                                                        : "missed");
    out << text;
}

void PrintModeGoals(const Results& r, std::ostream& out) {
    out << "Goals of the durability modes:\n";
    PrintGoal(r, "synccommit", Durability::Normal, "lmdb", Durability::Normal, 1.0, out);
    PrintGoal(r, "synccommit", Durability::Normal, "sqlite", Durability::Full, 1.0, out);
    const Measurement* normal = FindMode(r, Durability::Normal, "tambtree", "synccommit");
    out << "  synccommit: ours normal, flushes per CommitNow " << FlushesPerCommit(normal)
        << " (goal 1)\n";
    for (const char* w : {"fillrandom", "overwrite", "deleterandom"}) {
        PrintGoal(r, w, Durability::Deferred, "tambtree", Durability::Full, 3.0, out);
        PrintGoal(r, w, Durability::Deferred, "sqlite", Durability::Normal, 2.0, out);
        PrintGoal(r, w, Durability::Deferred, "lmdb", Durability::Deferred, 0.5, out);
    }
}

// The writes in every durability mode side by side, with flushes and bytes
// written per commit.
void PrintDurability(const Results& r, std::ostream& out) {
    if (r.modeRuns.empty() || ModeWorkloads(r).empty()) return;
    out << "Durability modes (ours: Full / Normal / Deferred syncing every " << r.syncEvery
        << " commits and once more, timed, at the end; LMDB: default / MDB_NOMETASYNC /"
           " MDB_NOSYNC with mdb_env_sync at the end; SQLite WAL: synchronous = FULL / NORMAL /"
           " OFF with the log and database flushed at the end). B="
        << r.batch << "; KiB/c is what each engine dirtied or wrote per commit:\n";
    PrintLine(out,
              {"workload", "mode", "tambtree", "lmdb", "sqlite", "ours/lmdb", "ours/sqlite",
               "ours/full", "flushes/c", "ours KiB/c", "lmdb KiB/c", "sqlite KiB/c"},
              14, 13);
    for (const std::string& w : ModeWorkloads(r))
        for (const Durability mode : MODES) PrintModeRow(r, w, mode, out);
    out << "\n";
    PrintModeGoals(r, out);
    out << "\n";
}

}  // namespace

void PrintTable(const Results& r, std::ostream& out) {
    out << "tambtree-bench: N=" << (r.runs.empty() ? r.openRecords : r.records) << " B=" << r.batch
        << ", keys " << KEY_SIZE << " B, values " << VALUE_SIZE << " B, in " << r.directory
        << "\n\n";
    PrintOpsTable(r, out);
    if (!WorkloadsRun(r).empty()) out << "\n";
    PrintFillSizes(r, out);
    if (!r.runs.empty()) PrintEngineTable(r, out);
    if (HasFloors(r)) {
        out << "\nBatched random writes at B=" << r.batch
            << ", per commit (ours copies whole 64 KiB pages; the floor is one copy-and-msync"
               " of the bytes ours copies):\n";
        PrintFloorTable(r, out);
    }
    if (!r.sweepBatches.empty() && HasFloors(r)) {
        out << "\n";
        PrintSweepTable(
            r, "ours/lmdb",
            [&](const std::string& w, std::uint32_t b) {
                return Ratio(FindAtBatch(r, "tambtree", w, b), FindAtBatch(r, "lmdb", w, b));
            },
            out);
        out << "\n";
        PrintSweepTable(
            r, "ours/floor",
            [&](const std::string& w, std::uint32_t b) {
                return FloorRatio(FindAtBatch(r, "tambtree", w, b));
            },
            out);
    }
    out << "\n";
    PrintCompactTable(r, out);
    PrintReadsAroundCompact(r, out);
    PrintReadWhileWriting(r, false, out);
    PrintReadWhileWriting(r, true, out);
    PrintReaderOpen(r, out);
    PrintSyncCommit(r, out);
    out << "\n";
    PrintDurability(r, out);
}

void PrintCsv(const Results& r, std::ostream& out) {
    out << "engine,workload,records,batch,ops,seconds,ops_per_sec,file_bytes,bytes_written,"
           "commits,pages_written,flush_views,flushes,peak_rss_kib,floor_bytes,floor_seconds,"
           "compact_bytes,readers,writer_ops,slowest_reader_ops,growth_bytes,reader_cpu_seconds,"
           "writer_cpu_seconds,other_cpu_seconds,open_seconds,open_min_seconds,open_max_seconds,"
           "start_seconds,durability\n";
    auto row = [&](const Measurement& m, std::uint64_t rss) {
        const std::uint32_t records = m.workload == "readeropen" ? r.openRecords : r.records;
        out << m.engine << "," << m.workload << "," << records << "," << m.batch << "," << m.ops
            << "," << Format("%.6f", m.seconds) << "," << Format("%.1f", m.OpsPerSecond()) << ","
            << m.fileBytes << "," << m.bytesWritten << "," << m.counters.commits << ","
            << m.counters.pagesWritten << "," << m.counters.flushViews << "," << m.counters.flushes
            << "," << rss << "," << m.floorBytes << "," << Format("%.6f", m.floorSeconds) << ","
            << m.compactBytes << "," << m.readers << "," << m.writerOps << "," << m.slowestReaderOps
            << "," << m.growthBytes << "," << Format("%.6f", m.readerCpuSeconds) << ","
            << Format("%.6f", m.writerCpuSeconds) << "," << Format("%.6f", m.otherCpuSeconds) << ","
            << Format("%.6f", m.openSeconds) << "," << Format("%.6f", m.openMinSeconds) << ","
            << Format("%.6f", m.openMaxSeconds) << "," << Format("%.6f", m.startSeconds) << ","
            << DurabilityName(m.durability) << "\n";
    };
    for (const EngineRun& run : r.runs)
        for (const Measurement& m : run.results) row(m, run.peakRssKib);
    for (const Measurement& m : r.sweep) row(m, 0);
    for (const EngineRun& run : r.modeRuns)
        for (const Measurement& m : run.results) row(m, run.peakRssKib);
    for (const EngineRun& run : r.openRuns)
        for (const Measurement& m : run.results) row(m, run.peakRssKib);
}

}  // namespace TamBench
