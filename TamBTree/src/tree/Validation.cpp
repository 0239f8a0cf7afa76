// The consistency check of the tree: the records come out of an iteration in
// order and in the number the tree claims, and every page's keys agree with
// its children and neighbours. (The space is checked below, by the layers
// that own it.)
#include <cstring>

#include "Damage.h"
#include "FileFormat.h"
#include "PageLayout.h"
#include "PageTree.h"

namespace TamBTree {

void PageTree::ThrowDamagedText(const wchar_t* text) const {
    throw BTreeDamagedException(WithPath(pager->Space().Path(), text));
}

bool PageTree::InOrder(const Record& previous, const Record& current) const {
    return geometry.allowDuplicates ? !Less(current, previous) : Less(previous, current);
}

PageTree::Record PageTree::CheckedRecord(const PageHeader* page, std::uint32_t i) const {
    layout.CheckEntry(page, i);
    Record r = layout.GetRecord(page, i);
    if (!page->isLeaf) {
        r.value = nullptr;
        r.valueLength = 0;
    }
    return r;
}

void PageTree::Validate() const {
    TamMem::Buffer keyBuffer(geometry.pageSize);
    TamMem::Buffer valueBuffer(geometry.pageSize);
    std::memset(keyBuffer.Get(), 0, geometry.pageSize);
    std::memset(valueBuffer.Get(), 0, geometry.pageSize);
    Record previous{keyBuffer.Get(), 0, geometry.hasValue ? valueBuffer.Get() : nullptr, 0};
    // A walk that enters more leaves than there are pages loops.
    std::uint64_t leaves = 0;
    std::uint64_t count = 0;
    for (BTreeIterator it = Begin(); !it.IsEnd(); ++it) {
        if (it.GetCurrentRecord() == 1 && ++leaves > pager->Counts().pages) break;
        {
            Bracket bracket(*pager);
            const PageHeader* page = pager->LoadPage(it.GetCurrentPage());
            if (!page->isLeaf || it.GetCurrentRecord() > page->count)
                ThrowInvalid(L"a leaf chain leads to page " + std::to_wstring(page->pageNumber));
            const Record current = CheckedRecord(page, it.GetCurrentRecord());
            if (count > 0 && !InOrder(previous, current))
                ThrowDamagedText(L"The B-Tree is invalid. RecordBefore > recordCurrent");
            // Only the bytes the previous copy used can be non-zero.
            std::memset(keyBuffer.Get(), 0, previous.keyLength);
            std::memset(valueBuffer.Get(), 0, previous.valueLength);
            std::memcpy(keyBuffer.Get(), current.key, current.keyLength);
            previous.keyLength = current.keyLength;
            previous.valueLength = 0;
            if (current.value) {
                std::memcpy(valueBuffer.Get(), current.value, current.valueLength);
                previous.valueLength = current.valueLength;
            }
        }
        ++count;
    }
    if (count != pager->Counts().records) ThrowDamagedText(L"The B-Tree is invalid. Bad size!");
    std::uint64_t visits = 0;
    ValidatePage(Root(), 0, visits);
}

void PageTree::ValidatePage(std::uint64_t p, std::uint32_t level, std::uint64_t& visits) const {
    if (level > MAX_HEIGHT || ++visits > pager->Counts().pages)
        ThrowInvalid(L"page " + std::to_wstring(p) + L" is reached twice");
    std::uint32_t count;
    {
        Bracket bracket(*pager);
        const PageHeader* page = pager->LoadPage(p);
        count = page->count;
        CheckDataSize(page);
        if (count == 0) return;
        for (std::uint32_t i = 2; i <= count; ++i)
            if (!InOrder(CheckedRecord(page, i - 1), CheckedRecord(page, i)))
                ThrowDamagedText(L"The B-Tree is invalid. KeyBefore > KeyCurrent");
        if (page->isLeaf) return;
    }
    for (std::uint32_t k = 1; k <= count; ++k) ValidateSeparator(p, k);
    for (std::uint32_t j = 0; j <= count; ++j) {
        std::uint64_t child;
        {
            Bracket bracket(*pager);
            child = layout.GetChild(pager->LoadPage(p), j);
        }
        ValidatePage(child, level + 1, visits);
    }
}

void PageTree::ValidateSeparator(std::uint64_t p, std::uint32_t k) const {
    Bracket bracket(*pager);
    const PageHeader* page = pager->LoadPage(p);
    const Record key = CheckedRecord(page, k);
    const PageHeader* leftChild = NonEmptyPage(layout.GetChild(page, k - 1));
    const Record lastLeft = CheckedRecord(leftChild, leftChild->count);
    if (Less(key, lastLeft))
        ThrowDamagedText(L"The B-Tree is invalid. LastRecordChildren > ParentRecord");
    if (page->previousPage != NO_PAGE) {
        const PageHeader* left = NonEmptyPage(page->previousPage);
        if (Less(lastLeft, CheckedRecord(left, left->count)))
            ThrowDamagedText(L"The B-Tree is invalid. LeftSiblingRecord > ChildrenRecord");
    }
    const PageHeader* rightChild = NonEmptyPage(layout.GetChild(page, k));
    const Record firstRight = CheckedRecord(rightChild, 1);
    if (Less(firstRight, key))
        ThrowDamagedText(L"The B-Tree is invalid. FirstRecordChildren < ParentRecord");
    if (page->nextPage != NO_PAGE) {
        const PageHeader* right = NonEmptyPage(page->nextPage);
        if (Less(CheckedRecord(right, right->count), firstRight))
            ThrowDamagedText(L"The B-Tree is invalid. RightSiblingRecord < ChildrenRecord");
    }
}

void PageTree::CheckDataSize(const PageHeader* page) const {
    // dataSize counts the live bytes of the record area: exactly what the
    // entries occupy, holes excluded.
    std::uint64_t live = 0;
    for (std::uint32_t i = 1; i <= page->count; ++i) {
        layout.CheckEntry(page, i);
        live += layout.StoredLength(page, i);
    }
    if (live != page->dataSize)
        ThrowInvalid(L"page " + std::to_wstring(page->pageNumber) + L" counts " +
                     std::to_wstring(page->dataSize) + L" live bytes where its entries hold " +
                     std::to_wstring(live));
}

const PageHeader* PageTree::NonEmptyPage(std::uint64_t n) const {
    const PageHeader* page = pager->LoadPage(n);
    if (page->count == 0) ThrowInvalid(L"page " + std::to_wstring(n) + L" is empty");
    return page;
}

}  // namespace TamBTree
