// The compacting copy as the core runs it: a new tree file with the source's
// layout and order, filled by the tree layer from the last commit, then
// committed, brought to rest and trimmed.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "TreeCore.h"

namespace TamBTree {

namespace {

// The copy's view cache: enough to keep the open pages of every level mapped.
constexpr std::uint32_t COPY_CACHE_BYTES = 16 * 65536;

// The new tree: the source's layout and order.
class CopyTarget : public BTree {
public:
    CopyTarget(const std::string& path, const TreeCore& from, const Geometry& geometry,
               std::uint32_t keys, std::uint32_t values)
        : BTree(path, geometry.allowDuplicates, geometry.fixedKeySize, geometry.hasValue,
                geometry.fixedValueSize, geometry.pageSize, COPY_CACHE_BYTES, false, false),
          source(from) {
        keySize = keys;
        valueSize = values;
    }

protected:
    bool Less(const Record& a, const Record& b) const override { return source.Less(a, b); }

private:
    const TreeCore& source;
};

// Creates the target file, failing when anything is at the path already; the
// tree then creates itself over the empty file.
void CreateExclusive(const std::string& path) {
    const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) throw TamFile::FileException(TamFile::ActionOpenWrite, path, errno);
    ::close(fd);
}

}  // namespace

void TreeCore::CopyTo(const std::string& copyPath) const {
    // An install that failed part way leaves the index on disk half done.
    txn.ThrowIfInterrupted();
    Bracket bracket(pager);
    CreateExclusive(copyPath);
    try {
        CopyTarget copy(copyPath, *this, geometry, owner.KeySize(), owner.ValueSize());
        TreeCore& target = *static_cast<BTree&>(copy).core;
        target.tree.CopyCommitted(pager, layout, txn.LastCommitHead());
        target.CommitNow();
        target.txn.ReturnToIdle();
        // The free space at the end of the file goes back to the disk; the
        // next write grows the file again.
        target.pager.ClearViews();
        target.pager.Space().TrimFreeTail();
        TamFile::Path(copyPath).SyncDirectory();
    } catch (...) {
        ::unlink(copyPath.c_str());
        throw;
    }
}

}  // namespace TamBTree
