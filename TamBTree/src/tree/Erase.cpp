// Erasure with rebalancing. A non-root page whose free space rises above half
// a page borrows one entry from a neighbour under the same parent, or is
// merged with it; the left page always survives a merge, so page 0 stays the
// leftmost leaf and is never freed.
#include "PageLayout.h"
#include "PageTree.h"

namespace TamBTree {

namespace {

std::uint32_t UsedBytes(const PageHeader* page) {
    return page->directorySize + page->dataSize;
}
}  // namespace

bool PageTree::Erase(const BTreeIterator& it, bool& nextValid, BTreeIterator& next) {
    nextValid = false;
    next = owner.End();
    SecureRoomForWrite();
    Bracket bracket(*pager);
    const std::uint64_t p = it.GetCurrentPage();
    const std::uint32_t index = it.GetCurrentRecord();
    PageHeader* page = pager->LoadPageForUpdate(p);
    if (!page->isLeaf || index == 0 || index > page->count)
        ThrowInvalid(L"the iterator does not designate a record");
    layout.DeleteRecord(page, index);
    pager->RemoveRecord();
    if (p != Root() && layout.GetPageFreeSpace(page) > geometry.underflowThreshold) {
        FastVector<std::uint64_t> path;
        GetPath(page, path);
        BalanceSubTree(page, path);
        return true;
    }
    nextValid = true;
    if (index <= page->count)
        next = BTreeIterator(p, index, owner.Tree());
    else if (page->nextPage != NO_PAGE)
        next = BTreeIterator(page->nextPage, 1, owner.Tree());
    return true;
}

std::uint32_t PageTree::Erase(const Record& r) {
    SecureRoomForWrite();
    Bracket bracket(*pager);
    // The record may point into a page that the erasure changes. A record too
    // large for the tree's buffer gets one of its own.
    const std::uint64_t bytes =
        static_cast<std::uint64_t>(r.keyLength) + (r.value ? r.valueLength : 0);
    TamMem::Buffer large(bytes > geometry.pageSize / 2 ? bytes : 0);
    const Record record =
        CopyAside(r, large.Get() ? large.Get() : insertBuffer + geometry.pageSize / 2);
    std::uint32_t n = 0;
    bool nextValid;
    BTreeIterator next;
    // Rebalancing may move records, so search again after every erasure;
    // without duplicates there is nothing more to find after the first.
    for (BTreeIterator it = Find(record); !it.IsEnd(); it = Find(record)) {
        Erase(it, nextValid, next);
        ++n;
        if (!geometry.allowDuplicates) break;
    }
    return n;
}

void PageTree::GetPath(PageHeader* const page, FastVector<std::uint64_t>& path) {
    Bracket bracket(*pager);
    const std::uint32_t probeIndex = page->count / 2 > 0 ? page->count / 2 : 1;
    Record probe = layout.GetRecord(page, probeIndex);
    if (!page->isLeaf) {
        probe.value = nullptr;
        probe.valueLength = 0;
    }
    // Height of the page above the leaves.
    std::uint32_t height = 0;
    for (const PageHeader* p = page; !p->isLeaf; ++height) {
        if (height == MAX_HEIGHT) ThrowTooDeep();
        p = pager->LoadPage(layout.GetChild(p, 0));
    }
    // Descend to the page's level, keeping the ancestors.
    FastVector<std::uint64_t> descent;
    std::uint64_t cur = Root();
    const PageHeader* curPage = pager->LoadPage(cur);
    while (!curPage->isLeaf && cur != page->pageNumber) {
        if (descent.Size() == MAX_HEIGHT) ThrowTooDeep();
        descent.Append(cur);
        cur = layout.GetChild(curPage, layout.FindLargestRecord(curPage, probe));
        curPage = pager->LoadPage(cur);
    }
    if (cur != page->pageNumber) {
        // With duplicates, separators equal to the probe can lead the descent
        // left of the page: take the crossing at the page's level and walk
        // right from there.
        if (descent.Size() < height) ThrowInvalid(L"a page lies outside the tree");
        const std::uint32_t level = descent.Size() - height;
        cur = level < descent.Size() ? descent[level] : cur;
        while (descent.Size() > level) descent.RemoveLast();
        WalkRightTo(page->pageNumber, cur, descent);
    }
    for (std::uint64_t n : descent) path.Append(n);
}

void PageTree::WalkRightTo(std::uint64_t target, std::uint64_t cur,
                           FastVector<std::uint64_t>& path) {
    for (std::uint64_t steps = 0; cur != target; ++steps) {
        if (steps > pager->Counts().pages || cur == NO_PAGE)
            ThrowInvalid(L"a page lies outside the tree");
        // Carry: an ancestor whose last child is being left is replaced by its
        // right neighbour, and so on upward.
        std::uint64_t child = cur;
        for (std::uint32_t k = path.Size(); k-- > 0;) {
            const PageHeader* ancestor = pager->LoadPage(path[k]);
            if (layout.GetChild(ancestor, ancestor->count) != child) break;
            child = path[k];
            path[k] = ancestor->nextPage;
        }
        cur = pager->LoadPage(cur)->nextPage;
    }
}

std::uint32_t PageTree::SeparatorNeed(const PageHeader* parent, std::uint32_t k) const {
    std::uint32_t offset;
    std::uint32_t size = 0;
    layout.GetKeyInfo(parent, k, offset, size);
    return size + 4 + (owner.KeySize() == 0 ? 4 : 0);
}

std::uint32_t PageTree::KeyLength(const PageHeader* page, std::uint32_t k) const {
    std::uint32_t offset;
    std::uint32_t size = 0;
    layout.GetKeyInfo(page, k, offset, size);
    return size;
}

void PageTree::BalanceSubTree(PageHeader* const page, FastVector<std::uint64_t>& path) {
    const std::uint64_t q = path.Last();
    const PageHeader* parent = pager->LoadPage(q);
    const std::uint32_t pos = layout.GetChildrenNumber(parent, page->pageNumber);
    const bool internal = !page->isLeaf;
    // The neighbours under the same parent must be the page's links: a merge
    // with any other page (itself, in a damaged file) would tear records.
    if ((pos > 0 && page->previousPage != layout.GetChild(parent, pos - 1)) ||
        (pos < parent->count && page->nextPage != layout.GetChild(parent, pos + 1)) ||
        layout.GetChild(parent, pos) != page->pageNumber)
        ThrowInvalid(L"page " + std::to_wstring(page->pageNumber) +
                     L" is not linked to its neighbours under its parent");
    const PageHeader* left = pos > 0 ? pager->LoadPage(page->previousPage) : nullptr;
    const PageHeader* right = pos < parent->count ? pager->LoadPage(page->nextPage) : nullptr;
    // The leftmost child has no separator on its left: slot 0 is not a key.
    const std::uint32_t needL =
        UsedBytes(page) + (internal && pos > 0 ? SeparatorNeed(parent, pos) : 0);
    const std::uint32_t needR =
        right ? UsedBytes(right) + (internal ? SeparatorNeed(parent, pos + 1) : 0) : 0;
    const std::uint32_t parentFree = layout.GetPageFreeSpace(parent);

    if (left && layout.GetPageFreeSpace(left) < needL && left->count >= 3) {
        const std::uint32_t lend = internal ? left->count : left->count - 1;
        if (KeyLength(parent, pos) + parentFree >= KeyLength(left, lend))
            BorrowFromLeft(page, q, pos);
        else
            SplitParentAndRetry(page, path);
        return;
    }
    if (right && layout.GetPageFreeSpace(page) < needR && right->count >= 3) {
        if (KeyLength(parent, pos + 1) + parentFree >= KeyLength(right, 1))
            BorrowFromRight(page, q, pos);
        else
            SplitParentAndRetry(page, path);
        return;
    }
    if (left && layout.GetPageFreeSpace(left) >= needL) {
        MergePage(page, pager->LoadPageForUpdate(page->previousPage), path);
        return;
    }
    if (right && layout.GetPageFreeSpace(page) >= needR)
        MergePage(pager->LoadPageForUpdate(page->nextPage), page, path);
}

void PageTree::BorrowFromLeft(PageHeader* page, std::uint64_t q, std::uint32_t pos) {
    PageHeader* left = pager->LoadPageForUpdate(page->previousPage);
    PageHeader* parent = pager->LoadPageForUpdate(q);
    if (page->isLeaf) {
        layout.InsertRecord(left, left->count, page, 1);
        layout.DeleteRecord(left, left->count);
        layout.ReplaceKey(left, left->count, parent, pos);
        return;
    }
    layout.InsertKey(parent, pos, page, 1);
    layout.SetChild(page, 1, layout.GetChild(page, 0));
    layout.ReplaceKey(left, left->count, parent, pos);
    layout.SetChild(page, 0, layout.GetChild(left, left->count));
    layout.DeleteKey(left, left->count);
}

void PageTree::BorrowFromRight(PageHeader* page, std::uint64_t q, std::uint32_t pos) {
    PageHeader* right = pager->LoadPageForUpdate(page->nextPage);
    PageHeader* parent = pager->LoadPageForUpdate(q);
    if (page->isLeaf) {
        layout.InsertRecord(right, 1, page, page->count + 1);
        layout.DeleteRecord(right, 1);
        layout.ReplaceKey(page, page->count, parent, pos + 1);
        return;
    }
    layout.InsertKey(parent, pos + 1, page, page->count + 1);
    layout.ReplaceKey(right, 1, parent, pos + 1);
    layout.SetChild(page, page->count, layout.GetChild(right, 0));
    layout.SetChild(right, 0, layout.GetChild(right, 1));
    layout.DeleteKey(right, 1);
}

void PageTree::SplitParentAndRetry(PageHeader* page, FastVector<std::uint64_t>& path) {
    const std::uint64_t q = path.Last();
    // A balanced split leaves each half at most about half full, with room
    // for any key the borrowing may bring.
    const PageHeader* parent = pager->LoadPage(q);
    const std::uint32_t m =
        layout.FindMedianRecord(parent, layout.GetChildrenNumber(parent, page->pageNumber), 0);
    if (m == 0) ThrowInvalid(L"page " + std::to_wstring(q) + L" cannot be split");
    path.RemoveLast();
    SplitChildPage(q, m, path);
    FastVector<std::uint64_t> fresh;
    GetPath(page, fresh);
    BalanceSubTree(page, fresh);
}

void PageTree::MergePage(PageHeader* const source, PageHeader* const destination,
                         FastVector<std::uint64_t>& path) {
    const std::uint64_t q = path.Last();
    PageHeader* parent = pager->LoadPageForUpdate(q);
    const std::uint32_t pos = layout.GetChildrenNumber(parent, source->pageNumber);
    if (source->isLeaf) {
        const std::uint32_t base = destination->count;
        for (std::uint32_t j = 1; j <= source->count; ++j)
            layout.InsertRecord(source, j, destination, base + j);
    } else {
        layout.InsertKey(parent, pos, destination, destination->count + 1);
        layout.SetChild(destination, destination->count, layout.GetChild(source, 0));
        const std::uint32_t n = destination->count;
        for (std::uint32_t j = 1; j <= source->count; ++j) {
            layout.InsertKey(source, j, destination, n + j);
            layout.SetChild(destination, n + j, layout.GetChild(source, j));
        }
    }
    layout.DeleteKey(parent, pos);
    if (source->nextPage != NO_PAGE) {
        PageHeader* after = pager->LoadPageForUpdate(source->nextPage);
        after->previousPage = destination->pageNumber;
        destination->nextPage = after->pageNumber;
    } else {
        destination->nextPage = NO_PAGE;
    }
    pager->FreePage(source);
    if (q != Root() && layout.GetPageFreeSpace(parent) > geometry.underflowThreshold) {
        path.RemoveLast();
        BalanceSubTree(parent, path);
    } else if (q == Root() && parent->count == 0) {
        pager->FreePage(parent);
        pager->SetRoot(destination->pageNumber);
    }
}

}  // namespace TamBTree
