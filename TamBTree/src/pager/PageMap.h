// Pages changed in the open transaction: page number to new offset (the
// shadow locations). A removal advances the epoch, which voids remembered page
// addresses; an addition moves one page only, whose remembered address its
// caller forgets.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "TamMem.h"

namespace TamBTree {

class PageMap {
public:
    using Map = std::map<std::uint64_t, std::uint64_t, std::less<std::uint64_t>,
                         TamMem::PoolAllocator<std::pair<const std::uint64_t, std::uint64_t>>>;
    using const_iterator = Map::const_iterator;

    const_iterator find(std::uint64_t n) const { return map.find(n); }
    const_iterator lower_bound(std::uint64_t n) const { return map.lower_bound(n); }
    bool empty() const { return map.empty(); }
    const_iterator begin() const { return map.begin(); }
    const_iterator end() const { return map.end(); }
    std::size_t size() const { return map.size(); }
    void emplace(std::uint64_t n, std::uint64_t offset) { map.emplace(n, offset); }
    // Page n at `offset`, replacing an entry it had: the page moved.
    void Set(std::uint64_t n, std::uint64_t offset) {
        auto [at, added] = map.emplace(n, offset);
        if (!added) {
            ++epoch;
            at->second = offset;
        }
    }
    void erase(const_iterator at) {
        ++epoch;
        map.erase(at);
    }
    void erase(std::uint64_t n) {
        ++epoch;
        map.erase(n);
    }
    void clear() {
        ++epoch;
        map.clear();
    }
    std::uint64_t Epoch() const { return epoch; }

private:
    Map map;
    std::uint64_t epoch = 0;
};

}  // namespace TamBTree
