// Remembered page addresses: the fast path of mapping a page. A slot ties a
// page number to the address LoadPage last returned for it and to the view
// cache entry holding that view, stamped with the tree's page epoch.
//
// Invariant: a slot is trusted only while its stamp equals the current epoch.
// The epoch changes whenever pages may move or their views may go: a removal
// from the changed-page map, a rewrite of the page index, and every removal
// from the view cache. A page given a new location is forgotten alone. A page
// reaches a slot only after LoadPage has checked it.
#pragma once

#include <cstdint>

#include "TamMem.h"
#include "ViewCache.h"

namespace TamBTree {

struct PageHeader;

class PageAddressCache : public TamMem::PoolObject {
public:
    // Room for about `pages` addresses (a power of two between 64 and 16384).
    explicit PageAddressCache(std::uint32_t pages) {
        while (mask + 1 < pages && mask + 1 < MAX_SLOTS) mask = mask * 2 + 1;
        slots = static_cast<Slot*>(TamMem::Allocate(sizeof(Slot) * (mask + 1)));
        for (std::uint32_t i = 0; i <= mask; ++i) slots[i] = Slot{0, 0, nullptr, nullptr, false};
    }
    ~PageAddressCache() { TamMem::Free(slots); }
    PageAddressCache(const PageAddressCache&) = delete;
    PageAddressCache& operator=(const PageAddressCache&) = delete;

    PageHeader* Find(std::uint64_t n, std::uint64_t epoch, ViewCache::Entry*& entry,
                     bool& writable) const {
        const Slot& slot = slots[n & mask];
        if (slot.page == nullptr || slot.n != n || slot.epoch != epoch) return nullptr;
        entry = slot.entry;
        writable = slot.writable;
        return slot.page;
    }
    void Forget(std::uint64_t n) {
        Slot& slot = slots[n & mask];
        if (slot.n == n) slot.page = nullptr;
    }
    void Remember(std::uint64_t n, std::uint64_t epoch, PageHeader* page, ViewCache::Entry* entry,
                  bool writable) {
        slots[n & mask] = Slot{n, epoch, page, entry, writable};
    }

private:
    // Direct-mapped by page number: sized like the view cache, the pages of a
    // working set rarely share a slot, and a miss only costs the slow path.
    static constexpr std::uint32_t MAX_SLOTS = 16384;
    struct Slot {
        std::uint64_t n;
        std::uint64_t epoch;
        PageHeader* page;
        ViewCache::Entry* entry;
        // Changed in the open transaction: written in place.
        bool writable;
    };
    std::uint32_t mask = 63;
    Slot* slots;
};

}  // namespace TamBTree
