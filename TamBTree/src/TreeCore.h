// The tree's state and algorithms behind BTree's interface: the page store
// (page index, view cache, remembered addresses, allocation and growth), the
// transaction (changed and freed pages, committed blocks, commit and
// recovery) and the tree algorithms working on both. BTree forwards to it;
// internal code calls it directly, so the hot paths stay inline here.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "BTree.h"
#include "EmptyList.h"
#include "FastVector.h"
#include "FileFormat.h"
#include "PageLayout.h"
#include "TamFile.h"
#include "TamMem.h"

namespace TamBTree {

class ViewCache;
class PageAddressCache;
struct ViewCacheEntry;

class TreeCore : public TamMem::PoolObject {
public:
    using Record = BTree::Record;
    using CommitState = BTree::CommitState;
    using Statistics = BTree::Statistics;
    static constexpr CommitState CommitIdle = BTree::CommitIdle;
    static constexpr CommitState CommitReady = BTree::CommitReady;
    static constexpr CommitState CommitApplying = BTree::CommitApplying;

    TreeCore(BTree& owner, const std::string& path, bool allowDuplicates, bool fixedKeySize,
             bool hasValue, bool fixedValueSize, std::uint32_t pageSize, std::uint32_t cacheSize,
             bool readOnly, bool deleteOnDestroy, BTree::OpenMode mode);
    ~TreeCore();
    TreeCore(const TreeCore&) = delete;
    TreeCore& operator=(const TreeCore&) = delete;

    // The client's ordering.
    bool Less(const Record& a, const Record& b) const {
        return layout->ByteOrder() ? PageLayout::KeyBytesLess(this, a, b) : owner->Less(a, b);
    }

    // The operations BTree offers, with the same meaning.
    std::uint32_t GetMaxRecordSize() const { return maxRecordSize; }
    std::uint64_t GetDiskSpaceUsed() const { return file.GetSize(); }
    void ReadOnly(bool readOnly);
    Record GetRecord(std::uint64_t page, std::uint32_t index) const;
    void CommitNow();
    void PreCommit();
    void Commit();
    void Rollback();
    void ValidateTree();
    Statistics GetStatistics() const;
    CommitState GetCommitState() const;
    BTreeIterator Find(const Record& r);
    BTreeIterator FindEx(const BTreeIterator& hint, const Record& r);
    BTreeIterator LowerBound(const Record& r);
    BTreeIterator UpperBound(const Record& r);
    BTreeIterator Begin();
    std::pair<BTreeIterator, bool> Insert(const Record& r);
    std::pair<BTreeIterator, bool> InsertOrAssign(const Record& r);
    bool Erase(const BTreeIterator& it, bool& nextValid, BTreeIterator& next);
    std::uint32_t Erase(const Record& r);
    BTreeIterator Update(const BTreeIterator& it, const Record& r);
    void Clear();
    void CopyTo(const std::string& path) const;
    // Gives the free space at the end of the file back to the disk.
    void TrimFreeTail();

    // The operation bracket.
    int Add() const { return ++depth; }
    int Remove() const {
        if (depth == 1) TrimViews();
        return --depth;
    }

    // The bracket of an internal operation.
    class Bracket {
    public:
        explicit Bracket(const TreeCore* bracketed) : core(bracketed) { core->Add(); }
        ~Bracket() { core->Remove(); }
        Bracket(const Bracket&) = delete;
        Bracket& operator=(const Bracket&) = delete;

    private:
        const TreeCore* core;
    };

    // Pages changed in the open transaction: page number to new offset. A
    // removal advances the epoch, which voids remembered page addresses; an
    // addition moves one page only, whose remembered address its caller forgets.
    class PageMap {
    public:
        using Map = std::map<std::uint64_t, std::uint64_t, std::less<std::uint64_t>,
                             TamMem::PoolAllocator<std::pair<const std::uint64_t, std::uint64_t>>>;
        using const_iterator = Map::const_iterator;

