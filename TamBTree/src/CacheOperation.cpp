// The operation bracket. An outermost write first makes room (page-index
// room and file room); when an outermost operation ends, at most one least recently used view is
// unmapped, so no page address taken inside an operation goes stale.
#include "CacheOperation.h"

#include "FileFormat.h"
#include "PageLayout.h"
#include "TreeCore.h"
#include "ViewCache.h"

namespace TamBTree {

void TreeCore::TrimViews() const {
    if (viewCache->Count() > maxCachedViews) ReleaseLeastRecentView();
}

std::uint64_t TreeCore::WritePages() const {
    // An insertion that splits every level takes, per level, the new page and
    // copies of the page and of its right neighbour, plus a new root. Writes
    // that need more (rebalancing erasures) grow the file on demand.
    // A page keeps its level for life, so the height changes only with the
    // root: it is measured again only when the root is another page.
    if (heightRoot != rootPage) {
        Bracket bracket(this);
        std::uint64_t levels = 1;
        for (const PageHeader* page = LoadPage(rootPage); !page->isLeaf && levels < MAX_HEIGHT;
             ++levels)
            page = LoadPage(layout->GetChild(page, 0));
        measuredHeight = levels;
        heightRoot = rootPage;
    }
    return 3 * measuredHeight + 1;
}

void TreeCore::MakeRoom() const {
    // No page can be created on a read-only tree or while a pre-committed
    // transaction waits, and growing would write to the file.
    if (readOnly || commitPending || !file.IsOpen()) return;
    const std::uint64_t need = WritePages();
    const std::uint64_t e = pageIndexEntriesPerBlock;
    if (pageCount + need >= static_cast<std::uint64_t>(pageIndexBlocks.Size()) * e)
        AddPageIndexBlock();
    // Every page created or relocated takes its space from the free-block
    // list, so its free bytes are the headroom: each page counted once.
    if (freeList.GetFreeBytes() / pageSize < need) Grow();
}

void TreeCore::PrepareWrite() const {
    if (depth == 0) MakeRoom();
}

void TreeCore::ClearViews() const {
    if (viewCache) viewCache->ClearViews();
}

void TreeCore::ReleaseLeastRecentView() const {
    std::uint64_t offset;
    if (viewCache->EraseLeastRecent(offset) && file.IsViewExist(offset)) file.ReleaseView(offset);
}

}  // namespace TamBTree
