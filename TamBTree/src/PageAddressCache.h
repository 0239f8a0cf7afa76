// Remembered page addresses: the fast path of mapping a page. A slot ties a
// page number to the address LoadPage last returned for it and to the view
// cache entry holding that view, stamped with the tree's page epoch.
//
// Invariant: a slot is trusted only while its stamp equals the current epoch.
// The epoch changes whenever a page may move or its view may go: a change to
// the changed-page map, a rewrite of the page index, and every removal from
// the view cache. A page reaches a slot only after LoadPage has checked it.
#pragma once

#include <cstdint>

#include "TamMem.h"
#include "ViewCache.h"

namespace TamBTree {

struct PageHeader;

class PageAddressCache : public TamMem::PoolObject {
public:
    PageHeader* Find(std::uint64_t n, std::uint64_t epoch, ViewCache::Entry*& entry) const {
        const Slot& slot = slots[n % SLOTS];
        if (slot.page == nullptr || slot.n != n || slot.epoch != epoch) return nullptr;
        entry = slot.entry;
        return slot.page;
    }
    void Remember(std::uint64_t n, std::uint64_t epoch, PageHeader* page, ViewCache::Entry* entry) {
        slots[n % SLOTS] = Slot{n, epoch, page, entry};
    }

private:
    // Direct-mapped by page number: the pages of one descent and of a scan
    // rarely share a slot, and a miss only costs the slow path.
    static constexpr std::uint32_t SLOTS = 256;
    struct Slot {
        std::uint64_t n;
        std::uint64_t epoch;
        PageHeader* page;
        ViewCache::Entry* entry;
    };
    Slot slots[SLOTS] = {};
};

}  // namespace TamBTree
