// The core: construction, the states in which each operation may run, and the
// operations that join several layers.
#include "TreeCore.h"

#include "Damage.h"
#include "readers/SharedReader.h"
#include "readers/SharedWriter.h"

namespace TamBTree {

std::uint32_t TreeCore::ChosenPageSize(std::uint32_t requested, const std::string& path) {
    const std::uint32_t g = TamFile::GetAllocationGranularity();
    // A request of 0 or above the granularity yields no page size at all.
    if (requested == 0 || requested > g) ThrowMessage<BTreeException>(MsgInvalid, __LINE__, path);
    const std::uint32_t pageSize = g / (g / requested);
    // The format is laid out in granules of GRANULE_SIZE and pages of PAGE_SIZE.
    if (pageSize != PAGE_SIZE || g != GRANULE_SIZE)
        ThrowMessage<BTreeException>(MsgInvalid, __LINE__, path);
    return pageSize;
}

namespace {
std::uint32_t CachedViews(std::uint32_t cacheSize) {
    const std::uint32_t g = TamFile::GetAllocationGranularity();
    return cacheSize / g == 0 ? 1 : cacheSize / g;
}
}  // namespace

TreeCore::TreeCore(BTree& object, const std::string& treePath, bool duplicates, bool fixedKeys,
                   bool withValues, bool fixedValues, std::uint32_t requestedPageSize,
                   std::uint32_t cacheSize, bool openReadOnly, bool deleteFile,
                   BTree::OpenMode mode)
    : path(treePath),
      geometry(Geometry::Of(ChosenPageSize(requestedPageSize, treePath), duplicates, fixedKeys,
                            withValues, fixedValues)),
      deleteOnDestroy(deleteFile),
      layout(PageFormat{geometry.pageSize, fixedKeys, withValues, fixedValues, &owner,
                        &TreeCore::LessHook, this, &path}),
      pager(treePath, layout, CachedViews(cacheSize), openReadOnly),
      txn(pager),
      tree(pager, layout, geometry, owner) {
    Rebind(object);
    try {
        AllocateRecordBuffers();
        OpenOrCreateFile(mode);
    } catch (...) {
        FreeRecordBuffers();
        throw;
    }
}

TreeCore::TreeCore(BTree& object, const TreeCore& source)
    : path(source.path),
      geometry(source.geometry),
      deleteOnDestroy(false),
      layout(PageFormat{geometry.pageSize, geometry.fixedKeySize, geometry.hasValue,
                        geometry.fixedValueSize, &owner, &TreeCore::LessHook, this, &path, false}),
      pager(path, layout, source.pager.MaxCachedViews(), SnapshotPin(source.pager.Source())),
      txn(pager),
      tree(pager, layout, geometry, owner) {
    Rebind(object);
    try {
        AllocateRecordBuffers();
    } catch (...) {
        FreeRecordBuffers();
        throw;
    }
}

void TreeCore::AllocateRecordBuffers() {
    BTree* object = owner.Tree();
    object->recordBuffers[0] = static_cast<unsigned char*>(TamMem::Allocate(geometry.pageSize / 5));
    object->recordBuffers[1] = static_cast<unsigned char*>(TamMem::Allocate(geometry.pageSize / 5));
}

TreeCore::~TreeCore() {
    FileSpace& space = pager.Space();
    // Snapshots that outlive the tree keep the file locked, so that no other
    // open changes the pages they read.
    pager.KeepFileForSnapshots();
    // A file at rest is idle: the last commit's install is made durable and
    // the head leaves the applying state.
    if (!deleteOnDestroy && !space.ReadOnly() && space.File().IsOpen()) {
        bool atRest = false;
        try {
            txn.ReturnToIdle();
            atRest = true;
        } catch (...) {
            // A destructor cannot report; the next open finishes the install.
        }
        StopSharing(atRest);
    }
    StopSharing(false);
    if (deleteOnDestroy) {
        try {
            space.File().Delete();
        } catch (const TamFile::FileException&) {
            // A destructor cannot report; the file simply stays.
        }
    }
    FreeRecordBuffers();
}

void TreeCore::FreeRecordBuffers() {
    BTree* object = owner.Tree();
    TamMem::Free(object->recordBuffers[0]);
    TamMem::Free(object->recordBuffers[1]);
    object->recordBuffers[0] = object->recordBuffers[1] = nullptr;
}

void TreeCore::Rebind(BTree& object) {
    owner.Bind(&object, &object.keySize, &object.valueSize);
}

bool TreeCore::LessHook(const void* core, const Record& a, const Record& b) {
    return static_cast<const TreeCore*>(core)->Less(a, b);
}

void TreeCore::ThrowIfReadOnly() const {
    if (ReadOnly()) ThrowMessage<BTreeReadOnlyException>(MsgReadOnly, __LINE__, path);
}

void TreeCore::ReadOnly(bool newReadOnly) {
    FileSpace& space = pager.Space();
    if (newReadOnly == space.ReadOnly()) return;
    if (!newReadOnly && pager.ReadsBeside()) {
        BecomeWriter();
        return;
    }
    if (newReadOnly && space.File().IsOpen()) txn.ReturnToIdle();
    if (newReadOnly) StopSharing(true);
    pager.ClearViews();
    if (space.File().IsOpen()) pager.CloseFile();
    space.SetReadOnly(newReadOnly);
    // A tree made read-only keeps its open transaction in view, and with it
    // the file to itself: a writer elsewhere is refused until it writes again.
    space.File().Open(newReadOnly ? TamFile::OpenRead : TamFile::OpenReadWrite);
    if (!newReadOnly) ShareWrites(SharedWriter::Open(path, space.File(), geometry.pageSize));
}

void TreeCore::BecomeWriter() {
    // The tree read images beside a writer; it now loads the file as its
    // writer (refused, as any second writer is, while another one lives).
    FileSpace& space = pager.Space();
    pager.ReadBeside(nullptr);
    space.SetReadOnly(false);
    try {
        Load();
    } catch (...) {
        pager.CloseFile();
        space.SetReadOnly(true);
        ReadBesideWriter();
        throw;
    }
}

void TreeCore::StopSharing(bool atRest) {
    pager.StopSharing(atRest);
}

void TreeCore::ValidateBeside() {
    // The file's space is its writer's to check: with one, a reader checks
    // the tree of the image it reads.
    auto reader = std::static_pointer_cast<SharedReader>(pager.Source());
    const std::unique_ptr<TamFile::SharedFile> hold = reader->HoldWithoutWriter();
    if (!hold) {
        tree.Validate();
        return;
    }
    // With none, and none able to start, the file itself is checked whole;
    // the tree then reads the image it read before.
    SnapshotPin before = pager.DetachImage();
    const auto restore = [&] {
        pager.CloseFile();
        pager.AttachImage(std::move(before));
        tree.Reopened();
    };
    try {
        LoadTree(pager, txn, geometry, path, TamFile::OpenReadShared);
        tree.Reopened();
        // A commit left applying claims its space once a writer finishes it.
        if (!pager.Head()->commitApplying) txn.ValidateSpace();
        tree.Validate();
    } catch (...) {
        restore();
        throw;
    }
    restore();
}

BTree::CommitState TreeCore::GetCommitState() const {
    if (!pager.ReadsBeside()) return txn.State().Reported();
    // A block the file's head names as waiting is the writer's open
    // transaction; one being applied is a commit that has happened.
    const BTreeInfo* head = pager.Head();
    return head->commitReady && !head->commitApplying ? BTree::CommitReady : BTree::CommitIdle;
}

std::vector<BTree::Reader> TreeCore::Readers() const {
    if (pager.Shared()) return pager.Shared()->Readers();
    if (pager.ReadsBeside())
        return std::static_pointer_cast<SharedReader>(pager.Source())->Readers();
    return {};
}

void TreeCore::CommitNow() {
    ThrowIfReadOnly();
    txn.CommitNow();
}

void TreeCore::SetDurability(Durability mode, std::uint32_t syncEvery, std::uint64_t syncBytes) {
    // A read-only tree has no commit to sync; the mode holds once it writes.
    txn.SetDurability(mode, syncEvery, syncBytes);
}

void TreeCore::Sync() {
    if (!ReadOnly()) txn.Sync();
}

void TreeCore::PreCommit() {
    if (ReadOnly()) return;
    txn.PreCommit();
}

void TreeCore::Commit() {
    ThrowIfReadOnly();
    txn.Commit();
}

void TreeCore::Rollback() {
    // A tree read beside a writer moves on to its last commit.
    if (pager.ReadsBeside()) {
        pager.AttachImage(SnapshotPin(pager.Source()));
        tree.Reopened();
        return;
    }
    if (ReadOnly()) return;
    if (pager.Space().File().IsOpen()) txn.DropUncommitted();
    pager.CloseFile();
    Load();
}

void TreeCore::ValidateTree() {
    if (pager.ReadsBeside()) {
        ValidateBeside();
        return;
    }
    txn.ValidateSpace();
    tree.Validate();
}

BTree::Statistics TreeCore::GetStatistics() const {
    BTree::Statistics s{};
    Bracket bracket(pager);
    s.records = pager.Counts().records;
    s.fileSize = pager.FileSize();
    s.pageCount = pager.Counts().pages;
    s.commitState = GetCommitState();
    s.snapshots = pager.LiveSnapshots();
    s.snapshotBytes = pager.SnapshotBytes();
    for (const auto& block : pager.Space().FreeList().BlocksByOffset()) s.freeBytes += block.second;
    tree.AddStatistics(s);
    return s;
}

std::pair<BTreeIterator, bool> TreeCore::Insert(const Record& r) {
    ThrowIfReadOnly();
    tree.CheckRecordSizes(r);
    txn.ThrowIfWaiting();
    ChangeGuard guard(*this);
    return tree.Insert(r);
}

std::pair<BTreeIterator, bool> TreeCore::InsertOrAssign(const Record& r) {
    ThrowIfReadOnly();
    tree.CheckRecordSizes(r);
    txn.ThrowIfWaiting();
    ChangeGuard guard(*this);
    return tree.InsertOrAssign(r);
}

bool TreeCore::Erase(const BTreeIterator& it, bool& nextValid, BTreeIterator& next) {
    nextValid = false;
    next = owner.End();
    ThrowIfReadOnly();
    txn.ThrowIfWaiting();
    ChangeGuard guard(*this);
    return tree.Erase(it, nextValid, next);
}

std::uint32_t TreeCore::Erase(const Record& r) {
    ThrowIfReadOnly();
    txn.ThrowIfWaiting();
    ChangeGuard guard(*this);
    return tree.Erase(r);
}

BTreeIterator TreeCore::Update(const BTreeIterator& it, const Record& r) {
    ThrowIfReadOnly();
    tree.CheckRecordSizes(r);
    txn.ThrowIfWaiting();
    ChangeGuard guard(*this);
    return tree.Update(it, r);
}

void TreeCore::Clear() {
    ThrowIfReadOnly();
    // Clearing writes a new file over the pages that snapshots read.
    if (pager.LiveSnapshots() != 0 || (pager.Shared() && !pager.Shared()->Withdraw()))
        throw BTreeException(
            WithPath(path, L"The tree cannot be cleared while snapshots of it are live."));
    pager.CloseFile();
    Create();
}

}  // namespace TamBTree
