// Opening a tree file: deciding whether one exists, creating a new one,
// loading an existing one, and the recovery of a commit that a crash
// interrupted, which every read-write open finishes first.
#include <cstring>

#include "CFile.h"
#include "Damage.h"
#include "TreeCore.h"
#include "readers/SharedReader.h"
#include "readers/SharedWriter.h"

namespace TamBTree {

namespace {

// The first bytes of the file read without mapping it (and without a lock: a
// writer may have it); false when the file cannot be read.
bool ReadInfo(const std::string& path, BTreeInfo& info) {
    try {
        TamFile::CFile direct(path);
        direct.Open(TamFile::OpenReadShared);
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
            if (!ReadOnly() || !ReadBesideWriter()) Load();
            return;
        case BTree::OpenOrCreate:
            break;
    }
    if (Exist()) {
        if (!ReadOnly() || !ReadBesideWriter()) Load();
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
    pager.ForgetRetained();
    pager.Publish();
    if (space.ReadOnly()) {
        pager.CloseFile();
        if (!ReadBesideWriter()) space.File().Open(TamFile::OpenRead);
    } else if (!pager.Shared()) {
        ShareWrites(SharedWriter::Open(path, pager.Space().File(), geometry.pageSize));
    }
}

void TreeCore::Load() {
    // A writer shares its file with readers in other processes: its images
    // are numbered after every one they may still pin.
    std::unique_ptr<SharedWriter> shared;
    if (!ReadOnly() && !pager.Shared()) {
        std::uint64_t device, inode;
        if (TamFile::FileIdentity(path, device, inode))
            shared = SharedWriter::Open(path, device, inode, geometry.pageSize);
        if (shared) pager.StartSequence(shared->FirstSequence());
    }
    LoadTree(pager, txn, geometry, path, TamFile::OpenRead);
    tree.Reopened();
    if (shared) ShareWrites(std::move(shared));
}

void TreeCore::LoadFile() {
    LoadTreeFile(pager, txn, geometry, path, TamFile::OpenRead);
    tree.Reopened();
}

void TreeCore::ShareWrites(std::unique_ptr<SharedWriter> shared) {
    // The path may have named another file when the table was opened.
    std::uint64_t device, inode;
    if (!shared || !pager.Space().File().Identity(device, inode) || !shared->Serves(device, inode))
        return;
    // Readers may pin images of an earlier writer numbered above this
    // tree's: its images are numbered after them.
    const std::shared_ptr<const CommittedImage>& published = pager.Published();
    if (published && published->Sequence() < shared->FirstSequence()) {
        pager.StartSequence(shared->FirstSequence());
        pager.Publish();
    }
    // The free space that readers of an earlier writer may still read is
    // kept from reuse, all but the region of a waiting block, which its
    // Commit takes.
    std::uint64_t offset = 0, size = 0;
    const bool waiting = txn.FreeWaitingBlock(offset, size);
    if (waiting) pager.Space().Claim(size, offset);
    pager.ShareWith(std::move(shared));
    if (waiting) pager.Space().Free(size, offset);
}

bool TreeCore::ReadBesideWriter() {
    const PageFormat format = layout.Format();
    const std::uint32_t views = pager.MaxCachedViews();
    const Geometry shape = geometry;
    // Reads the file itself, as recovery would leave it, when no writer has
    // it: a pager of its own, so that any thread may load.
    SharedReader::Loader load = [format, views, shape](const std::string& file,
                                                       std::uint64_t sequence) {
        PageFormat pages = format;
        pages.path = &file;
        pages.editable = false;
        PageLayout loadLayout(pages);
        Pager loading(file, loadLayout, views, true);
        Committer loadTxn(loading);
        loading.StartSequence(sequence);
        LoadTree(loading, loadTxn, shape, file, TamFile::OpenReadShared);
        return loading.Published();
    };
    std::shared_ptr<SharedReader> reader =
        SharedReader::Open(path, geometry.pageSize, std::move(load));
    if (!reader) return false;
    pager.ReadBeside(reader);
    try {
        pager.AttachImage(SnapshotPin(reader));
    } catch (...) {
        pager.ReadBeside(nullptr);
        throw;
    }
    tree.Reopened();
    return true;
}

void LoadTree(Pager& pager, Committer& txn, const Geometry& geometry, const std::string& path,
              TamFile::OpenMode readMode) {
    // A read-only open beside a writer reads an interrupted install in
    // memory; an open that locks the file finishes it in a short read-write
    // open first.
    FileSpace& space = pager.Space();
    BTreeInfo info;
    if (space.ReadOnly() && readMode == TamFile::OpenRead && ReadInfo(path, info) &&
        info.commitApplying) {
        space.SetReadOnly(false);
        try {
            LoadTreeFile(pager, txn, geometry, path, readMode);
        } catch (...) {
            space.SetReadOnly(true);
            pager.CloseFile();
            throw;
        }
        space.SetReadOnly(true);
        pager.CloseFile();
    }
    LoadTreeFile(pager, txn, geometry, path, readMode);
}

void LoadTreeFile(Pager& pager, Committer& txn, const Geometry& geometry, const std::string& path,
                  TamFile::OpenMode readMode) {
    pager.Reset();
    txn.Opened(BTreeInfo{});
    FileSpace& space = pager.Space();
    // The file must be there: loading never creates one.
    space.File().Open(space.ReadOnly() ? readMode : TamFile::OpenExisting);
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
    if (info->commitApplying && space.ReadOnly()) {
        txn.ReadInterruptedCommit();
    } else if (info->commitApplying) {
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
