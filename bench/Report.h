// The driver's output: a table for people or CSV for tools.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "Bench.h"

namespace TamBench {

struct EngineRun {
    std::string engine;
    std::vector<Measurement> results;
    std::uint64_t peakRssKib = 0;
    std::string error;
};

struct Results {
    std::uint32_t records = 0;
    std::uint32_t batch = 0;
    double phaseSeconds = 0;  // each timed phase of readwhilewriting
    std::string directory;
    std::uint32_t syncEvery = 0;      // ours under Deferred: commits between syncs
    std::vector<EngineRun> runs;      // at the main batch size, under Full
    std::vector<EngineRun> modeRuns;  // the workloads run again under Normal and Deferred
    std::vector<Measurement> sweep;   // batched writes at other batch sizes
    std::vector<std::uint32_t> sweepBatches;
    std::uint32_t openRecords = 0;    // the records of readeropen's store
    std::vector<EngineRun> openRuns;  // readeropen, on that store
};

void PrintTable(const Results& results, std::ostream& out);
void PrintCsv(const Results& results, std::ostream& out);

}  // namespace TamBench
