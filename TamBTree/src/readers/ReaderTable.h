// The reader table: what a writer and the readers of one tree file in other
// processes share, in a small file beside it ("<tree path>-readers"). The
// tree file itself never changes for it.
//
// The writer publishes each committed image here (the commit's counts, the
// file size and its page index, copied block by block into chunks, sharing
// the chunks of blocks that did not change). A reader pins the image it
// reads in a slot of its own; the writer neither frees nor reuses a page
// image, nor a chunk, that a pinned image names. The file is mapped shared
// by everyone; its values are untrusted until checked.
//
// Layout (native byte order; the first process to open it with no other user
// builds it anew, since what it held then serves nobody):
//
//   offset   size  field
//   0        64    TableHeader
//   4096     64*64 ImageEntry ring: the image of sequence s at s % IMAGE_RING
//   8192     64*n  ReaderSlot, n = READER_SLOTS
//   65536    c*64K chunks: chunk c at CHUNKS_OFFSET + c * CHUNK_BYTES, each
//                  PAGE_INDEX_ENTRIES offsets (an index block) or chunk
//                  numbers (an image's directory)
//
// TableHeader:
//   0   magic "TamRdrs1"        32  lastSequence (the highest ever published)
//   8   version                 40  current (the image readers pin; 0: none)
//   12  pageSize of the tree    48  writerOpen (1 from a writer's start until
//   16  tree file's device              its clean close)
//   24  tree file's inode       52  writerPid
//                               56  chunkCount (chunks in the file)
//                               60  slotCount
// ImageEntry:
//   0   sequence (0 while being rewritten)   24  fileSize
//   8   root                                 32  records
//   16  pages                                36  directory chunk  40  blocks
// ReaderSlot:
//   0   pinned: the oldest sequence its holder reads (NONE_PINNED: none)
//   8   heldBytes: page images kept for it (the writer's count)
//   16  pid                                  20  snapshots
//
// Byte locks of the file (not its bytes): LOCK_USERS, shared by every open
// table, exclusive to build or remove the file; LOCK_WRITER, exclusive for a
// writer's life, shared while a reader loads the tree file with no writer;
// the first byte of slot i, exclusive to the process that holds the slot.
// Invariants: only a holder of a slot's lock writes its pin and pid (the
// writer, holding the lock itself, clears the slot of a dead holder); a
// reader's pin is never above a sequence it reads; chunks and page images
// that an image at or after a slot's pin names stay unchanged.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BTree.h"
#include "FileFormat.h"
#include "TamFile.h"
#include "pager/Snapshots.h"

