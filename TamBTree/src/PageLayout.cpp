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
        size = *format.keySize;
        return;
    }
    size = Read32(Bytes(page) + offset);
    offset += 4;
}

void PageLayout::GetValueInfo(const PageHeader* page, std::uint32_t i, std::uint32_t& offset,
                              std::uint32_t& size) const {
    if (i > page->count) {
        offset = page->dataEnd;
        return;
    }
    // Values exist on leaves only, so the leaf slot size applies whatever the
    // page says.
    offset = Read32(Bytes(page) + format.pageSize - LEAF_SLOT_SIZE * i);
    if (format.fixedKeySize)
        offset += *format.keySize;
    else
        offset += 4 + Read32(Bytes(page) + offset);
    if (format.fixedValueSize) {
        size = *format.valueSize;
        return;
    }
    size = Read32(Bytes(page) + offset);
    offset += 4;
}

std::uint64_t PageLayout::GetChild(const PageHeader* page, std::uint32_t i) const {
    return Read64(Bytes(page) + format.pageSize - INTERNAL_SLOT_SIZE * i - 8);
}

void PageLayout::SetChild(PageHeader* page, std::uint32_t i, std::uint64_t child) const {
    Write64(Bytes(page) + format.pageSize - INTERNAL_SLOT_SIZE * i - 8, child);
    const std::uint32_t reach = INTERNAL_SLOT_SIZE * i + 8;
    if (reach > page->directorySize) page->directorySize = reach;
}

std::uint32_t PageLayout::GetChildrenNumber(const PageHeader* page, std::uint64_t child) const {
    for (std::uint32_t i = 0; i <= page->count; ++i)
        if (GetChild(page, i) == child) return i;
    return 0;
}

std::uint32_t PageLayout::GetRequiredRecordSpace(const PageHeader* page, const Record& r) const {
    std::uint32_t need = r.keyLength + 4;
    if (!format.fixedKeySize) need += 4;
    if (CarriesValue(page)) {
        need += r.valueLength;
        if (!format.fixedValueSize) need += 4;
    }
    if (!page->isLeaf) need += 8;
    return need;
}

std::uint32_t PageLayout::GetPageFreeSpace(const PageHeader* page) const {
    return format.pageSize - page->directorySize - page->dataSize - PAGE_HEADER_SIZE;
}

std::uint32_t PageLayout::StoredSize(std::uint32_t keyLength, bool withValue,
                                     std::uint32_t valueLength) const {
    std::uint32_t length = keyLength + (format.fixedKeySize ? 0 : 4);
    if (withValue) length += valueLength + (format.fixedValueSize ? 0 : 4);
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
    const std::uint64_t directory =
        page->isLeaf ? LEAF_SLOT_SIZE * count : INTERNAL_SLOT_SIZE * count + 8;
    const bool valid = page->isLeaf <= 1 && page->directorySize == directory &&
                       directory <= format.pageSize - PAGE_HEADER_SIZE &&
                       page->dataEnd >= PAGE_HEADER_SIZE &&
                       page->dataEnd <= format.pageSize - directory &&
                       page->dataSize <= page->dataEnd - PAGE_HEADER_SIZE;
    if (!valid) ThrowDamaged(page, L"a damaged header");
}

void PageLayout::CheckEntry(const PageHeader* page, std::uint32_t i) const {
    if (i < 1 || i > page->count) ThrowDamaged(page, L"a damaged entry " + std::to_wstring(i));
    const std::uint64_t end = page->dataEnd;
    std::uint64_t at = EntryOffset(page, i);
    bool valid = at >= PAGE_HEADER_SIZE;
    // Each length word is read only once it is known to lie before dataEnd.
    auto take = [&](bool fixed, std::uint32_t fixedSize) {
        std::uint64_t length = fixedSize;
        if (!fixed) {
            valid = valid && at + 4 <= end;
            if (!valid) return;
            length = Read32(Bytes(page) + at);
            at += 4;
        }
        at += length;
        valid = valid && at <= end;
    };
    take(format.fixedKeySize, format.fixedKeySize ? *format.keySize : 0);
    if (CarriesValue(page))
        take(format.fixedValueSize, format.fixedValueSize ? *format.valueSize : 0);
    if (!valid) ThrowDamaged(page, L"a damaged entry " + std::to_wstring(i));
}

}  // namespace TamBTree
