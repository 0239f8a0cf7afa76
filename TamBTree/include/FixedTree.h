// A ready-made tree of fixed-size keys and values with an ordered-map
// interface. Key and Value are trivially copyable and stored as their object
// bytes; the order is Compare on the decoded keys, so it must stay the same
// for the whole life of the file (and the file is only portable between
// machines with the same representation of Key and Value).
//
// Iterators yield std::pair<Key, Value> by value and, like the tree's own
// iterators, are meaningful only while the tree is unchanged: after insert,
// insert_or_assign, erase or Rollback use the iterators those calls return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>

#include "BTree.h"
#include "Transaction.h"

namespace TamBTree {

struct FixedTreeOptions {
    bool readOnly = false;
    // Open or create (the default), create only, or open only.
    BTree::OpenMode mode = BTree::OpenOrCreate;
    // The file is deleted when the tree is destroyed.
    bool temporary = false;
    // Bytes of mapped views the tree keeps.
    std::uint32_t cacheSize = 64 * PAGE_SIZE;
    // When commits reach the disk (see Durability), and what Deferred gathers
    // before it syncs by itself.
    Durability durability = Durability::Full;
    std::uint32_t syncEvery = DEFAULT_SYNC_EVERY;
    std::uint64_t syncBytes = DEFAULT_SYNC_BYTES;
};

template <class Key, class Value, class Compare = std::less<Key>>
class FixedTree : public BTree {
    static_assert(std::is_trivially_copyable<Key>::value, "FixedTree keys are copied as bytes");
    static_assert(std::is_trivially_copyable<Value>::value, "FixedTree values are copied as bytes");
    static_assert(std::is_default_constructible<Key>::value &&
                      std::is_default_constructible<Value>::value,
                  "FixedTree decodes into default-constructed objects");

public:
    using Options = FixedTreeOptions;
    using key_type = Key;
    using mapped_type = Value;
    using value_type = std::pair<Key, Value>;
    using size_type = std::size_t;
    using key_compare = Compare;
    // Commits or rolls back the tree's open transaction (see Transaction.h).
    using Transaction = TamBTree::Transaction;

    // What operator-> returns: the pair held by value, so that it outlives the
    // iterator it came from (std::reverse_iterator steps a temporary copy).
    class arrow_proxy {
    public:
        explicit arrow_proxy(const value_type& v) : held(v) {}
        const value_type* operator->() const noexcept { return &held; }

    private:
        value_type held;
    };

    // The reference is the pair by value: the iterator decodes its record on
    // every step, so a reference into it would dangle as soon as an adaptor
    // dereferences a temporary copy. The category still says bidirectional
    // (as C++20's iterator concepts allow for a value reference), so std::prev
    // and std::reverse_iterator step backward.
    class const_iterator {
    public:
        using iterator_category = std::bidirectional_iterator_tag;
        using iterator_concept = std::bidirectional_iterator_tag;
        using value_type = std::pair<Key, Value>;
        using difference_type = std::ptrdiff_t;
        using pointer = arrow_proxy;
        using reference = value_type;

        const_iterator() = default;

        value_type operator*() const { return current; }
        pointer operator->() const { return pointer(current); }

        // The order is circular through end(), as for the tree's iterators.
        const_iterator& operator++() {
            if (position.IsEnd()) return *this;
            ++position;
            Load();
            return *this;
        }
        const_iterator& operator--() {
            --position;
            Load();
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator copy(*this);
            ++*this;
            return copy;
        }
        const_iterator operator--(int) {
            const_iterator copy(*this);
            --*this;
            return copy;
        }
        bool operator==(const const_iterator& o) const { return position == o.position; }
        bool operator!=(const const_iterator& o) const { return !(position == o.position); }

    private:
        friend class FixedTree;
        const_iterator(const FixedTree* owner, const BTreeConstIterator& at)
            : tree(owner), position(at) {
            Load();
        }
        void Load() {
            if (position.IsEnd()) return;
            CacheOperation bracket(tree);
            const Record r =
                tree->GetRecord(position.GetCurrentPage(), position.GetCurrentRecord());
            tree->Decode(r, current);
        }

        const FixedTree* tree = nullptr;
        BTreeConstIterator position;
        value_type current{};
    };
    using iterator = const_iterator;
    using const_reverse_iterator = std::reverse_iterator<const_iterator>;
    using reverse_iterator = const_reverse_iterator;
    class Snapshot;

    explicit FixedTree(const std::string& path, const Options& options = Options(),
                       const Compare& order = Compare())
        : BTree(path, false, true, true, true, PAGE_SIZE, options.cacheSize, options.readOnly,
                options.temporary, options.mode),
          compare(order) {
        keySize = sizeof(Key);
        valueSize = sizeof(Value);
        if (options.durability != Durability::Full || options.syncEvery != DEFAULT_SYNC_EVERY ||
            options.syncBytes != DEFAULT_SYNC_BYTES)
            SetDurability(options.durability, options.syncEvery, options.syncBytes);
    }
    ~FixedTree() override = default;
    // Moving hands over the open file; iterators and transactions taken from
    // the source before the move are void.
    FixedTree(FixedTree&& other) noexcept = default;
    FixedTree& operator=(FixedTree&& other) noexcept = default;

    // Stores the pair unless its key is stored; the bool tells which.
    std::pair<iterator, bool> insert(const value_type& v) {
        const std::pair<BTreeIterator, bool> r = BTree::Insert(MakeRecord(v.first, v.second));
        return {At(r.first), r.second};
    }
    // Stores the pair or replaces the value of its key; true when stored anew.
    std::pair<iterator, bool> insert_or_assign(const Key& key, const Value& value) {
        const std::pair<BTreeIterator, bool> stored = BTree::InsertOrAssign(MakeRecord(key, value));
        return {At(stored.first), stored.second};
    }

