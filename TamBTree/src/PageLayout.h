// The byte layout of a page, the accessors that read it and the primitive
// edits of one mapped page. The code works on a page already mapped in memory;
// it never maps, allocates or frees pages. The byte layout itself is drawn in
// FileFormat.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "BTree.h"
#include "FileFormat.h"
#include "TreeOwner.h"

namespace TamBTree {

using Record = BTree::Record;

// The tree's settings that decide the layout, and its ordering. The fixed key
// and value sizes are read through the owner because a derived tree sets them
// after the base constructor has run.
struct PageFormat {
    std::uint32_t pageSize;
    bool fixedKeySize;
    bool hasValue;
    bool fixedValueSize;
    const TreeOwner* owner;
    bool (*less)(const void* context, const Record& a, const Record& b);
    const void* context;
    // The tree file's path, which damage reports name; none when null.
    const std::string* path = nullptr;
    // False for a snapshot's pages, which are only read: no scratch for edits.
    bool editable = true;
};

class PageLayout : public TamMem::PoolObject {
public:
    explicit PageLayout(const PageFormat& format);
    ~PageLayout();
    PageLayout(const PageLayout&) = delete;
    PageLayout& operator=(const PageLayout&) = delete;

    const PageFormat& Format() const { return format; }
    bool Less(const Record& a, const Record& b) const { return format.less(format.context, a, b); }
    // For a tree whose Less orders records by their keys' bytes alone: the
    // page code then compares keys itself instead of calling the tree.
    void UseByteOrder() { format.less = &KeyBytesLess; }
    bool ByteOrder() const { return format.less == &KeyBytesLess; }
    // Keys by their bytes (unsigned, over the common prefix), then the shorter
    // key first.
    static bool KeyBytesLess(const void*, const Record& a, const Record& b) {
        const std::uint32_t n = a.keyLength < b.keyLength ? a.keyLength : b.keyLength;
        const int c = n == 0 ? 0 : std::memcmp(a.key, b.key, n);
        return c < 0 || (c == 0 && a.keyLength < b.keyLength);
    }

    // Record access.
    void GetKeyInfo(const PageHeader* page, std::uint32_t i, std::uint32_t& offset,
                    std::uint32_t& size) const;
    void GetValueInfo(const PageHeader* page, std::uint32_t i, std::uint32_t& offset,
                      std::uint32_t& size) const;
    // Entry i (1..count); past the count, the empty record at dataEnd. Inline:
    // every comparison of a search reads one.
    Record GetRecord(const PageHeader* page, std::uint32_t i) const {
        const unsigned char* bytes = Bytes(page);
        const bool withValue = CarriesValue(page);
        if (i > page->count) {
            const unsigned char* end = bytes + page->dataEnd;
            return Record{end, 0, withValue ? end : nullptr, 0};
        }
        std::uint32_t at = EntryOffset(page, i);
        Record r{nullptr, 0, nullptr, 0};
        r.keyLength = TakeLength(bytes, at, format.fixedKeySize, format.owner->KeySizeAt());
        r.key = bytes + at;
        if (withValue) {
            at += r.keyLength;
            r.valueLength =
                TakeLength(bytes, at, format.fixedValueSize, format.owner->ValueSizeAt());
            r.value = bytes + at;
        }
        return r;
    }
    // Starts fetching the header and the slots nearest the end of the page,
    // where the directory begins, all at once: a search of the page would
    // otherwise wait for the header, then for the directory, before its first
    // probe.
    void Prefetch(const PageHeader* page) const {
        const unsigned char* bytes = Bytes(page);
        __builtin_prefetch(bytes);
        for (std::uint32_t b = 64; b <= 2048; b += 64)
            __builtin_prefetch(bytes + format.pageSize - b);
    }
    // How many entries ahead a walk through a page's slots fetches: far
    // enough that an entry arrives before the walk gets there.
    static constexpr std::uint32_t ENTRIES_AHEAD = 16;
    // Starts fetching entry i (1..count; any other i is ignored), so that a
    // scan's next records arrive while it copies the current one. Always
    // inlined: left out of line, the compiler takes a function whose only
    // effect is a prefetch for one without effects and drops the call.
    [[gnu::always_inline]] void PrefetchEntry(const PageHeader* page, std::uint32_t i) const {
        if (i == 0 || i > page->count) return;
        const unsigned char* entry = Bytes(page) + EntryOffset(page, i);
        __builtin_prefetch(entry);
        __builtin_prefetch(entry + 64);
        __builtin_prefetch(entry + 128);
    }
    std::uint64_t GetChild(const PageHeader* page, std::uint32_t i) const;
    void SetChild(PageHeader* page, std::uint32_t i, std::uint64_t child) const;
    std::uint32_t GetChildrenNumber(const PageHeader* page, std::uint64_t child) const;
    std::uint32_t GetRequiredRecordSpace(const PageHeader* page, const Record& r) const;
    std::uint32_t GetPageFreeSpace(const PageHeader* page) const;
    // Bytes the entry occupies in the record area (length words included).
    std::uint32_t StoredLength(const PageHeader* page, std::uint32_t i) const;

