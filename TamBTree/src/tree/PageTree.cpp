// The tree's scratch, its headroom for writes and its statistics.
#include "PageTree.h"

#include "Damage.h"

namespace TamBTree {

PageTree::PageTree(Pager& treePager, const PageLayout& pageLayout, const Geometry& treeGeometry,
                   const TreeOwner& treeOwner)
    : pager(treePager),
      layout(pageLayout),
      geometry(treeGeometry),
      owner(treeOwner),
      insertBuffer(pageLayout.Format().editable
                       ? static_cast<unsigned char*>(TamMem::Allocate(treeGeometry.pageSize))
                       : nullptr) {}

PageTree::~PageTree() {
    TamMem::Free(insertBuffer);
}

void PageTree::Reopened() {
    heightRoot = NO_PAGE;
}

void PageTree::ThrowInvalid(const std::wstring& what) const {
    TamBTree::ThrowInvalid(pager->Space().Path(), what);
}

void PageTree::ThrowTooDeep() const {
    ThrowInvalid(L"the tree is deeper than " + std::to_wstring(MAX_HEIGHT) + L" levels");
}

std::uint64_t PageTree::WritePages() const {
    // An insertion that splits every level takes, per level, the new page and
    // copies of the page and of its right neighbour, plus a new root. Writes
    // that need more (rebalancing erasures) grow the file on demand.
    // A page keeps its level for life, so the height changes only with the
    // root: it is measured again only when the root is another page.
    if (heightRoot != Root()) {
        Bracket bracket(*pager);
        std::uint64_t levels = 1;
        for (const PageHeader* page = pager->LoadPage(Root()); !page->isLeaf && levels < MAX_HEIGHT;
             ++levels)
            page = pager->LoadPage(layout.GetChild(page, 0));
        measuredHeight = levels;
        heightRoot = Root();
    }
    return 3 * measuredHeight + 1;
}

void PageTree::SecureRoomForWrite() {
    if (pager->Depth() == 0) pager->SecureHeadroom(WritePages());
}

void PageTree::AddStatistics(BTree::Statistics& s) const {
    Bracket bracket(*pager);
    const std::uint64_t pages = pager->Counts().pages;
    std::uint64_t first = Root();
    while (first != NO_PAGE && s.height < MAX_HEIGHT) {
        const PageHeader* page = pager->LoadPage(first);
        std::uint64_t next = NO_PAGE;
        if (!page->isLeaf) next = layout.GetChild(page, 0);
        std::uint64_t steps = 0;
        for (std::uint64_t n = first; n != NO_PAGE && steps <= pages; ++steps) {
            const bool cached = pager->IsPageCached(n);
            const PageHeader* p = pager->LoadPage(n);
            s.usedBytes += PAGE_HEADER_SIZE + p->directorySize + p->dataSize;
            const std::uint64_t following = p->nextPage;
            if (!cached) pager->ReleasePageView(n);
            n = following;
        }
        s.pages[s.height++] = steps;
        first = next;
    }
}

}  // namespace TamBTree
