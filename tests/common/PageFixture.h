// Pages in memory for the page tests: a PageFormat filled by hand and 64 KiB
// buffers that stand for mapped pages.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PageLayout.h"

namespace PageTest {

using TamBTree::PageFormat;
using TamBTree::PageHeader;
using TamBTree::PageLayout;
using TamBTree::Record;

using TamBTree::PAGE_SIZE;

inline int CompareBytes(const unsigned char* a, std::uint32_t aLength, const unsigned char* b,
                        std::uint32_t bLength) {
    const std::uint32_t common = std::min(aLength, bLength);
    const int c = common ? std::memcmp(a, b, common) : 0;
    if (c != 0) return c;
    return aLength < bLength ? -1 : aLength > bLength ? 1 : 0;
}

// Keys bytewise, then their lengths; equal keys are ordered by their values.
inline bool RecordLess(const void*, const Record& a, const Record& b) {
    const int c = CompareBytes(a.key, a.keyLength, b.key, b.keyLength);
    if (c != 0) return c < 0;
    return CompareBytes(a.value, a.valueLength, b.value, b.valueLength) < 0;
}

struct Entry {
    std::string key;
    std::string value;
    bool operator==(const Entry& o) const { return key == o.key && value == o.value; }
};

inline const unsigned char* Data(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

class Pages {
public:
    Pages(bool fixedKey, bool hasValue, bool fixedValue, std::uint32_t fixedKeySize = 0,
          std::uint32_t fixedValueSize = 0)
        // Like the tree, sizes stay 0 unless they are fixed.
        : keySize(fixedKey ? fixedKeySize : 0), valueSize(fixedValue ? fixedValueSize : 0) {
        format = PageFormat{PAGE_SIZE,      fixedKey,         hasValue,   fixedValue,
                            &this->keySize, &this->valueSize, RecordLess, nullptr};
        layout = std::make_unique<PageLayout>(format);
    }

    PageHeader* NewPage(bool leaf, std::uint64_t number = 12) {
        buffers.emplace_back(new unsigned char[PAGE_SIZE]());
        auto* page = reinterpret_cast<PageHeader*>(buffers.back().get());
        page->pageNumber = number;
        Clear(page, leaf);
        return page;
    }
    static void Clear(PageHeader* page, bool leaf) {
        page->count = page->dataSize = 0;
        page->dataEnd = 48;
        page->directorySize = leaf ? 0 : 8;
        page->isLeaf = leaf ? 1 : 0;
    }

    Record ToRecord(const Entry& e) const {
        if (!format.hasValue) return Record{Data(e.key), std::uint32_t(e.key.size()), nullptr, 0};
        return Record{Data(e.key), std::uint32_t(e.key.size()), Data(e.value),
                      std::uint32_t(e.value.size())};
    }
    Entry Read(const PageHeader* page, std::uint32_t i) const {
        const Record r = layout->GetRecord(page, i);
        Entry e{std::string(reinterpret_cast<const char*>(r.key), r.keyLength), {}};
        if (r.value) e.value.assign(reinterpret_cast<const char*>(r.value), r.valueLength);
        return e;
    }
    // Entry i of the page equals e (cheaper than reading it into an Entry).
    bool Holds(const PageHeader* page, std::uint32_t i, const Entry& e) const {
        const Record r = layout->GetRecord(page, i);
        const std::uint32_t valueLength = r.value ? r.valueLength : 0;
        return CompareBytes(r.key, r.keyLength, Data(e.key), std::uint32_t(e.key.size())) == 0 &&
               CompareBytes(r.value, valueLength, Data(e.value), std::uint32_t(e.value.size())) ==
                   0;
    }
    std::uint32_t Stored(const Entry& e, bool leaf) const {
        std::uint32_t n = std::uint32_t(e.key.size()) + (format.fixedKeySize ? 0 : 4);
        if (leaf && format.hasValue)
            n += std::uint32_t(e.value.size()) + (format.fixedValueSize ? 0 : 4);
        return n;
    }

    std::uint32_t keySize;
    std::uint32_t valueSize;
    PageFormat format;
    std::unique_ptr<PageLayout> layout;

private:
    std::vector<std::unique_ptr<unsigned char[]>> buffers;
};

}  // namespace PageTest