    // In-page editing. Callers make sure positions are in range and the entry
    // fits (GetRequiredRecordSpace <= GetPageFreeSpace).
    void InsertRecord(const Record& r, PageHeader* page, std::uint32_t i) const;
    void InsertRecord(const PageHeader* source, std::uint32_t i, PageHeader* destination,
                      std::uint32_t j) const;
    void DeleteRecord(PageHeader* page, std::uint32_t i) const;
    void MoveRecords(PageHeader* source, std::uint32_t first, std::uint32_t last,
                     PageHeader* destination, std::uint32_t j) const;
    void InsertKey(const Record& r, PageHeader* page, std::uint32_t j) const;
    void InsertKey(const PageHeader* source, std::uint32_t i, PageHeader* destination,
                   std::uint32_t j) const;
    void DeleteKey(PageHeader* page, std::uint32_t j) const;
    void MoveKeys(PageHeader* source, std::uint32_t first, std::uint32_t last,
                  PageHeader* destination, std::uint32_t j) const;
    void ReplaceKey(const PageHeader* source, std::uint32_t i, PageHeader* destination,
                    std::uint32_t j) const;
    void ShrinkPage(PageHeader* page) const;
    // The split point m of a full page that is to take an entry needing `need`
    // bytes (GetRequiredRecordSpace), `position` of whose entries are Less than
    // it: the entry goes to the left page iff position < m. Of the split points
    // that leave both pages non-empty and give the entry room on its side, the
    // one that divides the stored bytes (entries, length words and slots) most
    // evenly; 0 when there is none, which only a damaged page can cause.
    std::uint32_t FindMedianRecord(const PageHeader* page, std::uint32_t position,
                                   std::uint32_t need) const;
    std::uint32_t FindLargestRecord(const PageHeader* page, const Record& r) const;

    // Checks that the header of a page read from the file fits a page of this
    // size (isLeaf, count, directorySize, dataEnd, dataSize); throws
    // BTreeException("The B-Tree is invalid. ...") naming the page otherwise.
    void CheckPage(const PageHeader* page) const;
    // Checks that entry i (1..count) of a page that passed CheckPage lies
    // wholly inside [PAGE_HEADER_SIZE, dataEnd): its slot offset and its length words.
    void CheckEntry(const PageHeader* page, std::uint32_t i) const;
    // CheckEntry of every entry of the page.
    void CheckEntries(const PageHeader* page) const;

private:
    static const unsigned char* Bytes(const PageHeader* page) {
        return reinterpret_cast<const unsigned char*>(page);
    }
    static unsigned char* Bytes(PageHeader* page) { return reinterpret_cast<unsigned char*>(page); }
    static std::uint32_t SlotSize(const PageHeader* page) {
        return page->isLeaf ? LEAF_SLOT_SIZE : INTERNAL_SLOT_SIZE;
    }
    // The record-area offset that slot i holds.
    std::uint32_t EntryOffset(const PageHeader* page, std::uint32_t i) const {
        return Read32(Bytes(page) + format.pageSize - SlotSize(page) * i);
    }
    bool CarriesValue(const PageHeader* page) const { return format.hasValue && page->isLeaf; }
    // Whether entry i (1..count) of a page that passed CheckPage lies wholly
    // inside [PAGE_HEADER_SIZE, dataEnd). Each length word is read only once
    // it is known to lie before dataEnd.
    bool EntryInside(const PageHeader* page, std::uint32_t i) const {
        const std::uint64_t end = page->dataEnd;
        std::uint64_t at = EntryOffset(page, i);
        bool valid = at >= PAGE_HEADER_SIZE;
        auto take = [&](bool fixed, const std::uint32_t* fixedSize) {
            if (fixed)
                at += *fixedSize;
            else if (valid && at + LENGTH_SIZE <= end)
                at += std::uint64_t{LENGTH_SIZE} + Read32(Bytes(page) + at);
            else
                valid = false;
        };
        take(format.fixedKeySize, format.owner->KeySizeAt());
        if (CarriesValue(page)) take(format.fixedValueSize, format.owner->ValueSizeAt());
        return valid && at <= end;
    }
    // The length of the key or value at `at`: the fixed size, or the length
    // word there, which `at` then steps over.
    static std::uint32_t TakeLength(const unsigned char* bytes, std::uint32_t& at, bool fixed,
                                    const std::uint32_t* fixedSize) {
        if (fixed) return *fixedSize;
        const std::uint32_t length = Read32(bytes + at);
        at += LENGTH_SIZE;
        return length;
    }
    // Bytes in the record area of an entry with these key and value lengths.
    std::uint32_t StoredSize(std::uint32_t keyLength, bool withValue,
                             std::uint32_t valueLength) const;
    // Appends r's entry (making room first) and opens slot `slot` for it,
    // moving the `movedBytes` of directory below it down one slot.
    void PlaceEntry(PageHeader* page, const Record& r, bool withValue, std::uint32_t slotSize,
                    std::uint32_t slot, std::uint32_t movedBytes) const;
    // Removes the entry of slot `slot`, moving the `movedBytes` of directory
    // below it up one slot; its bytes become a hole.
    void DropEntry(PageHeader* page, std::uint32_t slotSize, std::uint32_t slot,
                   std::uint32_t movedBytes) const;
    // Writes the entry at dataEnd; returns its stored length.
    std::uint32_t AppendEntry(PageHeader* page, const Record& r, bool withValue) const;
    // r itself, or a copy in scratch when its bytes lie inside the page, which
    // compaction is about to rearrange.
    Record SetAside(const PageHeader* page, const Record& r) const;
    // Compacts the page when the gap at dataEnd cannot take r; returns the
    // record to write, which no longer points into the page if it moved.
    Record CompactFor(PageHeader* page, const Record& r) const;
    [[noreturn]] void ThrowDamaged(const PageHeader* page, const std::wstring& what) const;

    PageFormat format;
    // Two pages: the first holds a record being inserted while the page it
    // comes from is compacted, the second the entries being compacted.
    unsigned char* scratch;
};

}  // namespace TamBTree
