// The compacting copy as the core runs it: a new tree file with the source's
// layout and order, filled by the tree layer from the last commit, then
// committed, brought to rest and trimmed.
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

}  // namespace

void TreeCore::CopyTo(const std::string& copyPath) const {
    // An install that failed part way leaves the index on disk half done.
    txn.ThrowIfInterrupted();
    Bracket bracket(pager);
    // The tree creates itself over the empty file.
    const TamFile::Path target(copyPath);
    target.CreateExclusive();
    try {
        CopyTarget copy(copyPath, *this, geometry, owner.KeySize(), owner.ValueSize());
        TreeCore& core = *static_cast<BTree&>(copy).core;
        // The last commit may not be in the page index yet (Normal, Deferred).
        BTreeInfo head = txn.LastCommitHead();
        const TreeCounts& committed = pager.CommittedCounts();
        head.recordCount = committed.records;
        head.rootPage = committed.root;
        head.pageCount = committed.pages;
        core.tree.CopyCommitted(pager, layout, head);
        core.CommitNow();
        core.txn.ReturnToIdle();
        // The free space at the end of the file goes back to the disk; the
        // next write grows the file again.
        core.pager.ClearViews();
        core.pager.Space().TrimFreeTail();
        target.SyncDirectory();
    } catch (...) {
        target.Remove();
        throw;
    }
}

}  // namespace TamBTree
