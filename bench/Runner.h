// Runs the workloads on one engine, keeping track of what its store holds so
// that each workload starts from the state it needs.
#pragma once

#include <string>
#include <vector>

#include "Bench.h"

namespace TamBench {

struct RunSettings {
    std::uint32_t records = 1000000;
    std::uint32_t batch = 1000;
    std::uint32_t syncCommits = 1000;
    std::uint64_t seed = 1;
    double seconds = 5;            // each timed phase of readwhilewriting
    std::uint32_t opens = 7;       // readeropen: the processes that open the store
    std::uint32_t cacheBytes = 0;  // our view cache, in reader processes too
    Durability durability = Durability::Full;
};

// Workload names in the order they run.
const std::vector<std::string>& AllWorkloads();
// The workloads that run when none are named: all but those with readers in
// other processes (readwhilewriting-procs, readeropen).
std::vector<std::string> DefaultWorkloads();
// fillrandom, overwrite and deleterandom: many random records per commit.
bool IsBatchedRandomWrite(const std::string& workload);
// synccommit and its two-phase variant synccommit2pc.
bool IsSyncCommit(const std::string& workload);
// The workloads that run in every durability mode: synccommit, fillseq,
// fillrandom, overwrite and deleterandom.
bool RunsInEveryMode(const std::string& workload);
// Workloads that run on whatever the store holds: synccommit, synccommit2pc
// and compact.
bool TakesStoreAsIs(const std::string& workload);

class Runner {
public:
    Runner(Engine& engine, const RunSettings& settings, const std::string& directory);
    ~Runner();
    // The measurements of one workload: one, or one per phase of
    // readwhilewriting.
    std::vector<Measurement> Run(const std::string& workload);

private:
    Measurement RunOnce(const std::string& workload);
    std::vector<Measurement> ReadWhileWriting(bool processes);
    std::vector<Measurement> ReaderOpen();
    std::vector<std::uint32_t> Order(const std::string& workload) const;
    void Prepare(const std::string& workload);
    void CreateStore();
    void Load();
    std::uint64_t Execute(const std::string& workload, const std::vector<std::uint32_t>& order);
    void Settle(const std::string& workload, std::uint64_t ops);
    void MeasureFloor(Measurement& m) const;
    template <class Op>
    std::uint64_t Batched(const std::vector<std::uint32_t>& order, std::uint32_t batch, Op op,
                          bool twoPhase = false);
    std::uint64_t Lookups(const std::vector<std::uint32_t>& order, bool missing);
    std::uint64_t Scan(bool forward);
    std::uint64_t Compact();
    void Adopt(Measurement& m);
    std::string CopyDirectory() const { return directory + ".compact"; }

    Engine& engine;
    RunSettings settings;
    std::string directory;
    ValueSource values;
    // Every record 0 .. records-1 is stored and nothing else.
    bool full = false;
    std::uint64_t stored = 0;
    std::uint64_t sink = 0;
};

}  // namespace TamBench
