// The offsets of the file's page-sized units, each claimed by the one
// structure that uses it, for the consistency check: a unit claimed twice, or
// one that nothing claims, means the file is damaged.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "BTreeException.h"
#include "Damage.h"
#include "TamMem.h"

namespace TamBTree {

class SpaceClaims {
public:
    SpaceClaims(const std::string& filePath, std::uint64_t unitSize)
        : path(filePath), unit(unitSize) {}

    void Claim(std::uint64_t offset) {
        if (!claimed.insert(offset).second)
            Throw(L"The B-Tree is invalid. more than 1 offset value");
    }
    void ClaimRange(std::uint64_t offset, std::uint64_t size) {
        for (std::uint64_t x = offset; x - offset < size; x += unit) Claim(x);
    }
    // Every unit of a file of `fileSize` bytes claimed, and nothing beyond.
    void CheckCovers(std::uint64_t fileSize) const {
        std::uint64_t expected = 0;
        for (std::uint64_t offset : claimed) {
            if (offset != expected || expected >= fileSize)
                Throw(L"The B-Tree is invalid. unused block");
            expected += unit;
        }
        if (expected < fileSize) Throw(L"The B-Tree is invalid. unused block");
    }
    [[noreturn]] void Throw(const wchar_t* text) const {
        throw BTreeDamagedException(WithPath(path, text));
    }

private:
    using OffsetSet =
        std::set<std::uint64_t, std::less<std::uint64_t>, TamMem::PoolAllocator<std::uint64_t>>;
    const std::string& path;
    std::uint64_t unit;
    OffsetSet claimed;
};

}  // namespace TamBTree
