// Deciding whether a tree file exists, creating a new one and opening an
// existing one.
#include "FileFormat.h"

#include <cstring>

#include "CFile.h"
#include "PageLayout.h"
#include "TreeCore.h"
#include "ViewCache.h"

namespace TamBTree {

namespace {

// The first bytes of the file read without mapping it; false when the file
// cannot be read.
bool ReadInfo(const std::string& path, BTreeInfo& info) {
    try {
        TamFile::CFile direct(path);
        direct.Open(TamFile::OpenRead);
        direct.Seek(0, TamFile::CFile::Begin, TamFile::CFile::Forward);
        direct.Read(&info, BTREE_INFO_SIZE, 1, true);
        direct.Close();
        return true;
    } catch (const TamFile::FileException&) {
        return false;
    }
}

}  // namespace

BTreeInfo* TreeCore::SystemBlock() const {
    return reinterpret_cast<BTreeInfo*>(file.GetView(0));
}

void TreeCore::FlushHead(std::uint32_t bytes) const {
    file.FlushView(0, bytes);
}

bool TreeCore::Exist() const {
    TamFile::Path path(file.GetPath());
    if (!path.IsFile() || path.Size() <= BTREE_INFO_SIZE) return false;
    BTreeInfo info;
    return ReadInfo(file.GetPath(), info) && info.created != 0;
}

void TreeCore::RefuseForeignFile() const {
    // Only an empty file or the remains of an interrupted creation (zeros or
    // the version word at the start) may be created over: a file that is
    // not a tree is somebody's data.
    TamFile::Path path(file.GetPath());
    if (!path.IsFile() || path.Size() == 0) return;
    unsigned char head[sizeof FILE_VERSION] = {};
    const std::uint32_t length = path.Size() < sizeof head ? static_cast<std::uint32_t>(path.Size())
                                                           : std::uint32_t(sizeof head);
    try {
        TamFile::CFile direct(file.GetPath());
        direct.Open(TamFile::OpenRead);
        direct.Read(head, length, 1, true);
    } catch (const TamFile::FileException&) {
        return;  // the create that follows reports why the file cannot be used
    }
    const std::uint32_t version = FILE_VERSION;
    const unsigned char zeros[sizeof head] = {};
    if (std::memcmp(head, zeros, length) != 0 && std::memcmp(head, &version, length) != 0)
        ThrowTree<BTreeDamagedException>(MsgInvalid, __LINE__);
}

void TreeCore::Init() {
    pageCount = 1;
    rootPage = 0;
    recordCount = 0;
    heldPageIndexBlock = NO_PAGE;
    heldPageIndexView = nullptr;
    freePageNumbers.Clear();
    freeList.ClearBlocks();
    pageIndexBlocks.Clear();
    changedPages.clear();
    checkedUnits.Clear();
    freedPages.Clear();
    ClearViews();
    commitPending = false;
    transactionFailed = false;
    heightRoot = NO_PAGE;
    idleOwed = false;
    keptBlocks.clear();
}

void TreeCore::CloseFile() const {
    ClearViews();
    heldPageIndexBlock = NO_PAGE;
    heldPageIndexView = nullptr;
    file.Close();
}

void TreeCore::OpenOrCreateFile(BTree::OpenMode mode) {
    switch (mode) {
        case BTree::CreateOnly:
            ThrowIfReadOnly();
            Create(TamFile::OpenCreateNew);
            return;
        case BTree::OpenOnly:
            Load();
            return;
        case BTree::OpenOrCreate:
            break;
    }
    if (Exist()) {
        Load();
    } else {
        RefuseForeignFile();
        Create();
    }
}

void TreeCore::Create(TamFile::OpenMode how) {
    Init();
    file.Open(how);
    if (file.GetSize() != 0) freeList.FreeBlock(file.GetSize(), 0);
    Grow();
    CreateSystemBlock();

    std::uint64_t* entry = GetStablePageOffset(0);
    *entry = NO_PAGE;
    creatingPage = 0;
    PageHeader* root = LoadPage(0);
    creatingPage = NO_PAGE;
    std::memset(root, 0, PAGE_HEADER_SIZE);
    root->pageNumber = 0;
    root->previousPage = NO_PAGE;
    root->nextPage = NO_PAGE;
    root->dataEnd = PAGE_HEADER_SIZE;
    root->isLeaf = 1;

    // A new tree has nothing to commit: the root's location goes straight
    // into the page index.
    const std::uint64_t rootOffset = changedPages.find(0)->second;
    *entry = rootOffset;
    file.FlushView(rootOffset, pageSize);
    changedPages.erase(0);
    if (file.IsViewExist(pageIndexBlocks[0]))
        file.FlushView(pageIndexBlocks[0], PAGE_INDEX_ENTRY_SIZE);

    SystemBlock()->created = 1;
    FlushHead();
    // A tree that a power loss could take back whole, name and all, was
    // never created: the directory entry is made durable before the tree is used.
    TamFile::Path(file.GetPath()).SyncDirectory();
    if (readOnly) {
        CloseFile();
        file.Open(TamFile::OpenRead);
    }
}

void TreeCore::CreateSystemBlock() {
    const std::uint64_t g = allocationGranularity;
    BTreeInfo* info = SystemBlock();
    std::memset(info, 0, BTREE_INFO_SIZE);
    info->version = FILE_VERSION;
    info->pageSize = pageSize;
    info->recordCount = 0;
    info->rootPage = 0;
    info->pageCount = 1;
    info->pendingRecordCount = 0;
    info->pendingRootPage = NO_PAGE;
    info->pendingPageCount = NO_PAGE;
    info->pageIndexBlockCount = 1;
    info->committedBlockOffset = NO_PAGE;
    info->Blocks()[0] = g;
    FlushHead(SystemBlockBytes(1));
    ClaimBlock(g, 0);
    ClaimBlock(g, g);
    pageIndexBlocks.Append(g);
}

void TreeCore::Load() {
    // A read-only open cannot finish an interrupted install: do it in a short
    // read-write open first.
    BTreeInfo info;
    if (readOnly && ReadInfo(file.GetPath(), info) && info.commitApplying) {
        readOnly = false;
        try {
            LoadFile();
        } catch (...) {
            readOnly = true;
            CloseFile();
            throw;
        }
        readOnly = true;
        CloseFile();
    }
    LoadFile();
}

void TreeCore::LoadFile() {
    Init();
    // The file must be there: loading never creates one.
    file.Open(readOnly ? TamFile::OpenRead : TamFile::OpenExisting);
    const std::uint64_t g = allocationGranularity;
    const std::uint64_t size = file.GetSize();
    // An empty file or one whose creation never finished holds no tree.
    if (size < g || SystemBlock()->created == 0)
        ThrowTree<BTreeDamagedException>(MsgInvalid, __LINE__);
    if (size != 0) freeList.FreeBlock(size, 0);
    BTreeInfo* info = SystemBlock();
    if (info->version != FILE_VERSION)
        ThrowTree<BTreeInvalidVersionException>(MsgInvalidFile, __LINE__);
    if (info->pageSize != pageSize)
        ThrowTree<BTreeInvalidPageSizeException>(MsgInvalidFile, __LINE__);
    ClaimBlock(g, 0);
    const std::uint32_t blocks = info->pageIndexBlockCount;
    if (blocks == 0 || blocks > MAX_PAGE_INDEX_BLOCKS) ThrowInvalid(L"bad page-index block count");
    for (std::uint32_t i = 0; i < blocks; ++i) {
        const std::uint64_t offset = info->Blocks()[i];
        if (!GranuleInFile(offset, size)) ThrowInvalid(L"page-index block outside the file");
        pageIndexBlocks.Append(offset);
        ClaimBlock(g, offset);
    }
    if (info->commitApplying) {
        FinishInterruptedCommit();
        return;
    }
    TakeCommittedCounts(info);
    LoadPageIndexBlock(info);
    if (info->commitReady) {
        LoadPageInfoCommittedBlock(info);
        commitPending = true;
    }
}

void TreeCore::TakeCommittedCounts(const BTreeInfo* info) {
    if (info->pageCount >
            static_cast<std::uint64_t>(pageIndexBlocks.Size()) * pageIndexEntriesPerBlock ||
        info->rootPage >= info->pageCount)
        ThrowInvalid(L"bad page count or root page");
    recordCount = info->recordCount;
    rootPage = info->rootPage;
    pageCount = info->pageCount;
}

std::wstring TreeCore::WithPath(const std::wstring& text) const {
    return text + L" (" + Tam::FromMultiByte(file.GetPath()) + L")";
}

void TreeCore::ThrowInvalid(const std::wstring& what) const {
    throw BTreeDamagedException(WithPath(L"The B-Tree is invalid. " + what));
}

}  // namespace TamBTree
