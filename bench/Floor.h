// The floor of a commit that copies whole pages: one plain copy of that many
// bytes into a memory-mapped file followed by msync, on the same disk.
#pragma once

#include <cstdint>
#include <string>

namespace TamBench {

// Median seconds of one copy-and-msync of `bytes` in a file under `directory`.
double MeasureCopyFlush(const std::string& directory, std::uint64_t bytes);

}  // namespace TamBench
