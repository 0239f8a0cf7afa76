// The tree: an ordered collection of variable-length records kept in one file
// organised as a B+-tree of 64 KiB pages, reached through memory-mapped views.
//
// BTree is abstract: a client derives a typed tree from it, supplies Less and,
// for fixed sizes, sets keySize and valueSize in its constructor body. Changes
// become durable with CommitNow, or in two phases with PreCommit followed by
// Commit, and are discarded with Rollback. One thread at a time may use a
// tree, its iterators and its CacheOperation objects; other threads read
// through snapshots (see SnapshotOf).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "BTreeException.h"
#include "BTreeExport.h"
#include "BTreeIterator.h"
#include "CacheOperation.h"
#include "TamMem.h"

namespace TamBTree {

class TreeCore;

// The size of every page of a tree file.
constexpr std::uint32_t PAGE_SIZE = 65536;

// When commits reach the disk. Every mode keeps the file whole: after any
// crash it opens as one committed state.
enum class Durability {
    // A commit is durable when it returns (two flushes per CommitNow).
    Full,
    // One flush per CommitNow: a process crash loses nothing; after a power
    // loss the file opens as the last commit that returned or the one before.
    Normal,
    // No flush at commit: commits are visible at once and become durable
    // together at Sync, at rest (destruction, ReadOnly(true), Rollback), or by
    // themselves after DEFAULT_SYNC_EVERY commits or once the pages changed
    // since the last sync (each counted once) reach DEFAULT_SYNC_BYTES (or what
    // SetDurability says). After any crash the file
    // opens as the last synced state.
    Deferred,
};
constexpr std::uint32_t DEFAULT_SYNC_EVERY = 100;
constexpr std::uint64_t DEFAULT_SYNC_BYTES = std::uint64_t(256) << 20;

class TAMBTREE_API BTree : public TamMem::PoolObject {
public:
    // A record as it travels between the tree, its client and Less. It never
    // owns its bytes; one taken from a page points into a mapped view and is
    // valid while that view stays mapped and the page unchanged.
    struct Record {
        const unsigned char* key;
        std::uint32_t keyLength;
        const unsigned char* value;  // null when the record has no value
        std::uint32_t valueLength;
    };

    // The commit state of the file.
    enum CommitState { CommitIdle, CommitReady, CommitApplying };

    // How the constructor finds its file, decided in the one open of the file
    // that it makes (no probe of the path before): open a tree file or create
    // one where none is; create one and fail when the path exists; open one
    // and fail when none exists.
    enum OpenMode { OpenOrCreate, CreateOnly, OpenOnly };

    // Shape and space of a tree, for tools.
    struct Statistics {
        std::uint32_t records;
        std::uint32_t height;     // levels, leaves included
        std::uint64_t pages[64];  // pages per level, root first
        std::uint64_t usedBytes;  // header, directory and live data of all pages
        std::uint64_t fileSize;
        std::uint64_t freeBytes;  // in the free-block list
        std::uint64_t pageCount;  // page numbers handed out
        CommitState commitState;
        std::uint32_t snapshots;      // snapshots of the tree alive now
        std::uint64_t snapshotBytes;  // page images kept only for them
    };

    // A process that reads the tree beside its writer (see ReadOnly): its
    // process id, the snapshots it holds (its read-only tree counts as one)
    // and the bytes of page images the writer keeps for them.
    struct Reader {
        std::uint32_t process;
        std::uint32_t snapshots;
        std::uint64_t heldBytes;
    };

    BTree(const BTree&) = delete;
    BTree& operator=(const BTree&) = delete;

    std::uint32_t GetMaxRecordSize() const;
    std::uint64_t GetDiskSpaceUsed() const;
    // Every n-th insert checks that the disk has 10 MiB free; 0 turns it off.
    void SetEnoughSpaceCheckInterval(std::uint32_t n);
    bool ReadOnly() const;
    // Reopens the file in the other mode; neither commits nor rolls back (the
    // last commit is made final on disk first).
    void ReadOnly(bool readOnly);
    const std::string& GetPath() const;
    // The processes that read this tree's file beside its writer, this one's
    // own read-only tree aside.
    std::vector<Reader> Readers() const;

    // The record at (page, index); points into the page's view.
    Record GetRecord(std::uint64_t page, std::uint32_t index) const;

    // Commits every change since the last commit in one call, durable as the
    // durability mode says (Full: when it returns, two flushes); a
    // pre-committed transaction that waits is installed instead.
    void CommitNow();
    // The durability of the commits from now on; the commits before are made
    // durable first. `syncEvery` and `syncBytes` bound what Deferred gathers.
    void SetDurability(Durability mode, std::uint32_t syncEvery = DEFAULT_SYNC_EVERY,
                       std::uint64_t syncBytes = DEFAULT_SYNC_BYTES);
    Durability GetDurability() const;
    // Makes every commit that returned durable (a no-op under Full).
    void Sync();
    // Writes every change since the last commit to the file and marks it
    // ready, durable when it returns in every mode (earlier commits are synced
    // first); data operations are refused until Commit or Rollback.
    void PreCommit();
    // Installs a ready transaction; without one, does nothing.
    void Commit();
    // Discards everything since the last commit and reloads the tree.
    void Rollback();
    // Full consistency check; throws BTreeException at the first fault.
    void ValidateTree();

    // Writes a compact copy of the last committed tree to a new file at
    // `path`: same layout and order, pages renumbered in key order and filled
    // to about 90 %. Changes not yet committed and a waiting pre-committed
    // transaction are left out. The copy is flushed before the call returns.
    // Throws FileException (EEXIST) when anything is at `path`, which then
    // stays untouched; a copy that fails part way is removed.
    void CopyTo(const std::string& path) const;

