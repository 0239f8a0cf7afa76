// The tree file's format: every on-disk structure and every constant of the
// format, in one place. docs/file-format.md draws the same structures. All
// integers are little-endian (the hosts are; a byte copy is the conversion).
//
// The file is a sequence of granules of GRANULE_SIZE bytes:
//
//   granule 0   the system block: BTreeInfo, then the page-index block list
//   granule 1   the first page-index block of a new file
//   elsewhere   pages, further page-index blocks, committed blocks and free
//               space, wherever the allocator put them
//
// SYSTEM BLOCK (granule 0)
//
//   offset size field                 in a new file
//   0      4    version               FILE_VERSION (20031712)
//   4      4    pageSize              PAGE_SIZE (65536)
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
// The first BTREE_INFO_SIZE bytes are the head: they lie in one sector and are
// only ever replaced whole. The offset list must stay inside the system block:
// at most MAX_PAGE_INDEX_BLOCKS entries.
//
// PAGE-INDEX BLOCK: one granule at a granule-aligned offset holding
// PAGE_INDEX_ENTRIES 64-bit entries; entry k of block b is the file offset of
// page b * PAGE_INDEX_ENTRIES + k, NO_PAGE when that page has no location.
// Entries at or above pageCount are never read. The index on disk always
// describes the last committed tree.
//
// PAGE (PAGE_SIZE bytes at a page-aligned offset other than 0)
//
//   offset size field          meaning
//   0      8    pageNumber     this page's number
//   8      8    previousPage   previous page on the same level, NO_PAGE if none
//   16     8    nextPage       next page on the same level, NO_PAGE if none
//   24     4    count          records (leaf) or keys (internal page)
//   28     4    dataSize       live bytes in the record area (holes excluded)
//   32     4    dataEnd        first byte after the record area; 48 when empty
//   36     4    directorySize  bytes of the slot directory at the page's end
//   40     1    isLeaf         1 leaf, 0 internal
//   41     7    reserved       zero in new pages
//   48     ...  record area    records or keys in any order, with holes
//   ...         free gap
//   P - D  D    slot directory, growing down from the end of the page
//
// Leaf slot i (1..count): 32-bit record offset at P - 4i; D = 4 count.
// Internal page: child 0 (64-bit page number) at P - 8; for i >= 1 the 32-bit
// offset of key i at P - 12i and child i at P - 12i - 8; D = 12 count + 8.
//
// Entry bytes at a slot's offset: [32-bit key length unless keys are of fixed
// size] key bytes, then on leaves of trees with values [32-bit value length
// unless values are of fixed size] value bytes. Internal pages hold keys only.
//
// Invariants: 48 <= dataEnd <= P - D; dataSize <= dataEnd - 48; every slot
// points to a whole entry inside [48, dataEnd); entries 1..count are in key
// order; free space = P - D - dataSize - 48.
//
// COMMITTED BLOCK: the durable record of one transaction, naming the new
// location of every page it relocated and NO_PAGE for every page it freed.
//
//   offset     size field
//   0          4    length L = 4 + 16 n (n entries)
//   4 + 16 i   8    page number of entry i
//   12 + 16 i  8    its new file offset, NO_PAGE when the page was freed
//
// The block starts at a granule boundary and occupies L rounded up to whole
// granules. Entries come in two runs: the changed pages in ascending page
// order, then the freed pages in the order they were freed. The block is
// trusted only in the ready and applying states.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "BTree.h"

