// The tree file's system block: BTreeInfo at offset 0, followed by the list of
// page-index block offsets. All integers are little-endian.
//
//   offset size field                 in a new file
//   0      4    version               20031712
//   4      4    pageSize              65536
//   8      4    recordCount           0 (as of the last commit)
//   12     4    reserved
//   16     8    rootPage              0
//   24     8    pageCount             1 (next never-used page number)
//   32     4    pendingRecordCount    0 (what a waiting commit installs)
//   36     4    reserved
//   40     8    pendingRootPage       NO_PAGE
//   48     8    pendingPageCount      NO_PAGE
//   56     4    pageIndexBlockCount   1
//   60     4    reserved
//   64     8    committedBlockOffset  NO_PAGE (the waiting committed block)
//   72     1    commitReady           0
//   73     1    commitApplying        0
//   74     1    created               set to 1 as the very last step of creation
//   75     5    reserved
//   80     8n   page-index block offsets, n = pageIndexBlockCount
//
// File layout: the system block fills granule 0; the first page-index block
// of a new file fills granule 1; everything else (pages, further page-index
// blocks, committed blocks, free space) lies wherever the allocator put it.
// The offset list must stay inside the system block: at most 8182 entries.
#pragma once

#include <cstddef>
#include <cstdint>

namespace TamBTree {

struct BTreeInfo {
    std::uint32_t version;
    std::uint32_t pageSize;
    std::uint32_t recordCount;
    std::uint32_t reserved1;
    std::uint64_t rootPage;
    std::uint64_t pageCount;
    std::uint32_t pendingRecordCount;
    std::uint32_t reserved2;
    std::uint64_t pendingRootPage;
    std::uint64_t pendingPageCount;
    std::uint32_t pageIndexBlockCount;
    std::uint32_t reserved3;
    std::uint64_t committedBlockOffset;
    std::uint8_t commitReady;
    std::uint8_t commitApplying;
    std::uint8_t created;
    std::uint8_t reserved4[5];

    // The page-index block offsets that follow the structure.
    std::uint64_t* Blocks() { return reinterpret_cast<std::uint64_t*>(this + 1); }
    const std::uint64_t* Blocks() const { return reinterpret_cast<const std::uint64_t*>(this + 1); }
};

static_assert(sizeof(BTreeInfo) == 80, "BTreeInfo is 80 bytes");
static_assert(offsetof(BTreeInfo, version) == 0, "BTreeInfo layout");
static_assert(offsetof(BTreeInfo, pageSize) == 4, "BTreeInfo layout");
static_assert(offsetof(BTreeInfo, recordCount) == 8, "BTreeInfo layout");
static_assert(offsetof(BTreeInfo, rootPage) == 16, "BTreeInfo layout");
static_assert(offsetof(BTreeInfo, pageCount) == 24, "BTreeInfo layout");
static_assert(offsetof(BTreeInfo, pendingRecordCount) == 32, "BTreeInfo layout");
static_assert(offsetof(BTreeInfo, pendingRootPage) == 40, "BTreeInfo layout");
static_assert(offsetof(BTreeInfo, pendingPageCount) == 48, "BTreeInfo layout");
static_assert(offsetof(BTreeInfo, pageIndexBlockCount) == 56, "BTreeInfo layout");
static_assert(offsetof(BTreeInfo, committedBlockOffset) == 64, "BTreeInfo layout");
static_assert(offsetof(BTreeInfo, commitReady) == 72, "BTreeInfo layout");
static_assert(offsetof(BTreeInfo, commitApplying) == 73, "BTreeInfo layout");
static_assert(offsetof(BTreeInfo, created) == 74, "BTreeInfo layout");

constexpr std::uint32_t FILE_VERSION = 20031712;
constexpr std::uint32_t BTREE_INFO_SIZE = sizeof(BTreeInfo);
// Entries the system block's offset list can hold: (65536 - 80) / 8.
constexpr std::uint32_t MAX_PAGE_INDEX_BLOCKS = 8182;
// Pages of headroom an outermost operation secures.
constexpr std::uint64_t HEADROOM_PAGES = 20;
// Free disk space an insert requires.
constexpr std::uint64_t REQUIRED_DISK_SPACE = 10485760;

}  // namespace TamBTree
