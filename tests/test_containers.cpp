// The free-block list against a model of the free pages of a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "EmptyList.h"

using List = TamFile::EmptyListT<std::uint64_t>;
using Blocks = std::vector<std::pair<std::uint64_t, std::uint64_t>>;  // (offset, size)
using TamFile::EmptyListInvalidBlock;

namespace {

constexpr std::uint64_t PAGE = 65536;

// The maximal runs of free pages, as (offset, size) in bytes.
Blocks Runs(const std::vector<bool>& free) {
    Blocks runs;
    for (std::size_t i = 0; i < free.size();) {
        std::size_t j = i;
        while (j < free.size() && free[j]) ++j;
        if (j > i) runs.emplace_back(i * PAGE, (j - i) * PAGE);
        i = j + 1;
    }
    return runs;
}

void Mark(std::vector<bool>& free, std::uint64_t offset, std::uint64_t size, bool value) {
    for (std::uint64_t p = offset / PAGE; p < (offset + size) / PAGE; ++p) free[p] = value;
}

void ExpectListMatches(const List& list, const std::vector<bool>& free) {
    const Blocks runs = Runs(free);
    ASSERT_EQ(runs, Blocks(list.BlocksByOffset().begin(), list.BlocksByOffset().end()));
    std::set<std::pair<std::uint64_t, std::uint64_t>> bySize;
    for (const auto& r : runs) bySize.emplace(r.second, r.first);
    ASSERT_TRUE(std::equal(bySize.begin(), bySize.end(), list.BlocksBySize().begin(),
                           list.BlocksBySize().end()));
    ASSERT_EQ(list.GetFreeBytes(),
              std::uint64_t(std::count(free.begin(), free.end(), true)) * PAGE);
}

}  // namespace

TEST(EmptyList, RandomAllocateFreeAndRemoveMatchTheModel) {
    const unsigned seed = 77;
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);
    std::vector<bool> free(64, true);
    List list;
    list.FreeBlock(64 * PAGE, 0);
    for (int step = 0; step < 5000; ++step) {
        const std::uint64_t size = (1 + rng() % 6) * PAGE, offset = rng() % 64 * PAGE;
        const Blocks runs = Runs(free);
        switch (rng() % 3) {
            case 0: {  // best fit: the smallest run that is large enough, lowest first
                // A larger run is split when over the limit (0: always).
                const std::uint64_t limit = (rng() % 3) * size;
                const std::pair<std::uint64_t, std::uint64_t>* best = nullptr;
                for (const auto& r : runs)
                    if (r.second >= size && (!best || r.second < best->second)) best = &r;
                std::uint64_t got = size, at = 0;
                ASSERT_EQ(best != nullptr, list.AllocateBlock(got, at, limit));
                if (!best) break;
                EXPECT_EQ(best->first, at);
                EXPECT_EQ(best->second > limit ? size : best->second, got);
                Mark(free, at, got, false);
                break;
            }
            case 1: {  // free an allocated range
                std::uint64_t length = 0;
                while (offset + length < 64 * PAGE && length < size &&
                       !free[(offset + length) / PAGE])
                    length += PAGE;
                list.FreeBlock(length, offset);
                Mark(free, offset, length, true);
                break;
            }
            default: {
                bool wholly = offset + size <= 64 * PAGE;
                for (std::uint64_t p = offset; wholly && p < offset + size; p += PAGE)
                    wholly = free[p / PAGE];
                if (wholly) {
                    list.RemoveBlock(size, offset);
                    Mark(free, offset, size, false);
                } else {
                    EXPECT_THROW(list.RemoveBlock(size, offset), EmptyListInvalidBlock);
                }
            }
        }
        ExpectListMatches(list, free);
        if (HasFatalFailure()) return;
    }
}