        const_iterator find(std::uint64_t n) const { return map.find(n); }
        const_iterator begin() const { return map.begin(); }
        const_iterator end() const { return map.end(); }
        std::size_t size() const { return map.size(); }
        void emplace(std::uint64_t n, std::uint64_t offset) { map.emplace(n, offset); }
        void erase(const_iterator at) {
            ++epoch;
            map.erase(at);
        }
        void erase(std::uint64_t n) {
            ++epoch;
            map.erase(n);
        }
        void clear() {
            ++epoch;
            map.clear();
        }
        std::uint64_t Epoch() const { return epoch; }

    private:
        Map map;
        std::uint64_t epoch = 0;
    };
    enum FindPageOperation {
        FindPageBackward = 0,
        FindPageForward = 1,
        FindPageForwardInclusive = 2
    };

    using OffsetSet =
        std::set<std::uint64_t, std::less<std::uint64_t>, TamMem::PoolAllocator<std::uint64_t>>;

    static bool LessHook(const void* tree, const Record& a, const Record& b);
    void ReleaseResources();

    // Messages carry the tree's path.
    template <class E>
    [[noreturn]] void ThrowTree(std::uint32_t number, std::uint32_t line) const {
        ThrowMessage<E>(number, line, file.GetPath());
    }
    // Damage found in the file: "The B-Tree is invalid. <what> (<path>)".
    [[noreturn]] void ThrowInvalid(const std::wstring& what) const;
    // The text followed by the tree file's path.
    std::wstring WithPath(const std::wstring& text) const;
    // Validation's own reports, which begin "The B-Tree is invalid.".
    [[noreturn]] void ThrowDamagedText(const wchar_t* text) const;
    // Takes a block that the file names out of the free space; a block not
    // wholly free means two structures claim the same space.
    void ClaimBlock(std::uint64_t size, std::uint64_t offset);
    // A descent that passed MAX_HEIGHT levels: only a damaged file has one.
    [[noreturn]] void ThrowTooDeep() const;
    void ThrowIfReadOnly() const;
    void ThrowIfCommitPending() const;
    void ThrowIfTransactionFailed() const;

    // Marks the transaction failed when an exception leaves a data operation
    // after it made a page writable: a half-done split or move must never be
    // committed.
    class ChangeGuard {
    public:
        explicit ChangeGuard(TreeCore& guarded)
            : tree(guarded), writes(guarded.pageWrites), exceptions(std::uncaught_exceptions()) {}
        ~ChangeGuard() {
            if (std::uncaught_exceptions() > exceptions && tree.pageWrites != writes)
                tree.transactionFailed = true;
        }
        ChangeGuard(const ChangeGuard&) = delete;
        ChangeGuard& operator=(const ChangeGuard&) = delete;

    private:
        TreeCore& tree;
        std::uint64_t writes;
        int exceptions;
    };

    // File format (open, create).
    bool Exist() const;
    void RefuseForeignFile() const;
    // Writes a new tree file, opening the path the way `how` says.
    void Create(TamFile::OpenMode how = TamFile::OpenCreate);
    // Opens the tree file found at the path, or creates one, as `mode` says.
    void OpenOrCreateFile(BTree::OpenMode mode);
    void CreateSystemBlock();
    void Load();
    void LoadFile();
    void Init();
    void CloseFile() const;
    void TakeCommittedCounts(const BTreeInfo* info);
    BTreeInfo* SystemBlock() const;
    void FlushHead(std::uint32_t bytes = BTREE_INFO_SIZE) const;

    // File growth.
    void Grow() const;
    std::uint64_t GetFreeDataSpace(std::uint32_t size) const;
    std::uint64_t AllocatePageSpace() const;
    void CheckEnoughSpace() const;

