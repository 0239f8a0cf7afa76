// A tree for tests: byte-string keys ordered by memcmp, then by length; every
// protected operation made public. Also what the tree tests share: options
// per record layout, keys, seeded generators and scratch directories.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "BTreeTestAccess.h"
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
};

// A record layout; a size of 0 is variable.
inline Options Layout(bool duplicates, std::uint32_t keySize, bool hasValue,
                      std::uint32_t valueSize) {
    Options o;
    o.allowDuplicates = duplicates;
    o.fixedKeySize = keySize != 0;
    o.keySize = keySize;
    o.hasValue = hasValue;
    o.fixedValueSize = hasValue && valueSize != 0;
    o.valueSize = o.fixedValueSize ? valueSize : 0;
    return o;
}

inline Options ReadOnly() {
    Options o;
    o.readOnly = true;
    return o;
}

// The 8 digits of n padded with 'k' to `length` bytes: keys order as numbers.
inline std::string Key(std::uint32_t n, std::uint32_t length = 8) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08u", n);
    std::string key(digits);
    key.resize(length < 8 ? 8 : length, 'k');
    return key;
}

inline std::string Letters(std::mt19937& rng, std::uint32_t length) {
    std::string s(length, '\0');
    for (char& c : s) c = static_cast<char>('a' + rng() % 26);
    return s;
}

inline std::mt19937 SeededRng(unsigned seed) {
    std::printf("seed %u\n", seed);
    return std::mt19937(seed);
}

class TestTree : public TamBTree::BTree {
public:
    explicit TestTree(const std::string& path, const Options& o = Options())
        : BTree(path, o.allowDuplicates, o.fixedKeySize, o.hasValue, o.fixedValueSize, 65536,
                o.cacheSize, o.readOnly, false) {
        keySize = o.keySize;
        valueSize = o.valueSize;
    }

    using BTree::Begin;
    using BTree::Clear;
    using BTree::End;
    using BTree::Erase;
    using BTree::Find;
    using BTree::Insert;
    using BTree::LowerBound;
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
    // Every record, in iteration order.
    std::vector<std::pair<std::string, std::string>> Contents() {
        std::vector<std::pair<std::string, std::string>> all;
        for (TamBTree::BTreeIterator it = Begin(); it != End(); ++it)
            all.emplace_back(KeyAt(it), ValueAt(it));
        return all;
    }
    // The first difference between the records and `model`, a map or a
    // multimap in the tree's order; empty when they agree.
    template <class Model>
    std::string Difference(const Model& model) {
        const auto contents = Contents();
        if (Size() != model.size() || contents.size() != model.size())
            return "size " + std::to_string(Size()) + ", iterated " +
                   std::to_string(contents.size()) + ", expected " + std::to_string(model.size());
        std::size_t i = 0;
        for (const auto& entry : model) {
            if (contents[i].first != entry.first || contents[i].second != entry.second)
                return "record " + std::to_string(i) + " differs";
            ++i;
        }
        return std::string();
    }

protected:
    bool Less(const Record& a, const Record& b) const override {
        const int c = std::memcmp(a.key, b.key, std::min(a.keyLength, b.keyLength));
        return c < 0 || (c == 0 && a.keyLength < b.keyLength);
    }
};

// A directory that is removed with everything in it. In memory, when asked
// and the system has one: the crash tests flush thousands of times, and a
// disk would make each flush a real write.
class TempDir {
public:
    explicit TempDir(bool inMemory = false) {
        const bool shm = inMemory && ::access("/dev/shm", W_OK) == 0;
        std::string pattern = shm ? "/dev/shm/tambtree-test-XXXXXX" : "/tmp/tambtree-test-XXXXXX";
        path = ::mkdtemp(&pattern[0]) ? pattern : std::string();
    }
    ~TempDir() {
        if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
};

// A base file in memory and the copy of it that each run starts from.
struct BaseAndCopy {
    TempDir dir{true};
    std::string base = dir.File("base.bt");
    std::string path = dir.File("tree.bt");
    void Fresh() const {
        std::filesystem::copy_file(base, path, std::filesystem::copy_options::overwrite_existing);
    }
};

}  // namespace TamBTreeTest
