// A tree for tests: byte-string keys ordered by memcmp then length, values
// compared the same way when duplicates are allowed; every protected
// operation made public.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TamBTree.h"

namespace TamBTreeTest {

struct Options {
    bool allowDuplicates = false;
    bool fixedKeySize = false;
    bool hasValue = true;
    bool fixedValueSize = false;
    std::uint32_t keySize = 0;
    std::uint32_t valueSize = 0;
    std::uint32_t cacheSize = 16 * 65536;
    bool readOnly = false;
    bool deleteOnDestroy = false;
};

inline int CompareBytes(const unsigned char* a, std::uint32_t an, const unsigned char* b,
                        std::uint32_t bn) {
    const int c = std::memcmp(a, b, an < bn ? an : bn);
    if (c != 0) return c;
    return an < bn ? -1 : (an > bn ? 1 : 0);
}

class TestTree : public TamBTree::BTree {
public:
    explicit TestTree(const std::string& path, const Options& o = Options())
        : BTree(path, o.allowDuplicates, o.fixedKeySize, o.hasValue, o.fixedValueSize, 65536,
                o.cacheSize, o.readOnly, o.deleteOnDestroy) {
        keySize = o.keySize;
        valueSize = o.valueSize;
    }

    using BTree::Add;
    using BTree::Begin;
    using BTree::Clear;
    using BTree::Count;
    using BTree::End;
    using BTree::Erase;
    using BTree::Find;
    using BTree::FindEx;
    using BTree::Insert;
    using BTree::LowerBound;
    using BTree::Remove;
    using BTree::Size;
    using BTree::Update;
    using BTree::UpperBound;

    static Record Make(const std::string& key, const std::string& value) {
        return Record{reinterpret_cast<const unsigned char*>(key.data()),
                      static_cast<std::uint32_t>(key.size()),
                      reinterpret_cast<const unsigned char*>(value.data()),
                      static_cast<std::uint32_t>(value.size())};
    }
    static Record MakeKey(const std::string& key) {
        return Record{reinterpret_cast<const unsigned char*>(key.data()),
                      static_cast<std::uint32_t>(key.size()), nullptr, 0};
    }

    std::pair<TamBTree::BTreeIterator, bool> Put(const std::string& key, const std::string& value) {
        return Insert(Make(key, value));
    }
    std::string KeyAt(const TamBTree::BTreeIterator& it) const {
        const Record r = GetRecord(it.GetCurrentPage(), it.GetCurrentRecord());
        return std::string(reinterpret_cast<const char*>(r.key), r.keyLength);
    }
    std::string ValueAt(const TamBTree::BTreeIterator& it) const {
        const Record r = GetRecord(it.GetCurrentPage(), it.GetCurrentRecord());
        return r.value ? std::string(reinterpret_cast<const char*>(r.value), r.valueLength)
                       : std::string();
    }

protected:
    bool Less(const Record& a, const Record& b) const override {
        const int c = CompareBytes(a.key, a.keyLength, b.key, b.keyLength);
        return c < 0;
    }
};

// A directory that is removed with everything in it.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/tambtree-test-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string File(const std::string& name) const { return path + "/" + name; }
    const std::string& Path() const { return path; }

private:
    std::string path;
};

}  // namespace TamBTreeTest