    // Page index.
    std::uint64_t* GetStablePageOffset(std::uint64_t n) const;
    std::uint64_t GetPageOffset(std::uint64_t n) const;
    PageHeader* LoadPage(std::uint64_t n) const;
    PageHeader* LoadPageForUpdate(std::uint64_t n);
    void LoadPageIndexBlock(const BTreeInfo* info);
    unsigned char* HoldPageIndexBlock(std::uint64_t block) const;
    void ReleaseHeldPageIndexBlock() const;
    void AddPageIndexBlock() const;
    // LoadPage telling whether the page was changed in the open transaction
    // (so it may be written in place).
    PageHeader* LoadPage(std::uint64_t n, bool& writable) const;
    // LoadPage without the remembered addresses; `entry` receives the view.
    PageHeader* LoadPageSlow(std::uint64_t n, ViewCacheEntry*& entry, bool& writable) const;
    // Allocates a new location for page n in the open transaction.
    std::uint64_t TakeFreshLocation(std::uint64_t n) const;
    PageHeader* MapPage(std::uint64_t n, std::uint64_t offset, ViewCacheEntry*& entry) const;
    // Changes whenever a remembered page address may have gone stale.
    std::uint64_t PageEpoch() const;
    bool IsPageCached(std::uint64_t n) const;
    // Unmaps a page's view that a walk mapped itself; the views a caller's
    // bracket may hold stay.
    void ReleasePageView(std::uint64_t n) const;

    // Page allocation.
    // `entryBytes`: how much of the record area the caller is about to fill;
    // only that much and the memory page of the directory are made writable
    // at once, so a page that stays part-empty has its gap neither written
    // nor flushed. By default the caller fills the whole page.
    static constexpr std::uint32_t WHOLE_PAGE = ~std::uint32_t(0);
    PageHeader* NewPage(const PageHeader& pageTemplate, std::uint32_t entryBytes = WHOLE_PAGE);
    void FreePage(const PageHeader* page);

    // View cache and the operation bracket.
    // Headroom for the pages an operation may create: page-index entries and
    // file space. Only outermost writes call it, before their bracket opens.
    void MakeRoom() const;
    void PrepareWrite() const;
    // The pages one write may take at the tree's current height.
    std::uint64_t WritePages() const;
    // The tree's height as last measured, and the root it was measured from.
    mutable std::uint64_t measuredHeight = 1;
    mutable std::uint64_t heightRoot = NO_PAGE;
    void ClearViews() const;
    void ReleaseLeastRecentView() const;
    // At the end of an outermost operation: one view goes when the cache holds
    // more than it may.
    void TrimViews() const;

    // Iterator steps, shared by both iterator classes.
    void StepForward(std::uint64_t& page, std::uint32_t& record) const;
    void StepBackward(std::uint64_t& page, std::uint32_t& record) const;
    bool FindAndRead(const Record& r, BTree::RecordReader read, void* context);
    std::uint32_t StepAndRead(std::uint64_t& page, std::uint32_t& record, int step,
                              std::uint32_t most, BTree::RunReader read, void* context) const;
    // Every edit of a page passes LoadPageForUpdate; commits and rollbacks
    // clear the changed-page map.
    std::uint64_t ChangeCount() const { return pageWrites + changedPages.Epoch(); }
    std::uint32_t Distance(std::uint64_t aPage, std::uint32_t aRecord, std::uint64_t bPage,
                           std::uint32_t bRecord) const;

    // Search.
    // The first record not Less than r after one descent (end when none), and
    // the leaf that holds it.
    BTreeIterator FirstNotLess(const Record& r, PageHeader*& page);
    BTreeIterator Bound(const Record& r, bool lower);
    // Find in a tree without duplicates: one descent and one comparison.
    BTreeIterator FindUnique(const Record& r);
    std::uint64_t FindPage(const Record& r, PageHeader* const page, FindPageOperation op);
    PageHeader* Descend(const Record& r) const;
    Record IteratorRecord(const BTreeIterator& it) const;

