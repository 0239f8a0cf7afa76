// The record geometry of a tree, fixed when the tree is opened: the page
// size, whether keys and values have fixed sizes, whether records carry values
// and equal keys may repeat, and the limits that follow from them.
#pragma once

#include <cstdint>

#include "FileFormat.h"

namespace TamBTree {

struct Geometry {
    std::uint32_t pageSize;
    bool allowDuplicates;
    bool fixedKeySize;
    bool hasValue;
    bool fixedValueSize;
    // The largest key, and key plus value, a record may have: five fit a leaf.
    std::uint32_t maxRecordSize;
    // A non-root page with more free bytes than this is rebalanced.
    std::uint32_t underflowThreshold;

    static Geometry Of(std::uint32_t pageSize, bool allowDuplicates, bool fixedKeySize,
                       bool hasValue, bool fixedValueSize) {
        std::uint32_t maxRecordSize = (pageSize - 5 * LEAF_SLOT_SIZE - PAGE_HEADER_SIZE) / 5;
        if (!fixedKeySize) maxRecordSize -= 4;
        if (hasValue && !fixedValueSize) maxRecordSize -= 4;
        const std::uint32_t underflowThreshold = (pageSize - PAGE_HEADER_SIZE) / 2;
        return Geometry{pageSize,       allowDuplicates, fixedKeySize,      hasValue,
                        fixedValueSize, maxRecordSize,   underflowThreshold};
    }
};

}  // namespace TamBTree
