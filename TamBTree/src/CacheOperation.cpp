// The operation bracket. An outermost operation first makes room (page-index
// room and file room); when it ends, at most one least recently used view is
// unmapped, so no page address taken inside an operation goes stale.
#include "CacheOperation.h"

#include "BTree.h"
#include "FileFormat.h"
#include "ViewCache.h"

namespace TamBTree {

void BTree::TrimViews() const {
    if (viewCache->Count() > maxCachedViews) ReleaseLeastRecentView();
}

void BTree::MakeRoom() const {
    // No page can be created on a read-only tree or while a pre-committed
    // transaction waits, and growing would write to the file.
    if (readOnly || commitPending || !file.IsOpen()) return;
    const std::uint64_t e = pageIndexEntriesPerBlock;
    if (pageCount + HEADROOM_PAGES >= static_cast<std::uint64_t>(pageIndexBlocks.Size()) * e)
        AddPageIndexBlock();
    const std::int64_t indexSpace =
        static_cast<std::int64_t>((pageCount / e + 1) * allocationGranularity);
    const std::int64_t room = static_cast<std::int64_t>(file.GetSize()) - indexSpace;
    std::int64_t h = -1;
    if (room >= 0)
        h = room / pageSize + static_cast<std::int64_t>(freePageNumbers.Size()) -
            static_cast<std::int64_t>(changedPages.size()) - static_cast<std::int64_t>(pageCount);
    if (h < static_cast<std::int64_t>(HEADROOM_PAGES)) Grow();
}

void BTree::ClearViews() const {
    if (viewCache) viewCache->ClearViews();
}

void BTree::ReleaseLeastRecentView() const {
    std::uint64_t offset;
    if (viewCache->EraseLeastRecent(offset) && file.IsViewExist(offset)) file.ReleaseView(offset);
}

}  // namespace TamBTree
