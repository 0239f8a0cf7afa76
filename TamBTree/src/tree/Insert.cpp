// Insertion with top-down splits: a full page is split before the descent
// enters it, a split of the root adds a level, and after any split below the
// root the descent starts over from the root.
#include <cstring>

#include "PageLayout.h"
#include "PageTree.h"

namespace TamBTree {

namespace {
// On a sound tree an insertion splits each level at most once (a split leaves
// the new entry room on its side), plus the leaf: more restarts than this mean
// the pages lie about their contents.
constexpr std::uint32_t MAX_RESTARTS = 2 * MAX_HEIGHT + 2;

PageHeader RightPageTemplate(const PageHeader* left) {
    PageHeader h{};
    h.previousPage = left->pageNumber;
    h.nextPage = left->nextPage;
    h.dataEnd = PAGE_HEADER_SIZE;
    h.directorySize = left->isLeaf ? 0 : 8;
    h.isLeaf = left->isLeaf;
    return h;
}

PageHeader RootTemplate() {
    PageHeader h{};
    h.previousPage = NO_PAGE;
    h.nextPage = NO_PAGE;
    h.dataEnd = PAGE_HEADER_SIZE;
    h.directorySize = 8;
    h.isLeaf = 0;
    return h;
}
}  // namespace

PageTree::Record PageTree::CopyAside(const Record& r, unsigned char* buffer) const {
    // The record may point into the tree's own pages, which the operation is
    // about to change.
    Record copy = r;
    std::memmove(buffer, r.key, r.keyLength);
    copy.key = buffer;
    if (!geometry.hasValue) {
        // Its value is neither stored nor size-checked: like a record read
        // from a page of this tree, the copy has none.
        copy.value = nullptr;
        copy.valueLength = 0;
    } else if (r.value) {
        std::memmove(buffer + r.keyLength, r.value, r.valueLength);
        copy.value = buffer + r.keyLength;
    }
    return copy;
}

void PageTree::CheckRecordSizes(const Record& r) const {
    if ((geometry.fixedKeySize && r.keyLength != owner.KeySize()) ||
        (geometry.hasValue && geometry.fixedValueSize && r.valueLength != owner.ValueSize()))
        ThrowMessage<BTreeInvalidPageSizeException>(MsgFixedSize, __LINE__, pager->Space().Path());
    if (r.keyLength > geometry.maxRecordSize ||
        (geometry.hasValue && r.valueLength > geometry.maxRecordSize - r.keyLength))
        ThrowMessage<BTreeRecordTooLargeException>(MsgRecordTooLarge, __LINE__,
                                                   pager->Space().Path());
}

bool PageTree::HasRoom(const PageHeader* page, const Record& r) const {
    return layout.GetPageFreeSpace(page) >= layout.GetRequiredRecordSpace(page, r);
}

std::pair<BTreeIterator, bool> PageTree::Insert(const Record& r) {
    return Store(r, false);
}

std::pair<BTreeIterator, bool> PageTree::InsertOrAssign(const Record& r) {
    return Store(r, true);
}

std::pair<BTreeIterator, bool> PageTree::Store(const Record& r, bool assign) {
    pager->Space().CheckEnoughSpace();
    SecureRoomForWrite();
    Bracket bracket(*pager);
    const Record record = CopyAside(r, insertBuffer);
    const PageHeader* root = pager->LoadPage(Root());
    insertPath.Clear();
    if (!HasRoom(root, record)) SplitFor(Root(), record, insertPath);
    std::pair<BTreeIterator, bool> result = InsertNonFullPage(Root(), record, insertPath, assign);
    if (result.second) pager->AddRecord();
    return result;
}

BTreeIterator PageTree::AssignValue(const BTreeIterator& it, const Record& r) {
    if (!geometry.hasValue) return it;
    PageHeader* page = pager->LoadPageForUpdate(it.GetCurrentPage());
    const std::uint32_t n = it.GetCurrentRecord();
    const Record old = layout.GetRecord(page, n);
    // The stored key stays: an equal key need not have the same bytes.
    const Record record{old.key, old.keyLength, r.value, r.valueLength};
    if (r.valueLength == old.valueLength) {
        // Same size: the value is replaced where it lies, and the page keeps
        // its shape. (r may be a copy of this very value: memmove.)
        unsigned char* bytes = reinterpret_cast<unsigned char*>(page);
        if (r.valueLength != 0) std::memmove(bytes + (old.value - bytes), r.value, r.valueLength);
        return it;
    }
    if (r.valueLength > old.valueLength &&
        r.valueLength - old.valueLength > layout.GetPageFreeSpace(page))
        return Update(it, record);
    layout.DeleteRecord(page, n);
    layout.InsertRecord(record, page, n);
    return it;
}

std::uint32_t PageTree::SplitPoint(const PageHeader* page, std::uint32_t position,
                                   std::uint32_t need) const {
    // Appending at the end of a level (ascending inserts): the left page keeps
    // what it holds and the new right page starts with the new entry, or with
    // the last key of an internal page, which must never be left without one.
    if (position == page->count && page->nextPage == NO_PAGE) {
        if (page->isLeaf && page->count >= 1) return page->count;
        if (!page->isLeaf && page->count >= 3) return page->count - 1;
    }
    const std::uint32_t m = layout.FindMedianRecord(page, position, need);
    if (m == 0) ThrowInvalid(L"page " + std::to_wstring(page->pageNumber) + L" cannot be split");
    return m;
}

void PageTree::SplitFor(std::uint64_t p, const Record& r, FastVector<std::uint64_t>& path) {
    const PageHeader* page = pager->LoadPage(p);
    SplitChildPage(
        p,
        SplitPoint(page, layout.FindLargestRecord(page, r), layout.GetRequiredRecordSpace(page, r)),
        path);
}

std::pair<BTreeIterator, bool> PageTree::InsertNonFullPage(std::uint64_t p, const Record& r,
                                                           FastVector<std::uint64_t>& path,
                                                           bool assign) {
    for (std::uint32_t restarts = 0, levels = 0;;) {
        path.Append(p);
        const PageHeader* page = pager->LoadPage(p);
        if (page->isLeaf) {
            PageHeader* leaf = pager->LoadPageForUpdate(p);
            const std::uint32_t i = InsertPosition(leaf, r);
            appending = i == leaf->count;
            if (!geometry.allowDuplicates || assign) {
                // The first record not less than r: the next one on this leaf,
                // or the first of the next leaf.
                BTreeIterator it(p, i + 1, owner.Tree());
                if (i == leaf->count) it = ++BTreeIterator(p, i, owner.Tree());
                if (!it.IsEnd() && !Less(r, IteratorRecord(it)))
                    return {assign ? AssignValue(it, r) : it, false};
            }
            // Equal records already stored stay after the new one.
            layout.InsertRecord(r, leaf, i + 1);
            return {BTreeIterator(p, i + 1, owner.Tree()), true};
        }
        if (++levels > MAX_HEIGHT) ThrowTooDeep();
        const std::uint64_t c = layout.GetChild(page, InsertPosition(page, r));
        const PageHeader* child = pager->LoadPage(c);
        layout.Prefetch(child);
        if (HasRoom(child, r)) {
            p = c;
            continue;
        }
        SplitFor(c, r, path);
        if (++restarts > MAX_RESTARTS) ThrowInvalid(L"a page split made no room");
        path.Release();
        p = Root();
        levels = 0;
    }
}

std::uint32_t PageTree::InsertPosition(const PageHeader* page, const Record& r) const {
    const std::uint32_t count = page->count;
    if (appending && count != 0 && Less(layout.GetRecord(page, count), r)) return count;
    return layout.FindLargestRecord(page, r);
}

std::uint64_t PageTree::ParentForSeparator(std::uint64_t p, const Record& separator,
                                           FastVector<std::uint64_t>& path, std::uint32_t& pos) {
    std::uint64_t q = path.Last();
    path.RemoveLast();
    const PageHeader* parent = pager->LoadPage(q);
    pos = layout.GetChildrenNumber(parent, p);
    if (HasRoom(parent, separator)) return q;
    SplitChildPage(q, SplitPoint(parent, pos, layout.GetRequiredRecordSpace(parent, separator)),
                   path);
    parent = pager->LoadPage(q);
    if (parent->count < pos) {
        // p now hangs under the parent's new right neighbour.
        q = parent->nextPage;
        parent = pager->LoadPage(q);
        pos = layout.GetChildrenNumber(parent, p);
    }
    // The split point gave the separator room on its side.
    if (!HasRoom(parent, separator)) ThrowInvalid(L"a page split made no room");
    return q;
}

void PageTree::SplitChildPage(std::uint64_t p, std::uint32_t m, FastVector<std::uint64_t>& path) {
    PageHeader* page = pager->LoadPageForUpdate(p);
    const std::uint32_t count = page->count;
    // Both pages keep entries; only a leaf split for an append leaves the new
    // right page empty, for the record about to go there.
    if (m == 0 || m > count || (m == count && !page->isLeaf))
        ThrowInvalid(L"page " + std::to_wstring(p) + L" cannot be split");
    // The parent is made ready first: a failure there leaves this page whole
    // and every page hung into the tree.
    std::uint64_t q = NO_PAGE;
    std::uint32_t pos = 0;
    if (p != Root()) {
        Record separator = layout.GetRecord(page, m);
        separator.value = nullptr;
        separator.valueLength = 0;
        q = ParentForSeparator(p, separator, path, pos);
    }

    const PageHeader rightTemplate = RightPageTemplate(page);
    std::uint32_t moved = 0;
    for (std::uint32_t j = m + 1; j <= count; ++j) moved += layout.StoredLength(page, j);
    PageHeader* right = pager->NewPage(rightTemplate, moved);
    const std::uint64_t n = right->pageNumber;
    if (page->nextPage != NO_PAGE) pager->LoadPageForUpdate(page->nextPage)->previousPage = n;
    page->nextPage = n;
    if (page->isLeaf) {
        for (std::uint32_t j = m + 1; j <= count; ++j) layout.InsertRecord(page, j, right, j - m);
        for (std::uint32_t j = count; j > m; --j) layout.DeleteRecord(page, j);
    } else {
        for (std::uint32_t j = m + 1; j <= count; ++j) {
            layout.InsertKey(page, j, right, j - m);
            layout.SetChild(right, j - m, layout.GetChild(page, j));
        }
        for (std::uint32_t j = count; j > m; --j) layout.DeleteKey(page, j);
        layout.SetChild(right, 0, layout.GetChild(page, m));
    }

    PageHeader* parent;
    if (p == Root()) {
        parent = pager->NewPage(RootTemplate(), 0);
        pager->SetRoot(parent->pageNumber);
        layout.SetChild(parent, 0, p);
    } else {
        parent = pager->LoadPageForUpdate(q);
    }
    layout.InsertKey(page, m, parent, pos + 1);
    layout.SetChild(parent, pos + 1, n);
    if (!page->isLeaf) layout.DeleteKey(page, m);
    // The left page is compacted now, while its bytes are at hand, rather
    // than when an insertion finds no room: its entries come back in key order.
    if (page->dataEnd - PAGE_HEADER_SIZE != page->dataSize) layout.ShrinkPage(page);
}

}  // namespace TamBTree