namespace TamBTree {

// ---- Sizes and limits -------------------------------------------------------

// The unit the file is laid out in: the system block, page-index blocks and
// committed blocks are whole granules, and pages are mapped a granule at a
// time. It equals the file services' allocation granularity.
constexpr std::uint32_t GRANULE_SIZE = 65536;
static_assert(GRANULE_SIZE % PAGE_SIZE == 0, "pages tile a granule");
// log2(PAGE_SIZE): the page-sized unit of an offset without a division.
constexpr std::uint32_t PAGE_SHIFT = 16;
static_assert(std::uint32_t(1) << PAGE_SHIFT == PAGE_SIZE, "PAGE_SHIFT matches PAGE_SIZE");

constexpr std::uint32_t FILE_VERSION = 20031712;

// Levels of a tree, leaves included; a deeper descent means a damaged file.
// The statistics report one page count per level.
constexpr std::uint32_t MAX_HEIGHT = 64;
static_assert(sizeof(BTree::Statistics::pages) / sizeof(BTree::Statistics::pages[0]) == MAX_HEIGHT,
              "the statistics have room for every level");

// Pages of headroom an outermost operation secures.
constexpr std::uint64_t HEADROOM_PAGES = 20;
// Free disk space an insert requires.
constexpr std::uint64_t REQUIRED_DISK_SPACE = 10485760;

// ---- Little-endian integers at any alignment --------------------------------

inline std::uint32_t Read32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline std::uint64_t Read64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void Write32(unsigned char* p, std::uint32_t v) {
    std::memcpy(p, &v, sizeof v);
}
inline void Write64(unsigned char* p, std::uint64_t v) {
    std::memcpy(p, &v, sizeof v);
}

// ---- Checks that every reader of the file makes -----------------------------

// Whether [offset, offset + size) lies inside a file of `fileSize` bytes
// (written so that no sum can overflow).
constexpr bool InsideFile(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
    return offset <= fileSize && fileSize - offset >= size;
}
// Whether a block of `size` bytes at `offset` is aligned to its own size and
// lies inside the file: a page, or a granule-sized block.
constexpr bool AlignedBlockInFile(std::uint64_t offset, std::uint64_t size,
                                  std::uint64_t fileSize) {
    return offset % size == 0 && InsideFile(offset, size, fileSize);
}
// Whether a granule-aligned granule at `offset` lies inside the file: the
// place of a page-index block or the start of a committed block.
constexpr bool GranuleInFile(std::uint64_t offset, std::uint64_t fileSize) {
    return AlignedBlockInFile(offset, GRANULE_SIZE, fileSize);
}
// Whether a page may lie at `offset`: page-aligned, inside the file and not
// in the system block's place.
constexpr bool PageInFile(std::uint64_t offset, std::uint64_t fileSize) {
    return offset != 0 && AlignedBlockInFile(offset, PAGE_SIZE, fileSize);
}
// The granule-aligned start of the view that maps `offset`.
constexpr std::uint64_t GranuleBase(std::uint64_t offset) {
    return offset - offset % GRANULE_SIZE;
}

// ---- System block -----------------------------------------------------------

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

// The head: the bytes a commit replaces whole.
constexpr std::uint32_t BTREE_INFO_SIZE = sizeof(BTreeInfo);
// Where the page-index block list starts, and the size of one of its entries.
constexpr std::uint32_t PAGE_INDEX_LIST_OFFSET = BTREE_INFO_SIZE;
constexpr std::uint32_t PAGE_INDEX_LIST_ENTRY_SIZE = sizeof(std::uint64_t);
// Entries the system block's offset list can hold.
constexpr std::uint32_t MAX_PAGE_INDEX_BLOCKS =
    (GRANULE_SIZE - PAGE_INDEX_LIST_OFFSET) / PAGE_INDEX_LIST_ENTRY_SIZE;
static_assert(MAX_PAGE_INDEX_BLOCKS == 8182, "the offset list fills the system block");
// The bytes of the system block that hold the head and `blocks` list entries.
constexpr std::uint32_t SystemBlockBytes(std::uint32_t blocks) {
    return PAGE_INDEX_LIST_OFFSET + PAGE_INDEX_LIST_ENTRY_SIZE * blocks;
}

// ---- Page-index block ---------------------------------------------------------

constexpr std::uint32_t PAGE_INDEX_ENTRY_SIZE = sizeof(std::uint64_t);
constexpr std::uint32_t PAGE_INDEX_ENTRIES = GRANULE_SIZE / PAGE_INDEX_ENTRY_SIZE;
static_assert(PAGE_INDEX_ENTRIES == 8192, "a page-index block is one granule of entries");

// ---- Page header and slot directory -----------------------------------------

struct PageHeader {
    std::uint64_t pageNumber;
    std::uint64_t previousPage;
    std::uint64_t nextPage;
    std::uint32_t count;
    std::uint32_t dataSize;
    std::uint32_t dataEnd;
    std::uint32_t directorySize;
    std::uint8_t isLeaf;
    std::uint8_t reserved[7];
};

static_assert(sizeof(PageHeader) == 48, "the page header is 48 bytes");
static_assert(offsetof(PageHeader, pageNumber) == 0, "page header layout");
static_assert(offsetof(PageHeader, previousPage) == 8, "page header layout");
static_assert(offsetof(PageHeader, nextPage) == 16, "page header layout");
static_assert(offsetof(PageHeader, count) == 24, "page header layout");
static_assert(offsetof(PageHeader, dataSize) == 28, "page header layout");
static_assert(offsetof(PageHeader, dataEnd) == 32, "page header layout");
static_assert(offsetof(PageHeader, directorySize) == 36, "page header layout");
static_assert(offsetof(PageHeader, isLeaf) == 40, "page header layout");

constexpr std::uint32_t PAGE_HEADER_SIZE = sizeof(PageHeader);
// A leaf slot: the 32-bit offset of its entry.
constexpr std::uint32_t LEAF_SLOT_SIZE = 4;
// An internal slot: the 32-bit offset of its key and the 64-bit child below it.
constexpr std::uint32_t INTERNAL_SLOT_SIZE = 12;
constexpr std::uint32_t CHILD_SIZE = sizeof(std::uint64_t);
// The length word in front of a key or value of variable size.
constexpr std::uint32_t LENGTH_SIZE = sizeof(std::uint32_t);

// Offsets inside a page of `pageSize` bytes.
constexpr std::uint32_t LeafSlotOffset(std::uint32_t pageSize, std::uint32_t i) {
    return pageSize - LEAF_SLOT_SIZE * i;
}
constexpr std::uint32_t KeySlotOffset(std::uint32_t pageSize, std::uint32_t i) {
    return pageSize - INTERNAL_SLOT_SIZE * i;
}
constexpr std::uint32_t ChildOffset(std::uint32_t pageSize, std::uint32_t i) {
    return pageSize - INTERNAL_SLOT_SIZE * i - CHILD_SIZE;
}
// The slot directory's size on a page holding `count` entries.
constexpr std::uint64_t DirectorySize(bool isLeaf, std::uint64_t count) {
    return isLeaf ? LEAF_SLOT_SIZE * count : INTERNAL_SLOT_SIZE * count + CHILD_SIZE;
}
static_assert(ChildOffset(PAGE_SIZE, 0) == PAGE_SIZE - 8, "child 0 ends the page");
static_assert(KeySlotOffset(PAGE_SIZE, 1) == PAGE_SIZE - 12, "key 1 sits below child 0");
static_assert(ChildOffset(PAGE_SIZE, 1) == PAGE_SIZE - 20, "child 1 sits below key 1");

// ---- Committed block --------------------------------------------------------

constexpr std::uint32_t COMMITTED_LENGTH_SIZE = sizeof(std::uint32_t);
constexpr std::uint32_t COMMITTED_ENTRY_SIZE = 16;
constexpr std::uint32_t COMMITTED_ENTRY_PAGE = 0;    // within an entry
constexpr std::uint32_t COMMITTED_ENTRY_OFFSET = 8;  // within an entry
// Entries a block can name: its length is a 32-bit word.
constexpr std::uint64_t MAX_COMMITTED_ENTRIES =
    (0xFFFFFFFFull - COMMITTED_LENGTH_SIZE) / COMMITTED_ENTRY_SIZE;

constexpr std::uint64_t CommittedEntryAt(std::uint64_t i) {
    return COMMITTED_LENGTH_SIZE + COMMITTED_ENTRY_SIZE * i;
}
static_assert(CommittedEntryAt(1) + COMMITTED_ENTRY_OFFSET == 28, "committed block layout");
// The length word of a block that names n entries.
constexpr std::uint64_t CommittedBlockLength(std::uint64_t n) {
    return CommittedEntryAt(n);
}
// Entries in a block of length L (L >= COMMITTED_LENGTH_SIZE).
constexpr std::uint64_t CommittedEntryCount(std::uint32_t length) {
    return (length - COMMITTED_LENGTH_SIZE) / COMMITTED_ENTRY_SIZE;
}
// The bytes a block of length L occupies: whole granules.
constexpr std::uint64_t CommittedBlockSize(std::uint64_t length) {
    return (length + GRANULE_SIZE - 1) / GRANULE_SIZE * GRANULE_SIZE;
}

inline std::uint32_t ReadCommittedLength(const unsigned char* block) {
    return Read32(block);
}
inline void WriteCommittedLength(unsigned char* block, std::uint32_t length) {
    Write32(block, length);
}
inline void ReadCommittedEntry(const unsigned char* block, std::uint64_t i, std::uint64_t& page,
                               std::uint64_t& offset) {
    page = Read64(block + CommittedEntryAt(i) + COMMITTED_ENTRY_PAGE);
    offset = Read64(block + CommittedEntryAt(i) + COMMITTED_ENTRY_OFFSET);
}
inline void WriteCommittedEntry(unsigned char* block, std::uint64_t i, std::uint64_t page,
                                std::uint64_t offset) {
    Write64(block + CommittedEntryAt(i) + COMMITTED_ENTRY_PAGE, page);
    Write64(block + CommittedEntryAt(i) + COMMITTED_ENTRY_OFFSET, offset);
}

}  // namespace TamBTree
