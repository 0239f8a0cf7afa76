// tambtree-bench: the same workloads against this library, LMDB and SQLite.
// Each engine runs in a child process of its own, so its peak RSS is its own;
// children report their measurements through a pipe.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ReaderProcess.h"
#include "Report.h"
#include "Runner.h"

namespace TamBench {

namespace {

struct Options {
    RunSettings run;
    std::vector<std::string> engines = {"tambtree", "lmdb", "sqlite"};
    std::vector<std::string> workloads = DefaultWorkloads();
    // readeropen's store: about 1 GB of our file and of LMDB's.
    std::uint32_t openRecords = 5500000;
    std::vector<std::uint32_t> sweep = {1000, 10000, 100000};
    std::vector<Durability> modes = {Durability::Full, Durability::Normal, Durability::Deferred};
    std::uint32_t syncEvery = 100;
    std::uint64_t syncMib = 0;
    std::string directory;
    std::uint32_t cacheMib = 256;
    bool csv = false;
    std::string csvFile;
};

const char* const USAGE =
    "usage: tambtree-bench [options]\n"
    "  --n=N              records (default 1000000)\n"
    "  --batch=B          records per commit of batched writes (default 1000)\n"
    "  --engines=LIST     tambtree,lmdb,sqlite (default all)\n"
    "  --workloads=LIST   fillseq,fillrandom,fillbulk,readrandom,readmissing,readseq,\n"
    "                     readreverse,overwrite,deleterandom,compact,synccommit,\n"
    "                     synccommit2pc,readwhilewriting (default these), and\n"
    "                     readwhilewriting-procs,readeropen (readers in other\n"
    "                     processes; only when named)\n"
    "  --sweep=LIST       batch sizes for the ours/lmdb ratio of batched random writes\n"
    "                     (default 1000,10000,100000; 'none' skips the extra runs)\n"
    "  --durability=LIST  full,normal,deferred (default all): full runs every workload;\n"
    "                     normal and deferred run synccommit, fillseq, fillrandom,\n"
    "                     overwrite and deleterandom again in that mode\n"
    "  --sync-every=C     commits between our syncs under deferred (default 100)\n"
    "  --sync-mib=M       changed MiB between our syncs under deferred, summed over\n"
    "                     commits (default the library's, 256)\n"
    "  --seconds=S        length of each timed phase of readwhilewriting (default 5)\n"
    "  --open-n=N         records of readeropen's store (default 5500000, ~1 GB)\n"
    "  --opens=K          processes that open it, one after another (default 7)\n"
    "  --dir=PATH         where the stores live (default a new directory under /tmp)\n"
    "  --cache-mib=M      view cache of our tree in MiB (default 256)\n"
    "  --seed=S           seed of values and record orders (default 1)\n"
    "  --csv              CSV instead of the table\n"
    "  --csv-file=PATH    also write the CSV to PATH\n";

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ','))
        if (!part.empty()) parts.push_back(part);
    return parts;
}

void RequireKnown(const std::vector<std::string>& names, const std::vector<std::string>& known) {
    for (const std::string& n : names) {
        bool found = false;
        for (const std::string& k : known) found = found || k == n;
        if (!found) throw std::invalid_argument("unknown name: " + n);
    }
}

std::uint64_t Number(const std::string& text) {
    std::size_t used = 0;
    const unsigned long long v = std::stoull(text, &used);
    if (used != text.size()) throw std::invalid_argument("not a number: " + text);
    return v;
}

double Seconds(const std::string& text) {
    std::size_t used = 0;
    const double v = std::stod(text, &used);
    if (used != text.size() || !(v > 0 && v <= 3600))
        throw std::invalid_argument("not a phase length in seconds (0 to 3600): " + text);
    return v;
}

std::vector<Durability> Modes(const std::string& text) {
    std::vector<Durability> modes;
    for (const std::string& name : Split(text)) modes.push_back(ParseDurability(name));
    return modes;
}

