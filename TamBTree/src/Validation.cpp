// The full consistency check: every page-sized unit of the file is claimed
// exactly once, the records come out of an iteration in order and in the
// number the tree claims, and every page's keys agree with its children and
// neighbours.
#include <cstring>
#include <set>

#include "FileFormat.h"
#include "PageLayout.h"
#include "TreeCore.h"
#include "ViewCache.h"

namespace TamBTree {

void TreeCore::ThrowDamagedText(const wchar_t* text) const {
    throw BTreeDamagedException(WithPath(text));
}

void TreeCore::ClaimOnce(OffsetSet& claimed, std::uint64_t offset) const {
    if (!claimed.insert(offset).second)
        ThrowDamagedText(L"The B-Tree is invalid. more than 1 offset value");
}

void TreeCore::ClaimRange(OffsetSet& claimed, std::uint64_t offset, std::uint64_t size,
                          std::uint64_t unit) const {
    for (std::uint64_t x = offset; x - offset < size; x += unit) ClaimOnce(claimed, x);
}

bool TreeCore::InOrder(const Record& previous, const Record& current) const {
    return allowDuplicates ? !Less(current, previous) : Less(previous, current);
}

TreeCore::Record TreeCore::CheckedRecord(const PageHeader* page, std::uint32_t i) const {
    layout->CheckEntry(page, i);
    Record r = layout->GetRecord(page, i);
    if (!page->isLeaf) {
        r.value = nullptr;
        r.valueLength = 0;
    }
    return r;
}

void TreeCore::ValidateTree() {
    ValidateOffset();
    TamMem::Buffer keyBuffer(pageSize);
    TamMem::Buffer valueBuffer(pageSize);
    std::memset(keyBuffer.Get(), 0, pageSize);
    std::memset(valueBuffer.Get(), 0, pageSize);
    Record previous{keyBuffer.Get(), 0, hasValue ? valueBuffer.Get() : nullptr, 0};
    // A walk that enters more leaves than there are pages loops.
    std::uint64_t leaves = 0;
    std::uint64_t count = 0;
    for (BTreeIterator it = Begin(); !it.IsEnd(); ++it) {
        if (it.GetCurrentRecord() == 1 && ++leaves > pageCount) break;
        {
            Bracket bracket(this);
            const PageHeader* page = LoadPage(it.GetCurrentPage());
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
    if (count != recordCount) ThrowDamagedText(L"The B-Tree is invalid. Bad size!");
    std::uint64_t visits = 0;
    ValidatePage(rootPage, 0, visits);
}

void TreeCore::ValidateOffset() const {
    const std::uint64_t unit = pageSize;
    const std::uint64_t g = allocationGranularity;
    const std::uint64_t fileSize = file.GetSize();
    OffsetSet claimed;
    ClaimRange(claimed, 0, g, unit);

    const BTreeInfo* info = SystemBlock();
    const std::uint32_t blocks = info->pageIndexBlockCount;
    if (blocks == 0 || blocks > MAX_PAGE_INDEX_BLOCKS) ThrowInvalid(L"bad page-index block count");
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const std::uint64_t offset = info->Blocks()[b];
        if (!GranuleInFile(offset, fileSize))
            ThrowDamagedText(L"The B-Tree is invalid. unused block");
        ClaimRange(claimed, offset, g, unit);
        const std::uint64_t first = static_cast<std::uint64_t>(b) * pageIndexEntriesPerBlock;
        if (first >= pageCount) continue;
        const bool held = offset == heldPageIndexBlock;
        const std::uint64_t* entries = reinterpret_cast<const std::uint64_t*>(file.GetView(offset));
        for (std::uint32_t k = 0; k < pageIndexEntriesPerBlock && first + k < pageCount; ++k)
            if (entries[k] != NO_PAGE) ClaimOnce(claimed, entries[k]);
        if (!held) file.ReleaseView(offset);
    }
    for (const auto& changed : changedPages) ClaimOnce(claimed, changed.second);
    if (info->commitReady) ClaimWaitingBlock(claimed);
    for (const auto& kept : keptBlocks) ClaimRange(claimed, kept.first, kept.second, unit);
    for (const auto& block : freeList.BlocksByOffset())
        ClaimRange(claimed, block.first, block.second, unit);

    std::uint64_t expected = 0;
    for (std::uint64_t offset : claimed) {
        if (offset != expected || expected >= fileSize)
            ThrowDamagedText(L"The B-Tree is invalid. unused block");
        expected += unit;
    }
    if (expected < fileSize) ThrowDamagedText(L"The B-Tree is invalid. unused block");
}

void TreeCore::ClaimWaitingBlock(OffsetSet& claimed) const {
    // The open reserved the page images of a waiting block; after a PreCommit
    // in this session the changed-page map names them already.
    std::uint32_t length = 0;
    const BTreeInfo* info = SystemBlock();
    const unsigned char* block = MapCommittedBlock(info, length);
    const std::uint64_t n = CommittedEntryCount(length);
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint64_t page;
        std::uint64_t offset;
        ReadCommittedEntry(block, i, page, offset);
        if (offset == NO_PAGE) continue;
        PageMap::const_iterator changed = changedPages.find(page);
        if (changed == changedPages.end() || changed->second != offset) ClaimOnce(claimed, offset);
    }
    file.ReleaseView(info->committedBlockOffset);
}

void TreeCore::ValidatePage(std::uint64_t p, std::uint32_t level, std::uint64_t& visits) const {
    if (level > MAX_HEIGHT || ++visits > pageCount)
        ThrowInvalid(L"page " + std::to_wstring(p) + L" is reached twice");
    std::uint32_t count;
    {
        Bracket bracket(this);
        const PageHeader* page = LoadPage(p);
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
            Bracket bracket(this);
            child = layout->GetChild(LoadPage(p), j);
        }
        ValidatePage(child, level + 1, visits);
    }
}

