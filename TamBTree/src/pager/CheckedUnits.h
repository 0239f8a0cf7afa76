// Which page-sized units of the file hold a page image known to be sound: one
// bit per unit, set once the image committed there was checked, or when the
// tree itself wrote it. Shared by a tree and its snapshots, which test and set
// bits from any thread.
//
// Invariant: a set bit stays true for whatever a committed page image there
// holds while the file is open, since only the tree writes to its file, and
// only sound images. A tree that reads its file anew starts a new set.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace TamBTree {

class CheckedUnits {
public:
    CheckedUnits() : segments(new std::atomic<Word*>[SEGMENTS]) {
        for (std::uint32_t s = 0; s < SEGMENTS; ++s) segments[s].store(nullptr);
    }
    ~CheckedUnits() {
        for (std::uint32_t s = 0; s < SEGMENTS; ++s) delete[] segments[s].load();
    }
    CheckedUnits(const CheckedUnits&) = delete;
    CheckedUnits& operator=(const CheckedUnits&) = delete;

    bool Test(std::uint64_t unit) const {
        if (unit >= CAPACITY) return false;
        const Word* segment = segments[unit / SEGMENT_UNITS].load(std::memory_order_acquire);
        return segment &&
               (segment[unit % SEGMENT_UNITS / 64].load(std::memory_order_relaxed) >> unit % 64 &
                1) != 0;
    }
    // A unit beyond the capacity is simply checked on every first read.
    void Set(std::uint64_t unit) {
        if (unit >= CAPACITY) return;
        Word* segment = Segment(unit / SEGMENT_UNITS);
        segment[unit % SEGMENT_UNITS / 64].fetch_or(std::uint64_t(1) << unit % 64,
                                                    std::memory_order_relaxed);
    }

private:
    using Word = std::atomic<std::uint64_t>;
    // 2^18 units of 64 KiB (16 GiB of file) per segment, 2^12 segments: 64 TiB.
    static constexpr std::uint64_t SEGMENT_UNITS = std::uint64_t(1) << 18;
    static constexpr std::uint32_t SEGMENTS = 1u << 12;
    static constexpr std::uint64_t CAPACITY = SEGMENT_UNITS * SEGMENTS;

    Word* Segment(std::uint64_t s) {
        Word* segment = segments[s].load(std::memory_order_acquire);
        if (segment) return segment;
        Word* fresh = new Word[SEGMENT_UNITS / 64];
        for (std::uint64_t w = 0; w < SEGMENT_UNITS / 64; ++w) fresh[w].store(0);
        if (segments[s].compare_exchange_strong(segment, fresh, std::memory_order_acq_rel))
            return fresh;
        delete[] fresh;  // another thread installed one first
        return segment;
    }

    std::unique_ptr<std::atomic<Word*>[]> segments;
};

}  // namespace TamBTree