void ApplyOption(Options& o, const std::string& name, const std::string& value) {
    if (name == "--n")
        o.run.records = static_cast<std::uint32_t>(Number(value));
    else if (name == "--batch")
        o.run.batch = static_cast<std::uint32_t>(Number(value));
    else if (name == "--engines")
        o.engines = Split(value);
    else if (name == "--workloads")
        o.workloads = Split(value);
    else if (name == "--dir")
        o.directory = value;
    else if (name == "--cache-mib")
        o.cacheMib = static_cast<std::uint32_t>(Number(value));
    else if (name == "--seed")
        o.run.seed = Number(value);
    else if (name == "--open-n")
        o.openRecords = static_cast<std::uint32_t>(Number(value));
    else if (name == "--opens")
        o.run.opens = static_cast<std::uint32_t>(Number(value));
    else if (name == "--seconds")
        o.run.seconds = Seconds(value);
    else if (name == "--durability")
        o.modes = Modes(value);
    else if (name == "--sync-mib")
        o.syncMib = Number(value);
    else if (name == "--sync-every")
        o.syncEvery = static_cast<std::uint32_t>(Number(value));
    else if (name == "--csv-file")
        o.csvFile = value;
    else if (name == "--sweep") {
        o.sweep.clear();
        if (value != "none")
            for (const std::string& b : Split(value))
                o.sweep.push_back(static_cast<std::uint32_t>(Number(b)));
    } else
        throw std::invalid_argument("unknown option " + name);
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--csv") {
            o.csv = true;
            continue;
        }
        const std::size_t eq = arg.find('=');
        if (eq == std::string::npos) throw std::invalid_argument("expected --name=value: " + arg);
        ApplyOption(o, arg.substr(0, eq), arg.substr(eq + 1));
    }
    RequireKnown(o.engines, {"tambtree", "lmdb", "sqlite"});
    RequireKnown(o.workloads, AllWorkloads());
    if (o.cacheMib == 0 || o.cacheMib >= 4096)
        throw std::invalid_argument("the view cache must be 1 to 4095 MiB");
    if (o.run.records == 0 || o.run.batch == 0 || o.syncEvery == 0 || o.openRecords == 0 ||
        o.run.opens == 0)
        throw std::invalid_argument(
            "N, B, the commits between syncs, --open-n and --opens must be positive");
    o.run.cacheBytes = o.cacheMib * 1024u * 1024u;
    return o;
}

bool Selected(const std::vector<std::string>& list, const std::string& name) {
    for (const std::string& s : list)
        if (s == name) return true;
    return false;
}

Engine* NewEngine(const std::string& name, const Options& o, const RunSettings& run) {
    EngineSettings s;
    s.records = run.records;
    s.cacheBytes = o.cacheMib * 1024u * 1024u;
    s.durability = run.durability;
    s.syncEvery = o.syncEvery;
    s.syncBytes = o.syncMib << 20;
    if (name == "tambtree") return NewTamEngine(s);
    if (name == "lmdb") return NewLmdbEngine(s);
    return NewSqliteEngine(s);
}

std::string Serialize(const Measurement& m) {
    std::ostringstream out;
    out.precision(17);
    out << m.engine << ' ' << m.workload << ' ' << m.batch << ' ' << m.ops << ' ' << m.seconds
        << ' ' << m.fileBytes << ' ' << m.bytesWritten << ' ' << m.counters.commits << ' '
        << m.counters.pagesWritten << ' ' << m.counters.flushViews << ' ' << m.counters.flushes
        << ' ' << m.floorBytes << ' ' << m.floorSeconds << ' ' << m.compactBytes << ' ' << m.readers
        << ' ' << m.writerOps << ' ' << m.slowestReaderOps << ' ' << m.growthBytes << ' '
        << m.readerCpuSeconds << ' ' << m.writerCpuSeconds << ' ' << m.otherCpuSeconds << ' '
        << m.openSeconds << ' ' << m.openMinSeconds << ' ' << m.openMaxSeconds << ' '
        << m.startSeconds << ' ' << DurabilityName(m.durability) << '\n';
    return out.str();
}

