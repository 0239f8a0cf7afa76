// The view cache's entries: found, touched, created and destroyed.
#include "ViewCache.h"

namespace TamBTree {

ViewCache::Entry* ViewCache::TouchView(std::uint64_t offset, unsigned char*& address) {
    Map::iterator key = map.find(offset);
    if (key != map.end() && key->second) {
        Entry* entry = key->second;
        Touch(entry);
        address = entry->address;
        return entry;
    }
    Entry* entry = new Entry;
    entry->offset = offset;
    entry->address = address;
    if (key == map.end())
        map.emplace(offset, entry);
    else
        key->second = entry;
    Append(entry);
    ++count;
    return entry;
}

ViewCache::Entry* ViewCache::Find(std::uint64_t offset) {
    Map::iterator key = map.find(offset);
    if (key == map.end() || !key->second) return nullptr;
    Touch(key->second);
    return key->second;
}

bool ViewCache::Contains(std::uint64_t offset) const {
    Map::const_iterator key = map.find(offset);
    return key != map.end() && key->second;
}

void ViewCache::Destroy(Map::iterator key) {
    Entry* entry = key->second;
    Unlink(entry);
    delete entry;
    ++removals;
    key->second = nullptr;
    --count;
}

bool ViewCache::EraseView(std::uint64_t offset, unsigned char*& address) {
    Map::iterator key = map.find(offset);
    if (key == map.end() || !key->second) return false;
    address = key->second->address;
    Destroy(key);
    return true;
}

bool ViewCache::EraseLeastRecent(std::uint64_t& offset) {
    if (!leastRecent) return false;
    offset = leastRecent->offset;
    Destroy(map.find(offset));
    return true;
}

void ViewCache::ClearViews() {
    while (leastRecent) {
        Entry* entry = leastRecent;
        leastRecent = entry->next;
        delete entry;
    }
    mostRecent = nullptr;
    count = 0;
    ++removals;
    for (auto& key : map) key.second = nullptr;
}

}  // namespace TamBTree
