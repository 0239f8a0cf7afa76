// The trees the benchmark stores, through the two ways a client reaches the
// library: byte-string keys ordered by memcmp and then by length, values of
// any length, one record per key. Both read and write the same file format.
#pragma once

#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "BTreeTestAccess.h"
#include "Bench.h"
#include "ByteTree.h"
#include "TamBTree.h"

namespace TamBench {

// The derived-tree path: a client's own tree on BTree's protected operations.
// Stores go through the single-descent upsert, as a client's put would.
class BenchTree : public TamBTree::BTree {
public:
    BenchTree(const std::string& path, std::uint32_t cacheBytes)
        : BTree(path, false, false, true, false, TamBTree::PAGE_SIZE, cacheBytes, false, false) {
        // Less below is the byte order, so searches may compare keys inline.
        UseByteOrder();
    }

    // The file opened read-only, as a reader in another process opens it while
    // a writer holds the file.
    struct ReadOnly {};
    BenchTree(const std::string& path, std::uint32_t cacheBytes, ReadOnly)
        : BTree(path, false, false, true, false, TamBTree::PAGE_SIZE, cacheBytes, true, false,
                OpenOnly) {
        UseByteOrder();
    }

    // The last commit, read-only, as a tree of this type; any thread may take
    // one while the tree's thread writes.
    std::unique_ptr<BenchTree> TakeSnapshot() const {
        return std::unique_ptr<BenchTree>(new BenchTree(SnapshotOf{*this}));
    }

    // Stores the record; true when it was added, false when a value was replaced.
    bool Put(const Key& key, const unsigned char* value) {
        return InsertOrAssign(Make(key, value)).second;
    }
    bool Get(const Key& key, std::uint64_t& sink) {
        const TamBTree::BTreeIterator it = Find(Make(key, nullptr));
        if (it.IsEnd()) return false;
        const Record r = GetRecord(it.GetCurrentPage(), it.GetCurrentRecord());
        Keep(r.value, r.valueLength, sink);
        return true;
    }
    void Delete(const Key& key) {
        const TamBTree::BTreeIterator it = Find(Make(key, nullptr));
        if (it.IsEnd()) throw std::runtime_error("a stored key was not found");
        bool nextValid;
        TamBTree::BTreeIterator next;
        BTree::Erase(it, nextValid, next);
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
    // A snapshot's tree has a core of its own, which learns the order anew.
    explicit BenchTree(SnapshotOf of) : BTree(of) { UseByteOrder(); }

    static Record Make(const Key& key, const unsigned char* value) {
        return Record{key.bytes, KEY_SIZE, value, value ? VALUE_SIZE : 0};
    }
    void Read(const TamBTree::BTreeIterator& it, std::uint64_t& sink) const {
        const Record r = GetRecord(it.GetCurrentPage(), it.GetCurrentRecord());
        TouchRecord(r.key, r.keyLength, r.value, r.valueLength, sink);
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

// The ready-made path: ByteTree as a client uses it, with string views in,
// std::string values out and range-for over cursors.
class BenchByteTree {
public:
    BenchByteTree(const std::string& path, std::uint32_t cacheBytes)
        : tree(path, Options(cacheBytes)) {}

    bool Put(const Key& key, const unsigned char* value) {
        return tree.Put(View(key),
                        std::string_view(reinterpret_cast<const char*>(value), VALUE_SIZE));
    }
    bool Get(const Key& key, std::uint64_t& sink) const { return GetFrom(tree, key, sink); }
    // A look-up through a snapshot, as through the tree.
    static bool Get(const TamBTree::ByteTree::Snapshot& snapshot, const Key& key,
                    std::uint64_t& sink) {
        return GetFrom(snapshot, key, sink);
    }
    void Delete(const Key& key) {
        if (tree.Erase(View(key)) != 1) throw std::runtime_error("a stored key was not found");
    }
    std::uint64_t Scan(bool forward, std::uint64_t& sink) const {
        std::uint64_t n = 0;
        if (forward) {
            for (const TamBTree::ByteTree::Entry record : tree) {
                Read(record, sink);
                ++n;
            }
        } else {
            for (const TamBTree::ByteTree::Entry record : tree.Reversed()) {
                Read(record, sink);
                ++n;
            }
        }
        return n;
    }
    void Commit() { tree.Commit(); }
    TamBTree::ByteTree& Tree() { return tree; }
    const TamBTree::ByteTree& Tree() const { return tree; }

private:
    template <class Source>
    static bool GetFrom(const Source& source, const Key& key, std::uint64_t& sink) {
        const std::optional<std::string> value = source.Get(View(key));
        if (!value) return false;
        Touch(reinterpret_cast<const unsigned char*>(value->data()),
              static_cast<std::uint32_t>(value->size()), sink);
        return true;
    }
    static TamBTree::ByteTree::Options Options(std::uint32_t cacheBytes) {
        TamBTree::ByteTree::Options o;
        o.cacheSize = cacheBytes;
        return o;
    }
    static std::string_view View(const Key& key) {
        return std::string_view(reinterpret_cast<const char*>(key.bytes), KEY_SIZE);
    }
    static void Read(const TamBTree::ByteTree::Entry& record, std::uint64_t& sink) {
        TouchRecord(record.first.data(), record.first.size(), record.second.data(),
                    record.second.size(), sink);
    }

    TamBTree::ByteTree tree;
};

}  // namespace TamBench