Measurement Deserialize(const std::string& line) {
    std::istringstream in(line);
    Measurement m;
    in >> m.engine >> m.workload >> m.batch >> m.ops >> m.seconds >> m.fileBytes >>
        m.bytesWritten >> m.counters.commits >> m.counters.pagesWritten >> m.counters.flushViews >>
        m.counters.flushes >> m.floorBytes >> m.floorSeconds >> m.compactBytes >> m.readers >>
        m.writerOps >> m.slowestReaderOps >> m.growthBytes >> m.readerCpuSeconds >>
        m.writerCpuSeconds >> m.otherCpuSeconds >> m.openSeconds >> m.openMinSeconds >>
        m.openMaxSeconds >> m.startSeconds;
    std::string mode;
    in >> mode;
    m.durability = ParseDurability(mode);
    return m;
}

void WriteAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) std::_Exit(3);
        done += static_cast<std::size_t>(n);
    }
}

std::string Progress(const Measurement& m) {
    char text[200];
    if (m.workload == "readeropen") {
        std::snprintf(text, sizeof text,
                      "  %-9s %-25s %u opens, median %.2f ms (from start %.2f ms) %9.1f MiB\n",
                      m.engine.c_str(), m.workload.c_str(), static_cast<unsigned>(m.ops),
                      m.openSeconds * 1000, m.startSeconds * 1000, m.fileBytes / 1048576.0);
        return text;
    }
    std::snprintf(text, sizeof text, "  %-9s %-25s B=%-8u %12.0f ops/s %9.2f s %9.1f MiB",
                  m.engine.c_str(), m.workload.c_str(), m.batch, m.OpsPerSecond(), m.seconds,
                  m.fileBytes / 1048576.0);
    std::string line = text;
    // A phase with both sides: the writer's rate and the growth too.
    if (m.readers != 0 && m.batch != 0) {
        std::snprintf(text, sizeof text, ", writer %.0f ops/s", m.writerOps / m.seconds);
        line += text;
    }
    if (m.growthBytes != 0) {
        std::snprintf(text, sizeof text, ", grew %.1f MiB", m.growthBytes / 1048576.0);
        line += text;
    }
    return line + "\n";
}

// The child's life: run the workloads, report each as it finishes.
[[noreturn]] void RunChild(int fd, const std::string& engineName, const Options& o,
                           const RunSettings& settings, const std::vector<std::string>& workloads) {
    int status = 0;
    try {
        std::unique_ptr<Engine> engine(NewEngine(engineName, o, settings));
        Runner runner(*engine, settings, o.directory + "/" + engineName);
        const auto run = [&](const std::string& w) {
            for (const Measurement& m : runner.Run(w)) {
                WriteAll(fd, Serialize(m));
                if (!o.csv) std::cerr << Progress(m);
            }
        };
        for (const std::string& w : workloads) {
            if (!engine->SecondPathName() || w.compare(0, 4, "read") != 0) {
                run(w);
                continue;
            }
            // Both interfaces read the same store, each from a freshly opened
            // tree; writes go on through the first.
            engine->UseSecondPath(false);
            run(w);
            engine->UseSecondPath(true);
            run(w);
            engine->UseSecondPath(false);
        }
    } catch (const std::exception& e) {
        WriteAll(fd, std::string("error ") + e.what() + "\n");
        status = 1;
    }
    ::close(fd);
    std::_Exit(status);
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

EngineRun Collect(const std::string& engineName, const std::string& text, pid_t child) {
    EngineRun run;
    run.engine = engineName;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 6, "error ") == 0)
            run.error = line.substr(6);
        else
            run.results.push_back(Deserialize(line));
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    run.peakRssKib = static_cast<std::uint64_t>(usage.ru_maxrss);
    if (run.error.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        run.error = "the run died";
    return run;
}

EngineRun RunEngine(const std::string& engineName, const Options& o, const RunSettings& settings,
                    const std::vector<std::string>& workloads) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    std::cout.flush();
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        ::close(pipeFds[0]);
        RunChild(pipeFds[1], engineName, o, settings, workloads);
    }
    ::close(pipeFds[1]);
    const std::string text = ReadAll(pipeFds[0]);
    ::close(pipeFds[0]);
    EngineRun run = Collect(engineName, text, child);
    if (!run.error.empty()) std::cerr << engineName << ": " << run.error << "\n";
    return run;
}

