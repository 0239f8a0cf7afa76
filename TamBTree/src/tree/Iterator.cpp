// Iterator steps. Every step runs as one operation on the tree, so the pages
// it maps are handled by the view cache. Both iterator classes share the
// steps.
#include "PageLayout.h"
#include "PageTree.h"

namespace TamBTree {

void PageTree::StepForward(std::uint64_t& page, std::uint32_t& record) const {
    Bracket bracket(*pager);
    const PageHeader* current = pager->LoadPage(page);
    if (record < current->count) {
        ++record;
        layout.PrefetchEntry(current, record + PageLayout::ENTRIES_AHEAD);
        return;
    }
    page = current->nextPage;
    if (page == NO_PAGE) {
        record = 0;
        return;
    }
    // Only the root of an empty tree is an empty leaf.
    if (pager->LoadPage(page)->count == 0)
        ThrowInvalid(L"page " + std::to_wstring(page) + L" is an empty leaf");
    record = 1;
}

void PageTree::StepBackward(std::uint64_t& page, std::uint32_t& record) const {
    if (page == NO_PAGE && record == 0) {
        if (pager->Counts().records == 0) return;
        Bracket bracket(*pager);
        const PageHeader* p = pager->LoadPage(Root());
        for (std::uint32_t level = 0; !p->isLeaf; ++level) {
            if (level == MAX_HEIGHT) ThrowTooDeep();
            p = pager->LoadPage(layout.GetChild(p, p->count));
        }
        page = p->pageNumber;
        record = p->count;
        return;
    }
    if (page == 0 && record == 1) {
        page = NO_PAGE;
        record = 0;
        return;
    }
    Bracket bracket(*pager);
    const PageHeader* current = pager->LoadPage(page);
    if (record > 1) {
        --record;
        layout.PrefetchEntry(current, record - PageLayout::ENTRIES_AHEAD);
        return;
    }
    page = current->previousPage;
    if (page == NO_PAGE) {
        record = 0;
        return;
    }
    record = pager->LoadPage(page)->count;
    if (record == 0) ThrowInvalid(L"page " + std::to_wstring(page) + L" is an empty leaf");
}

std::uint32_t PageTree::StepAndRead(std::uint64_t& page, std::uint32_t& record, int step,
                                    std::uint32_t most, RunReader read, void* context) const {
    Bracket bracket(*pager);
    // A step within the page maps it once; the others take the general steps.
    const PageHeader* current = nullptr;
    if (step != 0 && page != NO_PAGE) {
        current = pager->LoadPage(page);
        if (step > 0 ? record < current->count : record > 1)
            record = step > 0 ? record + 1 : record - 1;
        else
            current = nullptr;
    }
    if (!current) {
        if (step > 0 && page != NO_PAGE) StepForward(page, record);
        if (step < 0) StepBackward(page, record);
        if (page == NO_PAGE) return 0;
        current = pager->LoadPage(page);
    }
    // Index 0 names no entry: like an index past the count, it yields the
    // empty record at the end of the record area, and no run follows it.
    const std::uint32_t count = current->count;
    if (record == 0 || record > count) {
        read(context, layout.GetRecord(current, count + 1));
        return 1;
    }
    read(context, layout.GetRecord(current, record));
    std::uint32_t taken = 1;
    for (std::uint32_t i = record + (step < 0 ? -1 : 1); taken < most && i >= 1 && i <= count;
         i = step < 0 ? i - 1 : i + 1, ++taken) {
        layout.PrefetchEntry(
            current, step < 0 ? i - PageLayout::ENTRIES_AHEAD : i + PageLayout::ENTRIES_AHEAD);
        if (!read(context, layout.GetRecord(current, i))) break;
    }
    return taken;
}

std::uint32_t PageTree::Distance(std::uint64_t aPage, std::uint32_t aRecord, std::uint64_t bPage,
                                 std::uint32_t bRecord) const {
    if (aPage == bPage && aRecord == bRecord) return 0;
    std::uint32_t extra = 0;
    if (aPage == NO_PAGE && aRecord == 0) {
        extra = 1;
        StepBackward(aPage, aRecord);
        if (aPage == NO_PAGE) return 0;
    }
    if (aPage == bPage) return aRecord - bRecord + extra;
    std::uint32_t sum;
    std::uint64_t p;
    {
        Bracket bracket(*pager);
        sum = aRecord + extra - 1;
        p = pager->LoadPage(aPage)->previousPage;
    }
    for (std::uint64_t steps = 0; p != NO_PAGE && steps <= pager->Counts().pages; ++steps) {
        Bracket bracket(*pager);
        const PageHeader* page = pager->LoadPage(p);
        if (p == bPage) return sum + (page->count - bRecord) + 1;
        sum += page->count;
        p = page->previousPage;
    }
    return sum;
}

}  // namespace TamBTree
