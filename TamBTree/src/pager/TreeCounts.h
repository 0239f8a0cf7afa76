// The counts the head publishes: records, root and next page number.
#pragma once

#include <cstdint>

namespace TamBTree {

struct TreeCounts {
    std::uint32_t records;
    std::uint64_t root;
    std::uint64_t pages;
};

}  // namespace TamBTree