std::vector<std::string> BatchedWorkloads(const Options& o) {
    std::vector<std::string> out;
    for (const std::string& w : o.workloads)
        if (IsBatchedRandomWrite(w)) out.push_back(w);
    return out;
}

void RunSweep(const Options& o, Results& results) {
    const std::vector<std::string> batched = BatchedWorkloads(o);
    if (batched.empty() || !Selected(o.engines, "tambtree") || !Selected(o.engines, "lmdb")) return;
    results.sweepBatches = o.sweep;
    for (const std::uint32_t b : o.sweep) {
        if (b == o.run.batch) continue;
        RunSettings settings = o.run;
        settings.batch = b;
        for (const std::string engine : {"tambtree", "lmdb"}) {
            const EngineRun run = RunEngine(engine, o, settings, batched);
            results.sweep.insert(results.sweep.end(), run.results.begin(), run.results.end());
        }
    }
}

std::string MakeTempDirectory() {
    char pattern[] = "/tmp/tambtree-bench-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("cannot create a directory under /tmp");
    return pattern;
}

bool RunsFull(const Options& o) {
    for (const Durability mode : o.modes)
        if (mode == Durability::Full) return true;
    return false;
}

// The workloads that run again in the other modes, each engine in each mode in
// a child of its own.
void RunModes(const Options& o, Results& results) {
    std::vector<std::string> workloads;
    for (const std::string& w : o.workloads)
        if (RunsInEveryMode(w)) workloads.push_back(w);
    if (workloads.empty()) return;
    for (const Durability mode : o.modes) {
        if (mode == Durability::Full) continue;
        RunSettings settings = o.run;
        settings.durability = mode;
        for (const std::string& engine : o.engines)
            results.modeRuns.push_back(RunEngine(engine, o, settings, workloads));
    }
}

// readeropen on a store of its own size, each engine in a child of its own;
// SQLite is left out.
void RunReaderOpen(const Options& o, Results& results) {
    if (!Selected(o.workloads, "readeropen")) return;
    RunSettings settings = o.run;
    settings.records = o.openRecords;
    results.openRecords = o.openRecords;
    for (const std::string& engine : o.engines)
        if (engine != "sqlite")
            results.openRuns.push_back(RunEngine(engine, o, settings, {"readeropen"}));
}

int Main(int argc, char** argv) {
    Options o = Parse(argc, argv);
    // A reader process that died must not take the writer with it.
    ::signal(SIGPIPE, SIG_IGN);
    const bool ownDirectory = o.directory.empty();
    if (ownDirectory) o.directory = MakeTempDirectory();
    MakeDirectory(o.directory);
    Results results;
    results.records = o.run.records;
    results.batch = o.run.batch;
    results.phaseSeconds = o.run.seconds;
    results.directory = o.directory;
    results.syncEvery = o.syncEvery;
    if (RunsFull(o)) {
        std::vector<std::string> workloads;
        for (const std::string& w : o.workloads)
            if (w != "readeropen") workloads.push_back(w);
        if (!workloads.empty())
            for (const std::string& engine : o.engines)
                results.runs.push_back(RunEngine(engine, o, o.run, workloads));
        RunSweep(o, results);
        RunReaderOpen(o, results);
    }
    RunModes(o, results);
    if (ownDirectory) RemoveTree(o.directory);
    if (!o.csvFile.empty()) {
        std::ofstream csv(o.csvFile);
        PrintCsv(results, csv);
    }
    if (o.csv)
        PrintCsv(results, std::cout);
    else
        PrintTable(results, std::cout);
    for (const std::vector<EngineRun>* runs : {&results.runs, &results.modeRuns, &results.openRuns})
        for (const EngineRun& run : *runs)
            if (!run.error.empty()) return 1;
    return 0;
}

}  // namespace

}  // namespace TamBench

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], TamBench::READER_PROCESS_ARG) == 0)
        return TamBench::ReaderProcessMain(argc, argv);
    try {
        return TamBench::Main(argc, argv);
    } catch (const std::invalid_argument& e) {
        std::cerr << "tambtree-bench: " << e.what() << "\n" << TamBench::USAGE;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "tambtree-bench: " << e.what() << "\n";
        return 1;
    }
}
