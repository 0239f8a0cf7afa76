// The tree file and its space: the memory-mapped file, the free-block list of
// the space inside it, extension, trimming and the guard against a full disk.
//
// Invariants: every byte of the file below its size is free (in the list),
// claimed by exactly one structure, or in the system block; the list holds
// whole pages only. The file is extended in steps of 10 % (at least enough
// for HEADROOM_PAGES pages, at least 10 granules) and trimmed only by
// TrimFreeTail, which a compacting copy calls.
#pragma once

#include <cstdint>
#include <string>

#include "EmptyList.h"
#include "TamFile.h"
#include "TamMem.h"

namespace TamBTree {

class FileSpace {
public:
    FileSpace(const std::string& path, std::uint32_t pageSize, bool readOnly);
    FileSpace(const FileSpace&) = delete;
    FileSpace& operator=(const FileSpace&) = delete;

    // The file itself, for what changes it or its size.
    TamFile::MemoryMapFile& File() { return file; }
    // Mapping and unmapping views leaves the file as it is.
    unsigned char* View(std::uint64_t offset, std::uint32_t size = 0) const {
        return file.GetView(offset, size);
    }
    bool HasView(std::uint64_t offset) const { return file.IsViewExist(offset); }
    void ReleaseView(std::uint64_t offset) const { file.ReleaseView(offset); }
    bool IsOpen() const { return file.IsOpen(); }
    const std::string& Path() const { return file.GetPath(); }
    std::uint64_t Size() const { return file.GetSize(); }
    std::uint32_t Granule() const { return granularity; }
    bool ReadOnly() const { return readOnly; }
    // The mode the next Open uses; the file is not reopened.
    void SetReadOnly(bool mode) { readOnly = mode; }

    // Frees everything: the list starts over for a file being opened.
    void Reset() { freeList.ClearBlocks(); }
    // Adds a step at the end of the file to the free space; false when the
    // file could not take HEADROOM_PAGES more pages.
    bool Extend();
    // A free block of `size` bytes rounded up to whole pages; 0 when none.
    std::uint64_t TakePages(std::uint32_t size);
    // A free region of `size` bytes, whole granules; false when none.
    bool TakeRegion(std::uint64_t size, std::uint64_t& offset);
    void Free(std::uint64_t size, std::uint64_t offset) { freeList.FreeBlock(size, offset); }
    // Takes a block that the file names out of the free space; a block not
    // wholly free means two structures claim the same space.
    void Claim(std::uint64_t size, std::uint64_t offset);
    // Claim of a block that something may claim already: false, and nothing
    // changes, when it is not wholly free.
    bool TryClaim(std::uint64_t size, std::uint64_t offset);
    std::uint64_t FreeBytes() const { return freeList.GetFreeBytes(); }
    const TamFile::EmptyListT<std::uint64_t>& FreeList() const { return freeList; }
    TamFile::EmptyListT<std::uint64_t>& FreeList() { return freeList; }
    // Gives the free space at the end of the file back to the disk; the
    // caller has dropped the views there. The size change is flushed.
    void TrimFreeTail();

    // Every n-th store asks whether the disk has room; 0 turns it off.
    void SetSpaceCheckInterval(std::uint32_t n);
    void CheckEnoughSpace() const;

private:
    // Mutable for its views only: what maps a page does not change the file.
    mutable TamFile::MemoryMapFile file;
    std::uint32_t pageSize;
    std::uint32_t granularity;
    bool readOnly;
    TamFile::EmptyListT<std::uint64_t> freeList;
    std::uint32_t spaceCheckInterval = 20000;
    // Stores left before the next look at the free disk space; 0: the next.
    mutable std::uint32_t storesUntilSpaceCheck = 0;
};

}  // namespace TamBTree
