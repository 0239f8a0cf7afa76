// The in-memory list of free byte ranges of a file, with best-fit allocation
// and merging of neighbours on release.
#pragma once

#include <cstdint>
#include <limits>
#include <set>
#include <utility>

#include "TamFile.h"
#include "TamMem.h"

namespace TamFile {

// Free blocks are the byte ranges [offset, offset + size). Invariants: the two
// ordered sets hold the same blocks; free blocks never overlap; adjacent free
// blocks exist only where merging them would exceed the maximum block size.
template <class T>
class EmptyListT : public TamMem::PoolObject {
public:
    using Pair = std::pair<T, T>;
    using Set = std::set<Pair, std::less<Pair>, TamMem::PoolAllocator<Pair>>;

    explicit EmptyListT(T maxBlock = std::numeric_limits<T>::max(), T managed = 0)
        : maxBlockSize(maxBlock), managedSize(managed) {}
    virtual ~EmptyListT() = default;

    // Best fit: hands out the smallest free block of at least `size` bytes
    // (the lowest offset among equals). A block larger than `splitLimit` is
    // split and its remainder freed again; otherwise the whole block is handed
    // out and `size` becomes its size. False (nothing changed) when no block
    // is large enough.
    virtual bool AllocateBlock(T& size, T& offset, T splitLimit) {
        auto it = bySize.lower_bound(Pair(size, 0));
        if (it == bySize.end()) return false;
        const T blockSize = it->first;
        offset = it->second;
        Erase(blockSize, offset);
        if (blockSize > splitLimit)
            FreeBlock(blockSize - size, offset + size);
        else
            size = blockSize;
        return true;
    }

    // Adds a block as it is: no merging, no overlap checks.
    virtual void InsertBlock(const T size, const T offset) {
        if (bySize.insert(Pair(size, offset)).second) freeBytes += size;
        byOffset.insert(Pair(offset, size));
    }

    // Takes [offset, offset + size) out of the free space. Throws
    // EmptyListInvalidBlock, leaving the list unchanged, when the range does
    // not lie inside one free block.
    virtual void RemoveBlock(T size, T offset) {
        auto it = byOffset.upper_bound(Pair(offset, std::numeric_limits<T>::max()));
        if (it == byOffset.begin()) throw EmptyListInvalidBlock();
        --it;
        const T blockOffset = it->first;
        const T blockSize = it->second;
        const T blockEnd = blockOffset + blockSize;
        if (offset > blockEnd || size > blockEnd - offset) throw EmptyListInvalidBlock();
        Erase(blockSize, blockOffset);
        if (blockOffset < offset) FreeBlock(offset - blockOffset, blockOffset);
        if (offset + size < blockEnd) FreeBlock(blockEnd - (offset + size), offset + size);
    }

    // Empties the list; with a managed size, [0, managed size) becomes free.
    virtual void ClearBlocks() {
        bySize.clear();
        byOffset.clear();
        freeBytes = 0;
        if (managedSize != 0) FreeBlock(managedSize, 0);
    }

    // Frees a block, merging it with free neighbours on both sides as long as
    // the merged size stays within the maximum block size.
    void FreeBlock(T size, T offset) {
        // An empty range frees nothing; kept, it would be a block of size 0
        // that best fit hands out and that breaks the no-overlap invariant.
        if (size == 0) return;
        if (size > maxBlockSize) {
            InsertBlock(size, offset);
            return;
        }
        auto next = byOffset.lower_bound(Pair(offset + size, 0));
        if (next != byOffset.end() && next->first == offset + size &&
            next->second <= maxBlockSize - size) {
            const T nextSize = next->second;
            Erase(nextSize, offset + size);
            size += nextSize;
        }
        auto prev = byOffset.lower_bound(Pair(offset, 0));
        if (prev != byOffset.begin()) {
            --prev;
            if (prev->first + prev->second == offset && prev->second <= maxBlockSize - size) {
                const T prevOffset = prev->first;
                const T prevSize = prev->second;
                Erase(prevSize, prevOffset);
                offset = prevOffset;
                size += prevSize;
            }
        }
        InsertBlock(size, offset);
    }

    // Free blocks as (offset, size), ascending by offset.
    const Set& BlocksByOffset() const { return byOffset; }
    // Free blocks as (size, offset), ascending by size.
    const Set& BlocksBySize() const { return bySize; }
    std::size_t Count() const { return byOffset.size(); }
    // The bytes of all free blocks.
    T GetFreeBytes() const { return freeBytes; }
    // The offset of the highest free block, and whether there is one.
    bool Last(T& offset, T& size) const {
        if (byOffset.empty()) return false;
        offset = byOffset.rbegin()->first;
        size = byOffset.rbegin()->second;
        return true;
    }

private:
    void Erase(T size, T offset) {
        if (bySize.erase(Pair(size, offset)) != 0) freeBytes -= size;
        byOffset.erase(Pair(offset, size));
    }

    T maxBlockSize;
    Set bySize;
    Set byOffset;
    T managedSize;
    T freeBytes = 0;
};

}  // namespace TamFile
