// Search and bounds. A bound is one descent from the root to the leftmost leaf
// that can hold a record equal to r, a walk along the linked leaves over a run
// of equal records, and iterator steps.
#include "PageLayout.h"
#include "PageTree.h"

namespace TamBTree {

PageHeader* PageTree::Descend(const Record& r) const {
    PageHeader* page = pager->LoadPage(Root());
    for (std::uint32_t level = 0; !page->isLeaf; ++level) {
        if (level == MAX_HEIGHT) ThrowTooDeep();
        page = pager->LoadPage(layout.GetChild(page, layout.FindLargestRecord(page, r)));
        layout.Prefetch(page);
    }
    return page;
}

PageTree::Record PageTree::IteratorRecord(const BTreeIterator& it) const {
    return layout.GetRecord(pager->LoadPage(it.GetCurrentPage()), it.GetCurrentRecord());
}

std::uint64_t PageTree::FindPage(const Record& r, PageHeader* const page,
                                 FindPageOperation op) const {
    if (Less(r, layout.GetRecord(page, page->count))) return page->pageNumber;
    if (op == FindPageForwardInclusive && !Less(layout.GetRecord(page, page->count), r))
        return page->pageNumber;
    const bool backward = op == FindPageBackward;
    std::uint64_t q = backward ? page->previousPage : page->nextPage;
    if (q == NO_PAGE) return page->pageNumber;
    for (std::uint64_t steps = 0;; ++steps) {
        if (steps > pager->Counts().pages) ThrowInvalid(L"a sibling chain does not end");
        const bool cached = pager->IsPageCached(q);
        const PageHeader* qp = pager->LoadPage(q);
        const std::uint64_t further = backward ? qp->previousPage : qp->nextPage;
        if (further == NO_PAGE) return q;
        if (qp->count == 0) ThrowInvalid(L"page " + std::to_wstring(q) + L" is an empty leaf");
        bool stop;
        if (op == FindPageBackward)
            stop = Less(layout.GetRecord(qp, 1), r);
        else if (op == FindPageForward)
            stop = Less(r, layout.GetRecord(qp, qp->count));
        else
            stop = !Less(layout.GetRecord(qp, qp->count), r);
        if (stop) return q;
        // A long walk must not keep every leaf it passes mapped. Only a view the
        // walk mapped itself goes: the caller's bracket may hold the others.
        if (!cached) pager->ReleasePageView(q);
        q = further;
    }
}

BTreeIterator PageTree::FirstNotLess(const Record& r, PageHeader*& page) const {
    page = Descend(r);
    const std::uint32_t i = layout.FindLargestRecord(page, r);
    if (i < page->count) return BTreeIterator(page->pageNumber, i + 1, owner.Tree());
    // r is past this leaf's records; the candidate opens the next leaf.
    BTreeIterator it(page->pageNumber, i, owner.Tree());
    if ((++it).IsEnd()) return owner.End();
    page = pager->LoadPage(it.GetCurrentPage());
    return it;
}

BTreeIterator PageTree::Bound(const Record& r, bool lower) const {
    Bracket bracket(*pager);
    PageHeader* page;
    BTreeIterator it = FirstNotLess(r, page);
    if (it.IsEnd()) return owner.End();
    if (Less(r, layout.GetRecord(page, it.GetCurrentRecord()))) return it;
    // Without duplicates the record found is the only one equal to r.
    if (!geometry.allowDuplicates) return lower ? it : ++it;
    if (lower) {
        if (page->previousPage != NO_PAGE && !Less(layout.GetRecord(page, 1), r)) {
            const std::uint64_t q = FindPage(r, page, FindPageBackward);
            it = BTreeIterator(q, pager->LoadPage(q)->count, owner.Tree());
        }
        while (it != owner.Begin() && !Less(IteratorRecord(it), r)) --it;
        if (it == owner.Begin() && !Less(IteratorRecord(it), r)) return it;
        return ++it;
    }
    if (page->nextPage != NO_PAGE && !Less(r, layout.GetRecord(page, page->count)))
        it = BTreeIterator(FindPage(r, page, FindPageForward), 1, owner.Tree());
    while (!it.IsEnd() && !Less(r, IteratorRecord(it))) ++it;
    return it;
}

BTreeIterator PageTree::LowerBound(const Record& r) const {
    Bracket bracket(*pager);
    return Bound(r, true);
}

BTreeIterator PageTree::UpperBound(const Record& r) const {
    Bracket bracket(*pager);
    return Bound(r, false);
}

BTreeIterator PageTree::Find(const Record& r) const {
    Bracket bracket(*pager);
    if (!geometry.allowDuplicates) return FindUnique(r);
    BTreeIterator it = LowerBound(r);
    if (it.IsEnd()) return owner.End();
    const Record x = IteratorRecord(it);
    if (Less(r, x) || Less(x, r)) return owner.End();
    return it;
}

BTreeIterator PageTree::FindUnique(const Record& r) const {
    // The first record not Less than r is the only candidate: it is equal to
    // r unless r is Less than it.
    PageHeader* page;
    const BTreeIterator it = FirstNotLess(r, page);
    if (it.IsEnd() || Less(r, layout.GetRecord(page, it.GetCurrentRecord()))) return owner.End();
    return it;
}

bool PageTree::FindAndRead(const Record& r, RecordReader read, void* context) const {
    Bracket bracket(*pager);
    const BTreeIterator it = Find(r);
    if (it.IsEnd()) return false;
    read(context, layout.GetRecord(pager->LoadPage(it.GetCurrentPage()), it.GetCurrentRecord()));
    return true;
}

BTreeIterator PageTree::FindEx(const BTreeIterator& hint, const Record& r) const {
    Bracket bracket(*pager);
    if (hint == owner.End()) return owner.End();
    const std::uint64_t q =
        FindPage(r, pager->LoadPage(hint.GetCurrentPage()), FindPageForwardInclusive);
    const PageHeader* page = pager->LoadPage(q);
    BTreeIterator it(q, layout.FindLargestRecord(page, r), owner.Tree());
    ++it;
    if (it.IsEnd()) return owner.End();
    const Record x = IteratorRecord(it);
    if (Less(r, x) || Less(x, r)) return owner.End();
    return it;
}

BTreeIterator PageTree::Begin() const {
    return pager->Counts().records ? owner.Begin() : owner.End();
}

PageTree::Record PageTree::GetRecord(std::uint64_t page, std::uint32_t index) const {
    Bracket bracket(*pager);
    const PageHeader* p = pager->LoadPage(page);
    // Index 0 names no entry: like an index past the count, it yields the
    // empty record at the end of the record area.
    return layout.GetRecord(p, index == 0 ? p->count + 1 : index);
}

}  // namespace TamBTree
