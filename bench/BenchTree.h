// The tree the benchmark stores: byte-string keys ordered by memcmp and then
// by length, values of any length, one record per key.
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>

#include "Bench.h"
#include "TamBTree.h"
#include "TreeCore.h"

namespace TamBTree {

// The tree's test-access door, used here only to read how many pages the open
// transaction has written (copied or created) so far.
class BTreeTestAccess {
public:
    static std::size_t ChangedPages(const BTree& tree) { return tree.core->changedPages.size(); }
};

}  // namespace TamBTree

namespace TamBench {

class BenchTree : public TamBTree::BTree {
public:
    BenchTree(const std::string& path, std::uint32_t cacheBytes)
        : BTree(path, false, false, true, false, TamBTree::PAGE_SIZE, cacheBytes, false, false) {}

    void Put(const Key& key, const unsigned char* value) {
        if (!Insert(Make(key, value)).second) throw std::runtime_error("duplicate key inserted");
    }
    bool Get(const Key& key, std::uint64_t& sink) {
        const TamBTree::BTreeIterator it = Find(Make(key, nullptr));
        if (it.IsEnd()) return false;
        Read(it, sink);
        return true;
    }
    void Replace(const Key& key, const unsigned char* value) {
        Update(Stored(key), Make(key, value));
    }
    void Delete(const Key& key) {
        bool nextValid;
        TamBTree::BTreeIterator next;
        BTree::Erase(Stored(key), nextValid, next);
    }
    std::uint64_t Scan(bool forward, std::uint64_t& sink) {
        TamBTree::CacheOperation bracket(this);
        return forward ? ScanForward(sink) : ScanBackward(sink);
    }

protected:
    bool Less(const Record& a, const Record& b) const override {
        const int c =
            std::memcmp(a.key, b.key, a.keyLength < b.keyLength ? a.keyLength : b.keyLength);
        return c != 0 ? c < 0 : a.keyLength < b.keyLength;
    }

private:
    static Record Make(const Key& key, const unsigned char* value) {
        return Record{key.bytes, KEY_SIZE, value, value ? VALUE_SIZE : 0};
    }
    TamBTree::BTreeIterator Stored(const Key& key) {
        const TamBTree::BTreeIterator it = Find(Make(key, nullptr));
        if (it.IsEnd()) throw std::runtime_error("a stored key was not found");
        return it;
    }
    void Read(const TamBTree::BTreeIterator& it, std::uint64_t& sink) const {
        const Record r = GetRecord(it.GetCurrentPage(), it.GetCurrentRecord());
        Touch(r.value, r.valueLength, sink);
    }
    std::uint64_t ScanForward(std::uint64_t& sink) {
        std::uint64_t n = 0;
        for (TamBTree::BTreeIterator it = Begin(); !it.IsEnd(); ++it, ++n) Read(it, sink);
        return n;
    }
    std::uint64_t ScanBackward(std::uint64_t& sink) {
        std::uint64_t n = 0;
        TamBTree::BTreeIterator it = End();
        for (--it; !it.IsEnd(); --it, ++n) Read(it, sink);
        return n;
    }
};

}  // namespace TamBench
