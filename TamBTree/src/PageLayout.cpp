// Record access: locating keys, values and children inside a mapped page, and
// the checks of pages read from the file.
#include "PageLayout.h"

#include <string>

#include "BTreeException.h"

namespace TamBTree {

void PageLayout::GetKeyInfo(const PageHeader* page, std::uint32_t i, std::uint32_t& offset,
                            std::uint32_t& size) const {
    if (i > page->count) {
        offset = page->dataEnd;
        return;
    }
    offset = EntryOffset(page, i);
    if (format.fixedKeySize) {
        size = format.owner->KeySize();
        return;
    }
    size = Read32(Bytes(page) + offset);
    offset += LENGTH_SIZE;
}

void PageLayout::GetValueInfo(const PageHeader* page, std::uint32_t i, std::uint32_t& offset,
                              std::uint32_t& size) const {
    if (i > page->count) {
        offset = page->dataEnd;
        return;
    }
    // Values exist on leaves only, so the leaf slot size applies whatever the
    // page says.
    offset = Read32(Bytes(page) + LeafSlotOffset(format.pageSize, i));
    if (format.fixedKeySize)
        offset += format.owner->KeySize();
    else
        offset += LENGTH_SIZE + Read32(Bytes(page) + offset);
    if (format.fixedValueSize) {
        size = format.owner->ValueSize();
        return;
    }
    size = Read32(Bytes(page) + offset);
    offset += LENGTH_SIZE;
}

std::uint64_t PageLayout::GetChild(const PageHeader* page, std::uint32_t i) const {
    return Read64(Bytes(page) + ChildOffset(format.pageSize, i));
}

void PageLayout::SetChild(PageHeader* page, std::uint32_t i, std::uint64_t child) const {
    Write64(Bytes(page) + ChildOffset(format.pageSize, i), child);
    const std::uint32_t reach = format.pageSize - ChildOffset(format.pageSize, i);
    if (reach > page->directorySize) page->directorySize = reach;
}

std::uint32_t PageLayout::GetChildrenNumber(const PageHeader* page, std::uint64_t child) const {
    for (std::uint32_t i = 0; i <= page->count; ++i)
        if (GetChild(page, i) == child) return i;
    return 0;
}

std::uint32_t PageLayout::GetRequiredRecordSpace(const PageHeader* page, const Record& r) const {
    // The entry and its slot.
    return StoredSize(r.keyLength, CarriesValue(page), r.valueLength) + SlotSize(page);
}

std::uint32_t PageLayout::GetPageFreeSpace(const PageHeader* page) const {
    return format.pageSize - page->directorySize - page->dataSize - PAGE_HEADER_SIZE;
}

std::uint32_t PageLayout::StoredSize(std::uint32_t keyLength, bool withValue,
                                     std::uint32_t valueLength) const {
    std::uint32_t length = keyLength + (format.fixedKeySize ? 0 : LENGTH_SIZE);
    if (withValue) length += valueLength + (format.fixedValueSize ? 0 : LENGTH_SIZE);
    return length;
}

std::uint32_t PageLayout::StoredLength(const PageHeader* page, std::uint32_t i) const {
    const Record r = GetRecord(page, i);
    return StoredSize(r.keyLength, CarriesValue(page), r.valueLength);
}

void PageLayout::ThrowDamaged(const PageHeader* page, const std::wstring& what) const {
    std::wstring text = L"The B-Tree is invalid. Page " + std::to_wstring(page->pageNumber) +
                        L" has " + what + L".";
    if (format.path) text += L" (" + Tam::FromMultiByte(*format.path) + L")";
    throw BTreeDamagedException(text);
}

void PageLayout::CheckPage(const PageHeader* page) const {
    const std::uint64_t count = page->count;
    const std::uint64_t directory = DirectorySize(page->isLeaf != 0, count);
    const bool valid = page->isLeaf <= 1 && page->directorySize == directory &&
                       directory <= format.pageSize - PAGE_HEADER_SIZE &&
                       page->dataEnd >= PAGE_HEADER_SIZE &&
                       page->dataEnd <= format.pageSize - directory &&
                       page->dataSize <= page->dataEnd - PAGE_HEADER_SIZE;
    if (!valid) ThrowDamaged(page, L"a damaged header");
}

void PageLayout::CheckEntry(const PageHeader* page, std::uint32_t i) const {
    if (i < 1 || i > page->count || !EntryInside(page, i))
        ThrowDamaged(page, L"a damaged entry " + std::to_wstring(i));
}

void PageLayout::CheckEntries(const PageHeader* page) const {
    // A page read from the file for the first time has all its entries
    // checked, which a scan of a freshly opened tree pays for every record:
    // the check is inline here, so the layout is read once for the page.
    for (std::uint32_t i = 1; i <= page->count; ++i) {
        PrefetchEntry(page, i + ENTRIES_AHEAD);
        if (!EntryInside(page, i)) ThrowDamaged(page, L"a damaged entry " + std::to_wstring(i));
    }
}

}  // namespace TamBTree