    // Insertion.
    Record CopyAside(const Record& r, unsigned char* buffer) const;
    void CheckRecordSizes(const Record& r) const;
    bool HasRoom(const PageHeader* page, const Record& r) const;
    // The number of entries of `page` Less than r (FindLargestRecord), trying
    // the last entry first while inserts go to the ends of their leaves.
    std::uint32_t InsertPosition(const PageHeader* page, const Record& r) const;
    std::pair<BTreeIterator, bool> Store(const Record& r, bool assign);
    // With `assign`, an equal record found gets r's value.
    std::pair<BTreeIterator, bool> InsertNonFullPage(std::uint64_t page, const Record& r,
                                                     FastVector<std::uint64_t>& path,
                                                     bool assign = false);
    BTreeIterator AssignValue(const BTreeIterator& it, const Record& r);
    // Where to split a full page for an entry needing `need` bytes with
    // `position` entries Less than it: balanced by stored bytes, except for an
    // append at the end of a level.
    std::uint32_t SplitPoint(const PageHeader* page, std::uint32_t position,
                             std::uint32_t need) const;
    void SplitChildPage(std::uint64_t page, std::uint32_t position,
                        FastVector<std::uint64_t>& path);
    // Splits page p so that r finds room on its side.
    void SplitFor(std::uint64_t p, const Record& r, FastVector<std::uint64_t>& path);
    // Takes p's parent off the path and splits it first when it cannot take
    // the separator; returns the page that will hold it and, in pos, p's
    // position among that page's children.
    std::uint64_t MakeRoomForSeparator(std::uint64_t p, const Record& separator,
                                       FastVector<std::uint64_t>& path, std::uint32_t& pos);

    // Erase.
    void GetPath(PageHeader* const page, FastVector<std::uint64_t>& path);
    void WalkRightTo(std::uint64_t target, std::uint64_t cur, FastVector<std::uint64_t>& path);
    void BalanceSubTree(PageHeader* const page, FastVector<std::uint64_t>& path);
    void BorrowFromLeft(PageHeader* page, std::uint64_t parent, std::uint32_t pos);
    void BorrowFromRight(PageHeader* page, std::uint64_t parent, std::uint32_t pos);
    void SplitParentAndRetry(PageHeader* page, FastVector<std::uint64_t>& path);
    void MergePage(PageHeader* const source, PageHeader* const destination,
                   FastVector<std::uint64_t>& path);
    std::uint32_t SeparatorNeed(const PageHeader* parent, std::uint32_t k) const;
    std::uint32_t KeyLength(const PageHeader* page, std::uint32_t k) const;

    // Commit. The flushes of the schedule, one name each: crash tests drop
    // one of them (ms_droppedFlush) to show that each is needed.
    enum ScheduledFlush {
        DataFlush,      // CommitNow, PreCommit: pages, block, previous install
        DecisionFlush,  // CommitNow: the head applying the new block
        ReadyFlush,     // PreCommit: the ready head
        ApplyingFlush,  // Commit: the applying head
        IdleDataFlush,  // ReturnToIdle: the install
        IdleFlush,      // ReturnToIdle: the idle head
        RollbackFlush,  // Rollback: the head that drops a ready block
        NoFlush
    };
    static ScheduledFlush ms_droppedFlush;
    void Flush(ScheduledFlush which) const;
    void ThrowIfInterrupted() const;
    std::uint64_t WriteCommittedBlock();
    void FlushTransaction();
    // Writes the transaction's block and stores the head that names it:
    // applying when the commit is decided (one phase), else ready.
    void WriteAndName(bool decided);
    BTreeInfo LastCommitHead() const;
    BTreeInfo NextHead() const;
    void StoreHead(const BTreeInfo& head);
    void KeepNamedBlock(const BTreeInfo& head);
    void ReleaseUnnamedBlocks();
    void Install(bool freeReplaced);
    void ReturnToIdle();
    void ApplyCommittedBlock(const BTreeInfo* info, bool freeReplaced);
    void LoadPageInfoCommittedBlock(const BTreeInfo* info);
    unsigned char* MapCommittedBlock(const BTreeInfo* info, std::uint32_t& length) const;
    void FinishInterruptedCommit();

