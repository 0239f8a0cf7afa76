// Opening a tree file: deciding whether one exists, creating a new one,
// loading an existing one, and the recovery of a commit that a crash
// interrupted, which every read-write open finishes first.
#include <cstring>

#include "CFile.h"
#include "Damage.h"
#include "TreeCore.h"

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

bool TreeCore::Exist() const {
    TamFile::Path file(path);
    if (!file.IsFile() || file.Size() <= BTREE_INFO_SIZE) return false;
    BTreeInfo info;
    return ReadInfo(path, info) && info.created != 0;
}

void TreeCore::RefuseForeignFile() const {
    // Only an empty file or the remains of an interrupted creation (zeros or
    // the version word at the start) may be created over: a file that is
    // not a tree is somebody's data.
    TamFile::Path file(path);
    if (!file.IsFile() || file.Size() == 0) return;
    unsigned char head[sizeof FILE_VERSION] = {};
    const std::uint32_t length = file.Size() < sizeof head ? static_cast<std::uint32_t>(file.Size())
                                                           : std::uint32_t(sizeof head);
    try {
        TamFile::CFile direct(path);
        direct.Open(TamFile::OpenRead);
        direct.Read(head, length, 1, true);
    } catch (const TamFile::FileException&) {
        return;  // the create that follows reports why the file cannot be used
    }
    const std::uint32_t version = FILE_VERSION;
    const unsigned char zeros[sizeof head] = {};
    if (std::memcmp(head, zeros, length) != 0 && std::memcmp(head, &version, length) != 0)
        ThrowMessage<BTreeDamagedException>(MsgInvalid, __LINE__, path);
}

void TreeCore::Reset() {
    pager.Reset();
    txn.Opened(BTreeInfo{});
    tree.Reopened();
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
    Reset();
    FileSpace& space = pager.Space();
    space.File().Open(how);
    if (space.Size() != 0) space.Free(space.Size(), 0);
    pager.FormatNewFile();
    pager.Head()->created = 1;
    pager.FlushHead();
    // A tree that a power loss could take back whole, name and all, was
    // never created: the directory entry is made durable before the tree is used.
    TamFile::Path(path).SyncDirectory();
    if (space.ReadOnly()) {
        pager.CloseFile();
        space.File().Open(TamFile::OpenRead);
    }
    pager.ForgetRetained();
    pager.Publish();
}

void TreeCore::Load() {
    // A read-only open cannot finish an interrupted install: do it in a short
    // read-write open first.
    FileSpace& space = pager.Space();
    BTreeInfo info;
    if (space.ReadOnly() && ReadInfo(path, info) && info.commitApplying) {
        space.SetReadOnly(false);
        try {
            LoadFile();
        } catch (...) {
            space.SetReadOnly(true);
            pager.CloseFile();
            throw;
        }
        space.SetReadOnly(true);
        pager.CloseFile();
    }
    LoadFile();
}

void TreeCore::LoadFile() {
    Reset();
    FileSpace& space = pager.Space();
    // The file must be there: loading never creates one.
    space.File().Open(space.ReadOnly() ? TamFile::OpenRead : TamFile::OpenExisting);
    const std::uint64_t g = space.Granule();
    const std::uint64_t size = space.Size();
    // An empty file or one whose creation never finished holds no tree.
    if (size < g || pager.Head()->created == 0)
        ThrowMessage<BTreeDamagedException>(MsgInvalid, __LINE__, path);
    if (size != 0) space.Free(size, 0);
    const BTreeInfo* info = pager.Head();
    if (info->version != FILE_VERSION)
        ThrowMessage<BTreeInvalidVersionException>(MsgInvalidFile, __LINE__, path);
    if (info->pageSize != geometry.pageSize)
        ThrowMessage<BTreeInvalidPageSizeException>(MsgInvalidFile, __LINE__, path);
    space.Claim(g, 0);
    pager.LoadIndexBlockList();
    txn.Opened(*info);
    if (info->commitApplying) {
        txn.FinishInterruptedCommit();
    } else {
        pager.LoadPageIndex(*info);
        if (info->commitReady) txn.ReserveWaitingBlock();
    }
    // A rollback reads the file anew while snapshots may live.
    pager.ReclaimRetained();
    pager.Publish();
}

}  // namespace TamBTree
