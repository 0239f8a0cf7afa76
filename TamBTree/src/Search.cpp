// Search and bounds. A bound is one descent from the root to the leftmost leaf
// that can hold a record equal to r, a walk along the linked leaves over a run
// of equal records, and iterator steps.
#include "PageLayout.h"
#include "TreeCore.h"
#include "ViewCache.h"

namespace TamBTree {

void TreeCore::ThrowTooDeep() const {
    ThrowInvalid(L"the tree is deeper than " + std::to_wstring(MAX_HEIGHT) + L" levels");
}

PageHeader* TreeCore::Descend(const Record& r) const {
    PageHeader* page = LoadPage(rootPage);
    for (std::uint32_t level = 0; !page->isLeaf; ++level) {
        if (level == MAX_HEIGHT) ThrowTooDeep();
        page = LoadPage(layout->GetChild(page, layout->FindLargestRecord(page, r)));
        layout->Prefetch(page);
    }
    return page;
}

TreeCore::Record TreeCore::IteratorRecord(const BTreeIterator& it) const {
    return layout->GetRecord(LoadPage(it.GetCurrentPage()), it.GetCurrentRecord());
}

std::uint64_t TreeCore::FindPage(const Record& r, PageHeader* const page, FindPageOperation op) {
    if (Less(r, layout->GetRecord(page, page->count))) return page->pageNumber;
    if (op == FindPageForwardInclusive && !Less(layout->GetRecord(page, page->count), r))
        return page->pageNumber;
    const bool backward = op == FindPageBackward;
    std::uint64_t q = backward ? page->previousPage : page->nextPage;
    if (q == NO_PAGE) return page->pageNumber;
    for (std::uint64_t steps = 0;; ++steps) {
        if (steps > pageCount) ThrowInvalid(L"a sibling chain does not end");
        const bool cached = IsPageCached(q);
        const PageHeader* qp = LoadPage(q);
        const std::uint64_t further = backward ? qp->previousPage : qp->nextPage;
        if (further == NO_PAGE) return q;
        if (qp->count == 0) ThrowInvalid(L"page " + std::to_wstring(q) + L" is an empty leaf");
        bool stop;
        if (op == FindPageBackward)
            stop = Less(layout->GetRecord(qp, 1), r);
        else if (op == FindPageForward)
            stop = Less(r, layout->GetRecord(qp, qp->count));
        else
            stop = !Less(layout->GetRecord(qp, qp->count), r);
        if (stop) return q;
        // A long walk must not keep every leaf it passes mapped. Only a view the
        // walk mapped itself goes: the caller's bracket may hold the others.
        if (!cached) ReleasePageView(q);
        q = further;
    }
}

BTreeIterator TreeCore::FirstNotLess(const Record& r, PageHeader*& page) {
    page = Descend(r);
    const std::uint32_t i = layout->FindLargestRecord(page, r);
    if (i < page->count) return BTreeIterator(page->pageNumber, i + 1, owner);
    // r is past this leaf's records; the candidate opens the next leaf.
    BTreeIterator it(page->pageNumber, i, owner);
    if ((++it).IsEnd()) return endIterator;
    page = LoadPage(it.GetCurrentPage());
    return it;
}

BTreeIterator TreeCore::Bound(const Record& r, bool lower) {
    Bracket bracket(this);
    PageHeader* page;
    BTreeIterator it = FirstNotLess(r, page);
    if (it.IsEnd()) return endIterator;
    if (Less(r, layout->GetRecord(page, it.GetCurrentRecord()))) return it;
    // Without duplicates the record found is the only one equal to r.
    if (!allowDuplicates) return lower ? it : ++it;
    if (lower) {
        if (page->previousPage != NO_PAGE && !Less(layout->GetRecord(page, 1), r)) {
            const std::uint64_t q = FindPage(r, page, FindPageBackward);
            it = BTreeIterator(q, LoadPage(q)->count, owner);
        }
        while (it != beginIterator && !Less(IteratorRecord(it), r)) --it;
        if (it == beginIterator && !Less(IteratorRecord(it), r)) return it;
        return ++it;
    }
    if (page->nextPage != NO_PAGE && !Less(r, layout->GetRecord(page, page->count)))
        it = BTreeIterator(FindPage(r, page, FindPageForward), 1, owner);
    while (!it.IsEnd() && !Less(r, IteratorRecord(it))) ++it;
    return it;
}

BTreeIterator TreeCore::LowerBound(const Record& r) {
    Bracket bracket(this);
    return Bound(r, true);
}

BTreeIterator TreeCore::UpperBound(const Record& r) {
    Bracket bracket(this);
    return Bound(r, false);
}

BTreeIterator TreeCore::Find(const Record& r) {
    Bracket bracket(this);
    if (!allowDuplicates) return FindUnique(r);
    BTreeIterator it = LowerBound(r);
    if (it.IsEnd()) return endIterator;
    const Record x = IteratorRecord(it);
    if (Less(r, x) || Less(x, r)) return endIterator;
    return it;
}

BTreeIterator TreeCore::FindUnique(const Record& r) {
    // The first record not Less than r is the only candidate: it is equal to
    // r unless r is Less than it.
    PageHeader* page;
    const BTreeIterator it = FirstNotLess(r, page);
    if (it.IsEnd() || Less(r, layout->GetRecord(page, it.GetCurrentRecord()))) return endIterator;
    return it;
}

bool TreeCore::FindAndRead(const Record& r, BTree::RecordReader read, void* context) {
    Bracket bracket(this);
    const BTreeIterator it = Find(r);
    if (it.IsEnd()) return false;
    read(context, layout->GetRecord(LoadPage(it.GetCurrentPage()), it.GetCurrentRecord()));
    return true;
}

BTreeIterator TreeCore::FindEx(const BTreeIterator& hint, const Record& r) {
    Bracket bracket(this);
    if (hint == endIterator) return endIterator;
    const std::uint64_t q = FindPage(r, LoadPage(hint.GetCurrentPage()), FindPageForwardInclusive);
    const PageHeader* page = LoadPage(q);
    BTreeIterator it(q, layout->FindLargestRecord(page, r), owner);
    ++it;
    if (it.IsEnd()) return endIterator;
    const Record x = IteratorRecord(it);
    if (Less(r, x) || Less(x, r)) return endIterator;
    return it;
}

BTreeIterator TreeCore::Begin() {
    return recordCount ? beginIterator : endIterator;
}

TreeCore::Record TreeCore::GetRecord(std::uint64_t page, std::uint32_t index) const {
    Bracket bracket(this);
    const PageHeader* p = LoadPage(page);
    // Index 0 names no entry: like an index past the count, it yields the
    // empty record at the end of the record area.
    return layout->GetRecord(p, index == 0 ? p->count + 1 : index);
}

}  // namespace TamBTree