    // Validation.
    void ValidateOffset() const;
    // Each offset may be claimed by one structure only.
    void ClaimOnce(OffsetSet& claimed, std::uint64_t offset) const;
    void ClaimRange(OffsetSet& claimed, std::uint64_t offset, std::uint64_t size,
                    std::uint64_t unit) const;
    void ValidatePage(std::uint64_t page, std::uint32_t level, std::uint64_t& visits) const;
    void ValidateSeparator(std::uint64_t page, std::uint32_t k) const;
    void ClaimWaitingBlock(OffsetSet& claimed) const;
    bool InOrder(const Record& previous, const Record& current) const;
    Record CheckedRecord(const PageHeader* page, std::uint32_t i) const;
    void CheckDataSize(const PageHeader* page) const;
    const PageHeader* NonEmptyPage(std::uint64_t n) const;

    std::uint32_t pageSize;
    mutable TamFile::MemoryMapFile file;
    bool allowDuplicates;
    bool fixedKeySize;
    bool hasValue;
    bool fixedValueSize;
    bool readOnly;
    bool deleteOnDestroy;
    std::uint32_t internalSlotSize;
    std::uint32_t leafSlotSize;
    std::uint32_t allocationGranularity;
    std::uint32_t maxCachedViews;
    std::uint32_t pageIndexEntriesPerBlock;
    BTreeIterator beginIterator;
    BTreeConstIterator beginConstIterator;
    BTreeIterator endIterator;
    BTreeConstIterator endConstIterator;
    std::uint32_t underflowThreshold;
    std::uint32_t maxRecordSize;
    mutable TamFile::EmptyListT<std::uint64_t> freeList;
    FastVector<std::uint64_t> freePageNumbers;
    std::uint64_t rootPage;
    std::uint32_t recordCount;
    std::uint64_t pageCount;
    std::uint32_t enoughSpaceCheckInterval;
    // Stores left before the next look at the free disk space; 0: the next.
    mutable std::uint32_t storesUntilSpaceCheck = 0;
    mutable FastVector<std::uint64_t> pageIndexBlocks;
    mutable std::uint64_t heldPageIndexBlock;
    mutable unsigned char* heldPageIndexView;
    mutable PageMap changedPages;
    // One bit per page-sized unit of the file, set once the entries of the
    // committed image there have been checked since the open; what the tree
    // writes there later keeps them sound.
    mutable FastVector<std::uint64_t> checkedUnits;
    FastVector<std::uint64_t> freedPages;
    mutable int depth;
    ViewCache* viewCache;
    PageAddressCache* pageAddresses;
    // Advanced when page-index entries are rewritten in place (commit).
    mutable std::uint64_t indexEpoch;
    PageLayout* layout;
    FastVector<std::uint64_t> insertPath;
    // A committed block that the head names waits to be installed (ready, or
    // applying until the install in memory is done): data operations wait.
    bool commitPending;
    // A data operation failed after it changed pages: only Rollback ends the
    // transaction.
    bool transactionFailed = false;
    // Counts LoadPageForUpdate calls, so a failure can tell whether it changed
    // anything.
    std::uint64_t pageWrites = 0;
    // The head names the last commit as applying while the page index in
    // memory already holds it: the next data flush makes the install durable
    // and the next head store (or ReturnToIdle) leaves the applying state.
    bool idleOwed;
    // Committed blocks kept out of the free-block list (offset, size): the
    // one the head names and those a head that may still be on disk names.
    std::vector<std::pair<std::uint64_t, std::uint64_t>,
                TamMem::PoolAllocator<std::pair<std::uint64_t, std::uint64_t>>>
        keptBlocks;
    // Holds copies of records handed to Insert (first half) and to Update and
    // Erase (second half).
    unsigned char* insertBuffer;
    // The last insert went to the end of its leaf: keys are likely coming in
    // ascending order, and the next one likely goes past every entry on its
    // path too. A hint only; either value gives the same positions.
    bool appending = false;
    // The page NewPage is creating: the only page LoadPage may give a first
    // location.
    mutable std::uint64_t creatingPage;
    // The tree this core serves; it reads the sizes and buffers that its
    // client sets there. A moved tree hands its core to the new object.
    BTree* owner;
    std::uint32_t KeySize() const { return owner->keySize; }
    std::uint32_t ValueSize() const { return owner->valueSize; }
    void Rebind(BTree& tree);
};

}  // namespace TamBTree