    [[nodiscard]] iterator find(const Key& key) const {
        return iterator(this, BTree::Find(MakeKey(key)));
    }
    iterator lower_bound(const Key& key) const {
        return iterator(this, BTree::LowerBound(MakeKey(key)));
    }
    iterator upper_bound(const Key& key) const {
        return iterator(this, BTree::UpperBound(MakeKey(key)));
    }
    size_type count(const Key& key) const { return BTree::Find(MakeKey(key)).IsEnd() ? 0 : 1; }
    [[nodiscard]] bool contains(const Key& key) const { return count(key) != 0; }

    size_type erase(const Key& key) { return BTree::Erase(MakeKey(key)); }
    // Erases the record at `pos`; returns the iterator to the record after it.
    iterator erase(const_iterator pos) {
        const Key key = pos.current.first;
        bool nextValid = false;
        BTreeIterator next;
        BTree::Erase(
            BTreeIterator(pos.position.GetCurrentPage(), pos.position.GetCurrentRecord(), this),
            nextValid, next);
        // Rebalancing may have moved the following record: search for it.
        return nextValid ? At(next) : lower_bound(key);
    }

    iterator begin() const { return iterator(this, Begin()); }
    iterator end() const { return iterator(this, End()); }
    reverse_iterator rbegin() const { return reverse_iterator(end()); }
    reverse_iterator rend() const { return reverse_iterator(begin()); }
    size_type size() const { return Size(); }
    bool empty() const { return Size() == 0; }
    key_compare key_comp() const { return compare; }

    // Commits every change since the last commit in one call (CommitNow),
    // durable as the durability mode says. A file opened with a pre-committed
    // transaction waiting gets that transaction installed.
    void Commit() { CommitNow(); }
    // Runs the full consistency check; throws BTreeException at the first fault.
    void Validate() { ValidateTree(); }

    // The last commit, frozen, for reading on any thread (see Snapshot). Any
    // thread may call it at any moment, also while the tree's own thread
    // writes or commits.
    Snapshot take_snapshot() const;

protected:
    bool Less(const Record& a, const Record& b) const override {
        return compare(DecodeKey(a), DecodeKey(b));
    }

private:
    // A snapshot's tree: read-only, showing the last commit of `source`.
    explicit FixedTree(const FixedTree& source, SnapshotOf of)
        : BTree(of), compare(source.compare) {
        keySize = sizeof(Key);
        valueSize = sizeof(Value);
    }
    static Key DecodeKey(const Record& r) {
        Key k{};
        std::memcpy(&k, r.key, sizeof(Key));
        return k;
    }
    void Decode(const Record& r, value_type& v) const {
        // The sizes come from the file: check them before copying.
        if (r.keyLength != sizeof(Key) || r.valueLength != sizeof(Value) || !r.value)
            throw BTreeException(
                L"The B-Tree is invalid. A record does not have the tree's size. (" +
                Tam::FromMultiByte(GetPath()) + L")");
        std::memcpy(&v.first, r.key, sizeof(Key));
        std::memcpy(&v.second, r.value, sizeof(Value));
    }
    static Record MakeKey(const Key& key) {
        return Record{reinterpret_cast<const unsigned char*>(&key), sizeof(Key), nullptr, 0};
    }
    static Record MakeRecord(const Key& key, const Value& value) {
        return Record{reinterpret_cast<const unsigned char*>(&key), sizeof(Key),
                      reinterpret_cast<const unsigned char*>(&value), sizeof(Value)};
    }
    iterator At(const BTreeIterator& it) const { return iterator(this, BTreeConstIterator(it)); }

    Compare compare;
};

// A read-only view of a tree's last commit that returned before it was taken,
// with the tree's read operations and iterators; it never changes. One thread
// at a time uses it, any thread, while the tree's thread writes and commits.
// Movable (its iterators then are void); it may outlive its tree, and the
// pages it reads are not reused while it lives.
template <class Key, class Value, class Compare>
class FixedTree<Key, Value, Compare>::Snapshot {
public:
    using iterator = typename FixedTree::iterator;
    using reverse_iterator = typename FixedTree::reverse_iterator;
    using size_type = typename FixedTree::size_type;

    Snapshot(Snapshot&& other) noexcept = default;
    Snapshot& operator=(Snapshot&& other) noexcept = default;

    [[nodiscard]] iterator find(const Key& key) const { return view.find(key); }
    [[nodiscard]] bool contains(const Key& key) const { return view.contains(key); }
    size_type count(const Key& key) const { return view.count(key); }
    iterator lower_bound(const Key& key) const { return view.lower_bound(key); }
    iterator upper_bound(const Key& key) const { return view.upper_bound(key); }
    iterator begin() const { return view.begin(); }
    iterator end() const { return view.end(); }
    reverse_iterator rbegin() const { return view.rbegin(); }
    reverse_iterator rend() const { return view.rend(); }
    size_type size() const { return view.size(); }
    bool empty() const { return view.empty(); }

private:
    friend class FixedTree;
    explicit Snapshot(const FixedTree& source) : view(source, SnapshotOf{source}) {}

    FixedTree view;
};

template <class Key, class Value, class Compare>
typename FixedTree<Key, Value, Compare>::Snapshot FixedTree<Key, Value, Compare>::take_snapshot()
    const {
    return Snapshot(*this);
}

}  // namespace TamBTree