namespace TamBTree {

struct TableHeader {
    char magic[8];
    std::uint32_t version;
    std::uint32_t pageSize;
    std::uint64_t device;
    std::uint64_t inode;
    std::atomic<std::uint64_t> lastSequence;
    std::atomic<std::uint64_t> current;
    std::atomic<std::uint32_t> writerOpen;
    std::atomic<std::uint32_t> writerPid;
    std::atomic<std::uint32_t> chunkCount;
    std::uint32_t slotCount;
};

struct ImageEntry {
    std::atomic<std::uint64_t> sequence;
    std::atomic<std::uint64_t> root;
    std::atomic<std::uint64_t> pages;
    std::atomic<std::uint64_t> fileSize;
    std::atomic<std::uint32_t> records;
    std::atomic<std::uint32_t> directory;
    std::atomic<std::uint32_t> blocks;
    std::uint32_t reserved[5];
};

struct ReaderSlot {
    std::atomic<std::uint64_t> pinned;
    std::atomic<std::uint64_t> heldBytes;
    std::atomic<std::uint32_t> pid;
    std::atomic<std::uint32_t> snapshots;
    std::uint64_t reserved[5];
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "shared atomics");
static_assert(sizeof(TableHeader) == 64 && offsetof(TableHeader, current) == 40 &&
                  offsetof(TableHeader, chunkCount) == 56,
              "table header layout");
static_assert(sizeof(ImageEntry) == 64 && offsetof(ImageEntry, fileSize) == 24 &&
                  offsetof(ImageEntry, blocks) == 40,
              "image entry layout");
static_assert(sizeof(ReaderSlot) == 64 && offsetof(ReaderSlot, pid) == 16, "reader slot layout");
static_assert(sizeof(IndexChunk) == 65536, "one chunk is one page-index block");

class ReaderTable {
public:
    static constexpr char MAGIC[8] = {'T', 'a', 'm', 'R', 'd', 'r', 's', '1'};
    static constexpr std::uint32_t VERSION = 1;
    static constexpr std::uint32_t IMAGE_RING = 64;
    static constexpr std::uint32_t READER_SLOTS = 512;
    static constexpr std::uint64_t RING_OFFSET = 4096;
    static constexpr std::uint64_t SLOTS_OFFSET = 8192;
    static constexpr std::uint64_t CHUNKS_OFFSET = 65536;
    static constexpr std::uint64_t CHUNK_BYTES = sizeof(IndexChunk);
    // The most chunks a table holds: an index of 16384 blocks, or fewer
    // blocks kept for old readers too. The whole is reserved at once.
    static constexpr std::uint32_t MAX_CHUNKS = 16384;
    static constexpr std::uint64_t RESERVED = CHUNKS_OFFSET + MAX_CHUNKS * CHUNK_BYTES;
    static constexpr std::uint64_t LOCK_USERS = 0;
    static constexpr std::uint64_t LOCK_WRITER = 1;
    static constexpr std::uint32_t NO_CHUNK = ~std::uint32_t(0);
    static_assert(SLOTS_OFFSET + READER_SLOTS * sizeof(ReaderSlot) <= CHUNKS_OFFSET, "slots fit");
    static_assert(RING_OFFSET + IMAGE_RING * sizeof(ImageEntry) <= SLOTS_OFFSET, "ring fits");

    // The table beside the tree file `treePath` (device, inode): opened, or
    // created and built when nobody else uses it. Null when it cannot be used
    // (a directory we cannot write, or a table still in use for a file that
    // was replaced under the path): the tree is then shared the old way, by a
    // lock on its file.
    static std::shared_ptr<ReaderTable> Open(const std::string& treePath, std::uint64_t device,
                                             std::uint64_t inode, std::uint32_t pageSize);
    // The last user removes the file.
    ~ReaderTable();
    ReaderTable(const ReaderTable&) = delete;
    ReaderTable& operator=(const ReaderTable&) = delete;

    static std::string PathOf(const std::string& treePath) { return treePath + "-readers"; }

    TableHeader& Header() const { return *reinterpret_cast<TableHeader*>(base); }
    ImageEntry& Image(std::uint64_t sequence) const {
        return reinterpret_cast<ImageEntry*>(base + RING_OFFSET)[sequence % IMAGE_RING];
    }
    ReaderSlot& Slot(std::uint32_t i) const {
        return reinterpret_cast<ReaderSlot*>(base + SLOTS_OFFSET)[i];
    }
    static std::uint64_t SlotLock(std::uint32_t i) { return SLOTS_OFFSET + i * sizeof(ReaderSlot); }
    // Chunk c, below MAX_CHUNKS and the file's chunk count.
    IndexChunk* Chunk(std::uint32_t c) const {
        return reinterpret_cast<IndexChunk*>(base + CHUNKS_OFFSET + c * CHUNK_BYTES);
    }
    TamFile::SharedFile& File() { return file; }
    // Whether the holder of slot i lives: it holds the slot's lock. A dead
    // holder's slot is cleared on the way, under the lock.
    bool SlotAlive(std::uint32_t i);

private:
    explicit ReaderTable(const std::string& path) : file(path) {}
    enum class Opened { Ready, Retry, Unusable };
    Opened TryOpen(std::uint64_t device, std::uint64_t inode, std::uint32_t pageSize);
    bool Matches(std::uint64_t device, std::uint64_t inode, std::uint32_t pageSize) const;
    void Build(std::uint64_t device, std::uint64_t inode, std::uint32_t pageSize);
    void Unmap();

    TamFile::SharedFile file;
    unsigned char* base = nullptr;
};

// The live readers of `table` (the holder of slot `except` aside): their
// processes, snapshots and the bytes the writer keeps for them.
std::vector<BTree::Reader> LiveReaders(ReaderTable& table, std::uint32_t except);

}  // namespace TamBTree
