// The primitive edits of one mapped page. Records never move inside the
// record area on insert or delete: only slots move, one block move each, and
// the holes left behind are reclaimed by compaction when an insertion finds no
// room at dataEnd.
#include <cstdint>
#include <cstring>

#include "PageLayout.h"
#include "TamMem.h"

namespace TamBTree {

namespace {

bool Overlaps(const unsigned char* bytes, std::uint32_t length, const PageHeader* page,
              std::uint32_t pageSize) {
    if (length == 0) return false;
    const auto at = reinterpret_cast<std::uintptr_t>(bytes);
    const auto begin = reinterpret_cast<std::uintptr_t>(page);
    return at < begin + pageSize && begin < at + length;
}

void CopyBytes(unsigned char* to, const unsigned char* from, std::uint32_t length) {
    if (length != 0) std::memmove(to, from, length);
}

// The first eight bytes of a key as a number that orders as the bytes do.
std::uint64_t KeyPrefix(const unsigned char* key) {
    std::uint64_t v;
    std::memcpy(&v, key, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

}  // namespace

PageLayout::PageLayout(const PageFormat& pageFormat)
    : format(pageFormat),
      scratch(pageFormat.editable ? static_cast<unsigned char*>(
                                        TamMem::Allocate(2 * std::size_t{pageFormat.pageSize}))
                                  : nullptr) {}

PageLayout::~PageLayout() {
    TamMem::Free(scratch);
}

Record PageLayout::SetAside(const PageHeader* page, const Record& r) const {
    if (!Overlaps(r.key, r.keyLength, page, format.pageSize) &&
        !Overlaps(r.value, r.valueLength, page, format.pageSize))
        return r;
    Record copy = r;
    CopyBytes(scratch, r.key, r.keyLength);
    copy.key = scratch;
    if (r.value != nullptr) {
        CopyBytes(scratch + r.keyLength, r.value, r.valueLength);
        copy.value = scratch + r.keyLength;
    }
    return copy;
}

Record PageLayout::CompactFor(PageHeader* page, const Record& r) const {
    const std::uint64_t need = GetRequiredRecordSpace(page, r);
    if (page->dataEnd + need <= format.pageSize - page->directorySize) return r;
    const Record kept = SetAside(page, r);
    ShrinkPage(page);
    // Compaction frees what dataSize promised; a damaged dataSize that
    // understates the live entries would make the write leave the page.
    if (page->dataEnd + need > format.pageSize - page->directorySize)
        ThrowDamaged(page, L"more data than its header counts");
    return kept;
}

std::uint32_t PageLayout::AppendEntry(PageHeader* page, const Record& r, bool withValue) const {
    unsigned char* const start = Bytes(page) + page->dataEnd;
    unsigned char* at = start;
    if (!format.fixedKeySize) {
        Write32(at, r.keyLength);
        at += LENGTH_SIZE;
    }
    CopyBytes(at, r.key, r.keyLength);
    at += r.keyLength;
    if (withValue) {
        if (!format.fixedValueSize) {
            Write32(at, r.valueLength);
            at += LENGTH_SIZE;
        }
        CopyBytes(at, r.value, r.valueLength);
        at += r.valueLength;
    }
    return static_cast<std::uint32_t>(at - start);
}

void PageLayout::PlaceEntry(PageHeader* page, const Record& r, bool withValue,
                            std::uint32_t slotSize, std::uint32_t slot,
                            std::uint32_t movedBytes) const {
    const Record stored = CompactFor(page, r);
    const std::uint32_t offset = page->dataEnd;
    const std::uint32_t length = AppendEntry(page, stored, withValue);
    unsigned char* const bottom = Bytes(page) + format.pageSize - page->directorySize;
    std::memmove(bottom - slotSize, bottom, movedBytes);
    Write32(Bytes(page) + format.pageSize - slotSize * slot, offset);
    page->dataEnd += length;
    page->dataSize += length;
    page->directorySize += slotSize;
    ++page->count;
}

void PageLayout::InsertRecord(const Record& r, PageHeader* page, std::uint32_t i) const {
    // Slots of records i..count move down one slot.
    PlaceEntry(page, r, format.hasValue, LEAF_SLOT_SIZE, i,
               page->directorySize - LEAF_SLOT_SIZE * (i - 1));
}

void PageLayout::InsertRecord(const PageHeader* source, std::uint32_t i, PageHeader* destination,
                              std::uint32_t j) const {
    InsertRecord(GetRecord(source, i), destination, j);
}

void PageLayout::DropEntry(PageHeader* page, std::uint32_t slotSize, std::uint32_t slot,
                           std::uint32_t movedBytes) const {
    const std::uint32_t length = StoredLength(page, slot);
    unsigned char* const bottom = Bytes(page) + format.pageSize - page->directorySize;
    std::memmove(bottom + slotSize, bottom, movedBytes);
    --page->count;
    page->dataSize -= length;
    page->directorySize -= slotSize;
}

void PageLayout::DeleteRecord(PageHeader* page, std::uint32_t i) const {
    // Slots of records i+1..count move up one slot; the entry's bytes become
    // a hole.
    DropEntry(page, LEAF_SLOT_SIZE, i, page->directorySize - LEAF_SLOT_SIZE * i);
}

void PageLayout::MoveRecords(PageHeader* source, std::uint32_t first, std::uint32_t last,
                             PageHeader* destination, std::uint32_t j) const {
    for (std::uint32_t i = first; i <= last; ++i)
        InsertRecord(source, i, destination, i - first + j);
    for (std::uint32_t i = last; i >= first; --i) DeleteRecord(source, i);
}

void PageLayout::InsertKey(const Record& r, PageHeader* page, std::uint32_t j) const {
    // Keys and children count..j move down one slot; child j stays where it
    // is, so it is now child j + 1 as well until the caller sets it.
    PlaceEntry(page, Record{r.key, r.keyLength, nullptr, 0}, false, INTERNAL_SLOT_SIZE, j,
               (page->count - j + 1) * INTERNAL_SLOT_SIZE);
}

void PageLayout::InsertKey(const PageHeader* source, std::uint32_t i, PageHeader* destination,
                           std::uint32_t j) const {
    InsertKey(GetRecord(source, i), destination, j);
}

void PageLayout::DeleteKey(PageHeader* page, std::uint32_t j) const {
    DropEntry(page, INTERNAL_SLOT_SIZE, j,
              page->directorySize - INTERNAL_SLOT_SIZE * j - CHILD_SIZE);
}

void PageLayout::MoveKeys(PageHeader* source, std::uint32_t first, std::uint32_t last,
                          PageHeader* destination, std::uint32_t j) const {
    for (std::uint32_t i = first; i <= last; ++i) {
        const std::uint32_t k = i - first + j;
        InsertKey(source, i, destination, k);
        SetChild(destination, k, GetChild(source, i));
    }
    for (std::uint32_t i = last; i >= first; --i) DeleteKey(source, i);
}

void PageLayout::ReplaceKey(const PageHeader* source, std::uint32_t i, PageHeader* destination,
                            std::uint32_t j) const {
    std::uint32_t sourceOffset = 0;
    std::uint32_t s = 0;
    GetKeyInfo(source, i, sourceOffset, s);
    std::uint32_t offset = 0;
    std::uint32_t t = 0;
    GetKeyInfo(destination, j, offset, t);
    if (s > t) {
        // The key's bytes stay readable after DeleteKey, even when source is
        // the destination; InsertKey sets them aside if it compacts.
        const Record key{Bytes(source) + sourceOffset, s, nullptr, 0};
        const std::uint64_t child = GetChild(destination, j);
        DeleteKey(destination, j);
        InsertKey(key, destination, j);
        SetChild(destination, j, child);
        return;
    }
    CopyBytes(Bytes(destination) + offset, Bytes(source) + sourceOffset, s);
    if (format.owner->KeySize() == 0 && !format.fixedKeySize)
        Write32(Bytes(destination) + offset - LENGTH_SIZE, s);
    destination->dataSize -= t - s;
}

void PageLayout::ShrinkPage(PageHeader* page) const {
    // Every entry was checked to lie inside [PAGE_HEADER_SIZE, dataEnd) when
    // its page was read. Entries that lie apart there cannot add up to more
    // than that span: more means entries that overlap, which compaction would
    // tear apart. The page is checked whole before anything moves.
    const std::uint64_t span = page->dataEnd - PAGE_HEADER_SIZE;
    std::uint64_t live = 0;
    for (std::uint32_t i = 1; i <= page->count && live <= span; ++i) live += StoredLength(page, i);
    if (live > span) ThrowDamaged(page, L"entries that overlap");
    if (live != page->dataSize) ThrowDamaged(page, L"a dataSize that differs from its entries");
    // The entries are copied out in slot order and back, so the page leaves
    // compaction with its entries in key order: the last probes of a search
    // then read neighbouring bytes.
    unsigned char* const area = scratch + format.pageSize;
    std::uint32_t pos = 0;
    for (std::uint32_t i = 1; i <= page->count; ++i) {
        const std::uint32_t length = StoredLength(page, i);
        CopyBytes(area + pos, Bytes(page) + EntryOffset(page, i), length);
        Write32(Bytes(page) + format.pageSize - SlotSize(page) * i, PAGE_HEADER_SIZE + pos);
        pos += length;
    }
    CopyBytes(Bytes(page) + PAGE_HEADER_SIZE, area, pos);
    page->dataEnd = PAGE_HEADER_SIZE + pos;
}

std::uint32_t PageLayout::FindMedianRecord(const PageHeader* page, std::uint32_t position,
                                           std::uint32_t need) const {
    // A leaf keeps entries 1..m; an internal page keeps keys 1..m-1 and hands
    // key m up to its parent. Each side must keep at least one entry, so that
    // no page of the tree is ever empty.
    const std::uint32_t count = page->count;
    const bool leaf = page->isLeaf != 0;
    const std::uint32_t first = leaf ? 1 : 2;
    const std::uint32_t last = count - 1;
    if (count < 2 || first > last) return 0;
    const std::uint32_t slotSize = SlotSize(page);
    const std::uint64_t capacity = format.pageSize - PAGE_HEADER_SIZE - (leaf ? 0 : CHILD_SIZE);
    std::uint64_t total = 0;
    for (std::uint32_t i = 1; i <= count; ++i) total += StoredLength(page, i) + slotSize;
    std::uint32_t best = 0;
    std::uint64_t bestGap = 0;
    // before: the footprint of the entries in front of entry m.
    std::uint64_t before = 0;
    for (std::uint32_t m = 1; m <= last; ++m) {
        const std::uint64_t entry = StoredLength(page, m) + slotSize;
        if (m >= first) {
            const bool incomingLeft = position < m;
            const std::uint64_t left = (leaf ? before + entry : before) + (incomingLeft ? need : 0);
            const std::uint64_t right = total - before - entry + (incomingLeft ? 0 : need);
            const std::uint64_t gap = left > right ? left - right : right - left;
            if ((incomingLeft ? left : right) <= capacity && (best == 0 || gap < bestGap)) {
                best = m;
                bestGap = gap;
            }
        }
        before += entry;
    }
    return best;
}

std::uint32_t PageLayout::FindLargestRecord(const PageHeader* page, const Record& r) const {
    // The number of entries Less than r: entries 1..lo are, entries past hi
    // are not. The page's shape is read once: Less may be any code, so the
    // compiler cannot keep it in registers across the calls by itself.
    const unsigned char* bytes = Bytes(page);
    const unsigned char* slots = bytes + format.pageSize;
    const std::uint32_t slotSize = SlotSize(page);
    const bool withValue = CarriesValue(page);
    const bool fixedKey = format.fixedKeySize;
    const bool fixedValue = format.fixedValueSize;
    const std::uint32_t keySize = format.owner->KeySize();
    const std::uint32_t valueSize = format.owner->ValueSize();
    const auto less = format.less;
    const bool byteOrder = ByteOrder();
    const void* context = format.context;
    const bool prefixed = byteOrder && r.keyLength >= 8;
    const std::uint64_t rPrefix = prefixed ? KeyPrefix(r.key) : 0;
    std::uint32_t lo = 0;
    std::uint32_t hi = page->count;
    // The entries of a page lie far apart: each probe is likely a cache
    // miss. The two entries the next probe may read are fetched meanwhile.
    // The slot directory is small and every probe reads it: all of it is
    // fetched at once rather than one miss per probe.
    const std::uint32_t directory = slotSize * hi;
    if (directory <= 64 * 64)
        for (std::uint32_t b = 0; b < directory; b += 64) __builtin_prefetch(slots - directory + b);
    auto prefetch = [&](std::uint32_t k) {
        // An entry that starts late in a cache line spills its next length
        // word into the following line.
        const unsigned char* entry = bytes + Read32(slots - slotSize * k);
        __builtin_prefetch(entry);
        __builtin_prefetch(entry + 32);
    };
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo + 1) / 2;
        if (mid < hi) prefetch(mid + (hi - mid + 1) / 2);
        if (lo + 1 < mid) prefetch(lo + (mid - lo) / 2);
        std::uint32_t at = Read32(slots - slotSize * mid);
        Record x{nullptr, 0, nullptr, 0};
        x.keyLength = TakeLength(bytes, at, fixedKey, &keySize);
        x.key = bytes + at;
        bool xLess;
        if (byteOrder) {
            // The key alone decides, and most keys differ in their first
            // eight bytes: those are compared as one number. (A shorter key
            // takes r's prefix, so the bytes decide.)
            const std::uint64_t prefix = prefixed && x.keyLength >= 8 ? KeyPrefix(x.key) : rPrefix;
            xLess = prefix != rPrefix ? prefix < rPrefix : KeyBytesLess(context, x, r);
        } else {
            if (withValue) {
                at += x.keyLength;
                x.valueLength = TakeLength(bytes, at, fixedValue, &valueSize);
                x.value = bytes + at;
            }
            xLess = less(context, x, r);
        }
        if (xLess)
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

}  // namespace TamBTree
