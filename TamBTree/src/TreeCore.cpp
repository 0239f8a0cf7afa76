// The tree's core: construction, destruction, accessors and the read-only
// switch.
#include "TreeCore.h"

#include "FileFormat.h"
#include "PageAddressCache.h"
#include "PageLayout.h"
#include "ViewCache.h"

namespace TamBTree {

TreeCore::TreeCore(BTree& tree, const std::string& path, bool duplicates, bool fixedKeys,
                   bool withValues, bool fixedValues, std::uint32_t requestedPageSize,
                   std::uint32_t cacheSize, bool openReadOnly, bool deleteFile,
                   BTree::OpenMode mode)
    : pageSize(0),
      file(path),
      allowDuplicates(duplicates),
      fixedKeySize(fixedKeys),
      hasValue(withValues),
      fixedValueSize(fixedValues),
      readOnly(openReadOnly),
      deleteOnDestroy(deleteFile),
      internalSlotSize(INTERNAL_SLOT_SIZE),
      leafSlotSize(LEAF_SLOT_SIZE),
      allocationGranularity(TamFile::GetAllocationGranularity()),
      endIterator(NO_PAGE, 0, &tree),
      endConstIterator(NO_PAGE, 0, &tree),
      rootPage(0),
      recordCount(0),
      pageCount(1),
      enoughSpaceCheckInterval(20000),
      heldPageIndexBlock(NO_PAGE),
      heldPageIndexView(nullptr),
      depth(0),
      viewCache(nullptr),
      pageAddresses(nullptr),
      indexEpoch(0),
      layout(nullptr),
      commitPending(false),
      idleOwed(false),
      insertBuffer(nullptr),
      creatingPage(NO_PAGE),
      owner(&tree) {
    const std::uint32_t g = allocationGranularity;
    // A request of 0 or above the granularity yields no page size at all.
    if (requestedPageSize == 0 || requestedPageSize > g)
        ThrowTree<BTreeException>(MsgInvalid, __LINE__);
    pageSize = g / (g / requestedPageSize);
    maxRecordSize = (pageSize - 5 * leafSlotSize - PAGE_HEADER_SIZE) / 5;
    if (!fixedKeySize) maxRecordSize -= 4;
    if (hasValue && !fixedValueSize) maxRecordSize -= 4;
    maxCachedViews = cacheSize / g == 0 ? 1 : cacheSize / g;
    pageIndexEntriesPerBlock = PAGE_INDEX_ENTRIES;
    underflowThreshold = (pageSize - PAGE_HEADER_SIZE) / 2;
    // The format is laid out in granules of GRANULE_SIZE and pages of PAGE_SIZE.
    if (pageSize != PAGE_SIZE || g != GRANULE_SIZE) ThrowTree<BTreeException>(MsgInvalid, __LINE__);
    try {
        owner->recordBuffers[0] = static_cast<unsigned char*>(TamMem::Allocate(pageSize / 5));
        owner->recordBuffers[1] = static_cast<unsigned char*>(TamMem::Allocate(pageSize / 5));
        insertBuffer = static_cast<unsigned char*>(TamMem::Allocate(pageSize));
        viewCache = new ViewCache;
        pageAddresses = new PageAddressCache(maxCachedViews * (g / pageSize));
        layout = new PageLayout(PageFormat{pageSize, fixedKeySize, hasValue, fixedValueSize,
                                           &tree.keySize, &tree.valueSize, &TreeCore::LessHook,
                                           this, &file.GetPath()});
        OpenOrCreateFile(mode);
    } catch (...) {
        ReleaseResources();
        throw;
    }
    beginIterator = BTreeIterator(0, 1, owner);
    beginConstIterator = BTreeConstIterator(0, 1, owner);
}

TreeCore::~TreeCore() {
    // A file at rest is idle: the last commit's install is made durable and
    // the head leaves the applying state.
    if (!deleteOnDestroy && !readOnly && file.IsOpen()) {
        try {
            ReturnToIdle();
        } catch (...) {
            // A destructor cannot report; the next open finishes the install.
        }
    }
    if (deleteOnDestroy) {
        try {
            file.Delete();
        } catch (const TamFile::FileException&) {
            // A destructor cannot report; the file simply stays.
        }
    }
    ReleaseResources();
}

void TreeCore::ReleaseResources() {
    if (viewCache) viewCache->ClearViews();
    heldPageIndexBlock = NO_PAGE;
    file.Close();
    delete viewCache;
    viewCache = nullptr;
    delete pageAddresses;
    pageAddresses = nullptr;
    delete layout;
    layout = nullptr;
    TamMem::Free(owner->recordBuffers[0]);
    TamMem::Free(owner->recordBuffers[1]);
    TamMem::Free(insertBuffer);
    owner->recordBuffers[0] = owner->recordBuffers[1] = insertBuffer = nullptr;
}

void TreeCore::Rebind(BTree& tree) {
    owner = &tree;
    layout->Rebind(&tree.keySize, &tree.valueSize);
    beginIterator = BTreeIterator(0, 1, owner);
    beginConstIterator = BTreeConstIterator(0, 1, owner);
    endIterator = BTreeIterator(NO_PAGE, 0, owner);
    endConstIterator = BTreeConstIterator(NO_PAGE, 0, owner);
}

bool TreeCore::LessHook(const void* core, const Record& a, const Record& b) {
    return static_cast<const TreeCore*>(core)->Less(a, b);
}

void TreeCore::ThrowIfReadOnly() const {
    if (readOnly) ThrowTree<BTreeReadOnlyException>(MsgReadOnly, __LINE__);
}

void TreeCore::ThrowIfCommitPending() const {
    // Changing pages that the waiting block names would corrupt the committed
    // state after a crash.
    if (commitPending)
        throw BTreeTransactionWaitingException(WithPath(
            L"The B-Tree has a pre-committed transaction waiting for Commit or Rollback."));
}

void TreeCore::ThrowIfTransactionFailed() const {
    if (transactionFailed)
        throw BTreeTransactionFailedException(
            WithPath(L"The B-Tree has changes of a data operation that failed part way; "
                     L"only Rollback can end the transaction."));
}

void TreeCore::ReadOnly(bool newReadOnly) {
    if (newReadOnly == readOnly) return;
    if (newReadOnly && file.IsOpen()) ReturnToIdle();
    ClearViews();
    if (file.IsOpen()) {
        file.Close();
        heldPageIndexBlock = NO_PAGE;
        heldPageIndexView = nullptr;
        ClearViews();
    }
    file.Open(newReadOnly ? TamFile::OpenRead : TamFile::OpenReadWrite);
    readOnly = newReadOnly;
}

TreeCore::CommitState TreeCore::GetCommitState() const {
    const BTreeInfo* info = SystemBlock();
    if (info->commitApplying) return idleOwed ? CommitIdle : CommitApplying;
    return info->commitReady ? CommitReady : CommitIdle;
}

TreeCore::Statistics TreeCore::GetStatistics() const {
    Statistics s{};
    Bracket bracket(this);
    s.records = recordCount;
    s.fileSize = file.GetSize();
    s.pageCount = pageCount;
    s.commitState = GetCommitState();
    for (const auto& block : freeList.BlocksByOffset()) s.freeBytes += block.second;
    std::uint64_t first = rootPage;
    while (first != NO_PAGE && s.height < MAX_HEIGHT) {
        const PageHeader* page = LoadPage(first);
        std::uint64_t next = NO_PAGE;
        if (!page->isLeaf) next = layout->GetChild(page, 0);
        std::uint64_t steps = 0;
        for (std::uint64_t n = first; n != NO_PAGE && steps <= pageCount; ++steps) {
            const bool cached = IsPageCached(n);
            const PageHeader* p = LoadPage(n);
            s.usedBytes += PAGE_HEADER_SIZE + p->directorySize + p->dataSize;
            const std::uint64_t following = p->nextPage;
            if (!cached) ReleasePageView(n);
            n = following;
        }
        s.pages[s.height++] = steps;
        first = next;
    }
    return s;
}

}  // namespace TamBTree