    Statistics GetStatistics() const;
    // Idle also while the head still names the last commit's block: that
    // install is complete in memory and only waits to ride on the next flush.
    CommitState GetCommitState() const;

protected:
    BTree(const std::string& path, bool allowDuplicates, bool fixedKeySize, bool hasValue,
          bool fixedValueSize, std::uint32_t pageSize, std::uint32_t cacheSize, bool readOnly,
          bool deleteOnDestroy);
    BTree(const std::string& path, bool allowDuplicates, bool fixedKeySize, bool hasValue,
          bool fixedValueSize, std::uint32_t pageSize, std::uint32_t cacheSize, bool readOnly,
          bool deleteOnDestroy, OpenMode mode);
    virtual ~BTree();
    // A moved tree hands over its file and state; iterators and records taken
    // from it before the move are void. The source is left empty: only its
    // destruction or an assignment to it may follow.
    BTree(BTree&& other) noexcept;
    BTree& operator=(BTree&& other) noexcept;

    // Snapshots. A derived tree offers one by constructing an object of its
    // own type with BTree(SnapshotOf{source}) (and setting keySize and
    // valueSize as its other constructors do): a read-only tree showing the
    // last commit of `source` that returned before the constructor ran. The
    // changes of the open transaction and a pre-committed transaction that
    // waits for Commit are not in it, and it never changes.
    //
    // Any thread may construct one at any moment, also while the thread that
    // uses `source` is inside a write or a commit; the snapshot is then used
    // by one thread at a time, any thread. The page images it reads are kept
    // out of reuse until it ends, so a snapshot held for long makes the file
    // grow. A snapshot outliving its tree keeps the file open and locked until
    // it ends; while snapshots live, Clear is refused, and Rollback, ReadOnly
    // and CopyTo leave them as they are.
    struct SnapshotOf {
        const BTree& source;
    };
    explicit BTree(SnapshotOf of);

    // True iff `a` orders strictly before `b`: the only ordering the tree knows.
    virtual bool Less(const Record& a, const Record& b) const = 0;
    // Declares that Less orders records by their keys' bytes alone (unsigned,
    // over the common prefix, then the shorter key first): searches then
    // compare keys without calling Less. Call it in the derived constructor.
    void UseByteOrder() const;

    BTreeIterator Find(const Record& r);
    BTreeConstIterator Find(const Record& r) const;
    BTreeIterator FindEx(const BTreeIterator& hint, const Record& r);
    BTreeIterator LowerBound(const Record& r);
    BTreeConstIterator LowerBound(const Record& r) const;
    BTreeIterator UpperBound(const Record& r);
    BTreeConstIterator UpperBound(const Record& r) const;
    BTreeIterator Begin();
    BTreeConstIterator Begin() const;
    const BTreeIterator& End();
    const BTreeConstIterator& End() const;
    std::uint32_t Size() const;
    int Count() const;

    std::pair<BTreeIterator, bool> Insert(const Record& r);
    // One descent that gives the first record equal to r the value of r (its
    // stored key stays) or, when there is none, stores r. True when r was
    // stored anew.
    std::pair<BTreeIterator, bool> InsertOrAssign(const Record& r);
    bool Erase(const BTreeIterator& it, bool& nextValid, BTreeIterator& next);
    std::uint32_t Erase(const Record& r);
    BTreeIterator Update(const BTreeIterator& it, const Record& r);
    void Clear();

    // Steps `at` by `step` (1 forward, -1 backward, 0 not at all) and, unless
    // it then stands at the end, hands the record there to `read`, then the
    // records after it on the same page in the direction of the step (forward
    // for 0), at most `most` records in all, until `read` declines one by
    // returning false (the first it must take). All in one operation, while
    // the page is mapped: for cursors that copy what they will stand on. `at`
    // stays on the first record; returns how many records `read` took.
    using RunReader = bool (*)(void* context, const Record& r);
    std::uint32_t StepAndRead(BTreeConstIterator& at, int step, std::uint32_t most, RunReader read,
                              void* context) const;
    // Changes whenever a page of the tree may have changed (a write, a commit,
    // a rollback): copies of records taken at one count are current while the
    // count stays.
    std::uint64_t ChangeCount() const;
    using RecordReader = void (*)(void* context, const Record& r);
    // Find that hands the record found to `read` while its page is mapped;
    // false when there is none. One operation.
    bool FindAndRead(const Record& r, RecordReader read, void* context) const;

    // Open and close the operation bracket (CacheOperation does both). Reads
    // never secure room, so they work on a full disk; the operations that may
    // create pages do that first.
    int Add() const;
    int Remove() const;

    [[noreturn]] static void ThrowRecordTooLargeException(const std::string& path);

    // Scratch buffers of pageSize / 5 bytes for the derived tree's own use.
    unsigned char* recordBuffers[2];
    std::uint32_t keySize;
    std::uint32_t valueSize;

private:
    friend class BTreeIterator;
    friend class BTreeConstIterator;
    friend class CacheOperation;
    friend class TreeCore;
    friend class BTreeTestAccess;

    TreeCore* core;
};

inline CacheOperation::CacheOperation(const BTree* bracketed) : tree(bracketed) {
    tree->Add();
}

inline CacheOperation::~CacheOperation() {
    tree->Remove();
}

// The name a program shows for a commit state: "idle", "ready", "applying".
inline const char* CommitStateName(BTree::CommitState state) {
    switch (state) {
        case BTree::CommitReady:
            return "ready";
        case BTree::CommitApplying:
            return "applying";
        case BTree::CommitIdle:
            break;
    }
    return "idle";
}

}  // namespace TamBTree