void TreeCore::ValidateSeparator(std::uint64_t p, std::uint32_t k) const {
    Bracket bracket(this);
    const PageHeader* page = LoadPage(p);
    const Record key = CheckedRecord(page, k);
    const PageHeader* leftChild = NonEmptyPage(layout->GetChild(page, k - 1));
    const Record lastLeft = CheckedRecord(leftChild, leftChild->count);
    if (Less(key, lastLeft))
        ThrowDamagedText(L"The B-Tree is invalid. LastRecordChildren > ParentRecord");
    if (page->previousPage != NO_PAGE) {
        const PageHeader* left = NonEmptyPage(page->previousPage);
        if (Less(lastLeft, CheckedRecord(left, left->count)))
            ThrowDamagedText(L"The B-Tree is invalid. LeftSiblingRecord > ChildrenRecord");
    }
    const PageHeader* rightChild = NonEmptyPage(layout->GetChild(page, k));
    const Record firstRight = CheckedRecord(rightChild, 1);
    if (Less(firstRight, key))
        ThrowDamagedText(L"The B-Tree is invalid. FirstRecordChildren < ParentRecord");
    if (page->nextPage != NO_PAGE) {
        const PageHeader* right = NonEmptyPage(page->nextPage);
        if (Less(CheckedRecord(right, right->count), firstRight))
            ThrowDamagedText(L"The B-Tree is invalid. RightSiblingRecord < ChildrenRecord");
    }
}

void TreeCore::CheckDataSize(const PageHeader* page) const {
    // dataSize counts the live bytes of the record area: exactly what the
    // entries occupy, holes excluded.
    std::uint64_t live = 0;
    for (std::uint32_t i = 1; i <= page->count; ++i) {
        layout->CheckEntry(page, i);
        live += layout->StoredLength(page, i);
    }
    if (live != page->dataSize)
        ThrowInvalid(L"page " + std::to_wstring(page->pageNumber) + L" counts " +
                     std::to_wstring(page->dataSize) + L" live bytes where its entries hold " +
                     std::to_wstring(live));
}

const PageHeader* TreeCore::NonEmptyPage(std::uint64_t n) const {
    const PageHeader* page = LoadPage(n);
    if (page->count == 0) ThrowInvalid(L"page " + std::to_wstring(n) + L" is empty");
    return page;
}

}  // namespace TamBTree
