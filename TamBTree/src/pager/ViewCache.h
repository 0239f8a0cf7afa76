// The cache of mapped page views. Entries are kept in use order (least recent
// first); the map has one key per view offset ever cached, and a removed entry
// leaves its key behind with no entry attached, so that the views of a working
// set that come and go do not rehash the map.
//
// Invariants: `count` equals the number of entries on the list and of map
// keys with an entry; every entry's offset is a multiple of the granularity.
// Only page views enter the cache; page-index and system-block views never do.
#pragma once

#include <cstdint>
#include <functional>
#include <unordered_map>

#include "TamMem.h"

namespace TamBTree {

// One cached view, linked in use order.
struct ViewCacheEntry : TamMem::PoolObject {
    ViewCacheEntry* previous;
    ViewCacheEntry* next;
    std::uint64_t offset;
    unsigned char* address;
};

class ViewCache : public TamMem::PoolObject {
public:
    using Entry = ViewCacheEntry;

    ViewCache() = default;
    ~ViewCache() { ClearViews(); }
    ViewCache(const ViewCache&) = delete;
    ViewCache& operator=(const ViewCache&) = delete;

    // A live entry for `offset` becomes the most recent and its address is
    // returned through `address`; otherwise an entry for the given address is
    // created at the most-recent end. Returns the entry.
    Entry* TouchView(std::uint64_t offset, unsigned char*& address);
    // The live entry for `offset`, made most recent; null when none.
    Entry* Find(std::uint64_t offset);
    // Makes a live entry the most recent.
    void Touch(Entry* entry) {
        if (entry != mostRecent) {
            Unlink(entry);
            Append(entry);
        }
    }
    // Whether a live entry exists for `offset` (use order unchanged).
    bool Contains(std::uint64_t offset) const;
    // Destroys the live entry for `offset`, returning its address; false when
    // there is none. The caller releases the view.
    bool EraseView(std::uint64_t offset, unsigned char*& address);
    // Destroys the least recent entry, returning its offset; false when empty.
    bool EraseLeastRecent(std::uint64_t& offset);
    // Destroys every entry; the caller releases the views.
    void ClearViews();

    std::uint32_t Count() const { return count; }
    // Grows with every entry destroyed: an entry pointer or address taken
    // earlier is still live while this is unchanged.
    std::uint64_t Removals() const { return removals; }

private:
    // Hashed: a look-up on every page access must be cheap.
    using Map = std::unordered_map<std::uint64_t, Entry*, std::hash<std::uint64_t>,
                                   std::equal_to<std::uint64_t>,
                                   TamMem::PoolAllocator<std::pair<const std::uint64_t, Entry*>>>;
    void Unlink(Entry* entry) {
        (entry->previous ? entry->previous->next : leastRecent) = entry->next;
        (entry->next ? entry->next->previous : mostRecent) = entry->previous;
        entry->previous = entry->next = nullptr;
    }
    void Append(Entry* entry) {
        entry->previous = mostRecent;
        entry->next = nullptr;
        (mostRecent ? mostRecent->next : leastRecent) = entry;
        mostRecent = entry;
    }
    void Destroy(Map::iterator key);

    Entry* leastRecent = nullptr;
    Entry* mostRecent = nullptr;
    std::uint32_t count = 0;
    std::uint64_t removals = 0;
    Map map;
};

}  // namespace TamBTree
