// Insertion with top-down splits: a full page is split before the descent
// enters it, a split of the root adds a level, and after any split below the
// root the descent starts over from the root.
#include <cstring>

#include "BTree.h"
#include "PageLayout.h"

namespace TamBTree {

namespace {
// More restarts than this mean the splits make no progress: the file is damaged.
constexpr std::uint32_t MAX_RESTARTS = 256;

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

BTree::Record BTree::CopyAside(const Record& r, unsigned char* buffer) const {
    // The record may point into the tree's own pages, which the operation is
    // about to change.
    Record copy = r;
    std::memmove(buffer, r.key, r.keyLength);
    copy.key = buffer;
    if (!hasValue) {
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

void BTree::CheckRecordSizes(const Record& r) const {
    if ((fixedKeySize && r.keyLength != keySize) ||
        (hasValue && fixedValueSize && r.valueLength != valueSize))
        ThrowTree<BTreeInvalidPageSizeException>(MsgFixedSize, __LINE__);
    if (r.keyLength > maxRecordSize || (hasValue && r.valueLength > maxRecordSize - r.keyLength))
        ThrowTree<BTreeRecordTooLargeException>(MsgRecordTooLarge, __LINE__);
}

bool BTree::HasRoom(const PageHeader* page, const Record& r) const {
    return layout->GetPageFreeSpace(page) >= layout->GetRequiredRecordSpace(page, r);
}

std::pair<BTreeIterator, bool> BTree::Insert(const Record& r) {
    ThrowIfReadOnly();
    CheckRecordSizes(r);
    ThrowIfCommitPending();
    CheckEnoughSpace();
    CacheOperation bracket(this);
    const Record record = CopyAside(r, insertBuffer);
    const PageHeader* root = LoadPage(rootPage);
    insertPath.Clear();
    if (!HasRoom(root, record))
        SplitChildPage(rootPage, layout->FindMedianRecord(root), insertPath);
    std::pair<BTreeIterator, bool> result = InsertNonFullPage(rootPage, record, insertPath);
    if (result.second) ++recordCount;
    return result;
}

std::pair<BTreeIterator, bool> BTree::InsertNonFullPage(std::uint64_t p, const Record& r,
                                                        FastVector<std::uint64_t>& path) {
    for (std::uint32_t restarts = 0, levels = 0;;) {
        path.Append(p);
        const PageHeader* page = LoadPage(p);
        if (page->isLeaf) {
            PageHeader* leaf = LoadPageForUpdate(p);
            const std::uint32_t i = layout->FindLargestRecord(leaf, r);
            if (!allowDuplicates) {
                BTreeIterator it(p, i, this);
                ++it;
                if (!it.IsEnd() && !Less(r, IteratorRecord(it))) return {it, false};
            }
            // Equal records already stored stay after the new one.
            layout->InsertRecord(r, leaf, i + 1);
            return {BTreeIterator(p, i + 1, this), true};
        }
        if (++levels > 64) ThrowInvalid(L"the tree is deeper than 64 levels");
        const std::uint64_t c = layout->GetChild(page, layout->FindLargestRecord(page, r));
        const PageHeader* child = LoadPage(c);
        if (HasRoom(child, r)) {
            p = c;
            continue;
        }
        SplitChildPage(c, layout->FindMedianRecord(child), path);
        if (++restarts > MAX_RESTARTS) ThrowInvalid(L"a page split made no room");
        path.Release();
        p = rootPage;
        levels = 0;
    }
}

void BTree::SplitChildPage(std::uint64_t p, std::uint32_t m, FastVector<std::uint64_t>& path) {
    PageHeader* page = LoadPageForUpdate(p);
    const PageHeader rightTemplate = RightPageTemplate(page);
    PageHeader* right = NewPage(rightTemplate);
    const std::uint64_t n = right->pageNumber;
    if (page->nextPage != NO_PAGE) LoadPageForUpdate(page->nextPage)->previousPage = n;
    page->nextPage = n;

    const std::uint32_t count = page->count;
    if (page->isLeaf) {
        for (std::uint32_t j = m + 1; j <= count; ++j) layout->InsertRecord(page, j, right, j - m);
        for (std::uint32_t j = count; j > m; --j) layout->DeleteRecord(page, j);
    } else {
        for (std::uint32_t j = m + 1; j <= count; ++j) {
            layout->InsertKey(page, j, right, j - m);
            layout->SetChild(right, j - m, layout->GetChild(page, j));
        }
        for (std::uint32_t j = count; j > m; --j) layout->DeleteKey(page, j);
        layout->SetChild(right, 0, layout->GetChild(page, m));
    }

    if (p == rootPage) {
        PageHeader* root = NewPage(RootTemplate());
        rootPage = root->pageNumber;
        layout->SetChild(root, 0, p);
        layout->InsertKey(page, m, root, 1);
        layout->SetChild(root, 1, n);
        if (!page->isLeaf) layout->DeleteKey(page, m);
        return;
    }

    std::uint64_t q = path.Last();
    path.RemoveLast();
    PageHeader* parent = LoadPageForUpdate(q);
    std::uint32_t pos = layout->GetChildrenNumber(parent, p);
    Record separator = layout->GetRecord(page, m);
    separator.value = nullptr;
    separator.valueLength = 0;
    if (!HasRoom(parent, separator)) {
        SplitChildPage(q, layout->FindMedianRecord(parent), path);
        if (parent->count < pos) {
            q = parent->nextPage;
            parent = LoadPageForUpdate(q);
            pos = layout->GetChildrenNumber(parent, p);
        }
    }
    layout->InsertKey(page, m, parent, pos + 1);
    layout->SetChild(parent, pos + 1, n);
    if (!page->isLeaf) layout->DeleteKey(page, m);
}

}  // namespace TamBTree
