// readwhilewriting: one writer on the engine's thread commits random
// overwrites while reader threads look up random records through snapshots of
// the last commit (read transactions elsewhere), each phase for a fixed time.
// readwhilewriting-procs: the same with the readers in processes of their own
// (see ReaderProcess.h), which open the store themselves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Bench.h"

namespace TamBench {

// Records the writer overwrites per durable commit.
constexpr std::uint32_t RWW_WRITE_BATCH = 100;
// Gets a reader does before it renews its snapshot.
constexpr std::uint32_t RWW_RENEW_EVERY = 1000;

// The measurements of the phases. On one thread: every stored key got through
// the engine's own read (ours: the tree itself) and through snapshots.
extern const char* const RWW_TREE;
extern const char* const RWW_SNAPSHOT;
extern const char* const RWW_PROCS;
// With `readers` reader threads (reader processes, `procs`), with or without
// the writer.
std::string RwwPhase(std::uint32_t readers, bool writer, bool procs = false);

struct ReadWhileWritingSettings {
    std::uint32_t records = 0;  // the store holds records 0 .. records-1
    double seconds = 5;         // the length of each timed phase
    std::uint64_t readSeed = 0;
    std::uint64_t writeSeed = 0;
    // Readers in processes of their own instead of threads; they open the
    // store with a view cache (ours) of `cacheBytes`.
    bool processes = false;
    std::uint32_t cacheBytes = 0;
};

// Runs every phase on the store that `directory` holds; it still holds the
// same keys afterwards (the writer only replaces values).
std::vector<Measurement> RunReadWhileWriting(Engine& engine, const ValueSource& values,
                                             const ReadWhileWritingSettings& settings,
                                             const std::string& directory, std::uint64_t& sink);

}  // namespace TamBench
