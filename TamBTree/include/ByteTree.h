// A ready-made tree of byte-string keys and values. Keys are ordered by their
// bytes (unsigned, over the common prefix), then the shorter key first.
//
// Cursors copy the record they stand on, so their Key() and Value() views stay
// valid until the cursor moves or is destroyed, and the entries they hand out
// (*cursor) for as long as the entry is kept, whatever the tree maps or unmaps
// meanwhile. Like the tree's iterators, a cursor is meaningful only
// while the tree is unchanged: after Put, Insert, Erase, Rollback or Clear,
// position cursors again. Cursors and entries belong to the tree's thread:
// one thread at a time uses a tree and everything obtained from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "BTree.h"
#include "Transaction.h"

namespace TamBTree {

struct ByteTreeOptions {
    // Equal keys are stored side by side, the most recently inserted first.
    bool allowDuplicates = false;
    bool readOnly = false;
    // Open or create (the default), create only, or open only.
    BTree::OpenMode mode = BTree::OpenOrCreate;
    // The file is deleted when the tree is destroyed.
    bool temporary = false;
    // Bytes of mapped views the tree keeps.
    std::uint32_t cacheSize = 64 * PAGE_SIZE;
    // The record layout; it must match the layout the file was written with.
    std::uint32_t keySize = 0;    // 0: keys of any size
    std::uint32_t valueSize = 0;  // 0: values of any size
    bool values = true;           // false: records are keys alone
    // When commits reach the disk (see Durability), and what Deferred gathers
    // before it syncs by itself.
    Durability durability = Durability::Full;
    std::uint32_t syncEvery = DEFAULT_SYNC_EVERY;
    std::uint64_t syncBytes = DEFAULT_SYNC_BYTES;
};

class TAMBTREE_API ByteTree : public BTree {
public:
    using Options = ByteTreeOptions;
    // Commits or rolls back the tree's open transaction (see Transaction.h).
    using Transaction = TamBTree::Transaction;
    class Cursor;
    class Snapshot;

private:
    // A run of records that follow one another on a page, copied out of it
    // (each key followed by its value) into a buffer that only grows, and
    // shared by a cursor and the entries it handed out. The count of holders
    // is a plain integer: one thread at a time uses a tree and everything
    // obtained from it.
    struct RecordBytes {
        // One record of the run: where its key starts in `bytes`.
        struct Placed {
            std::size_t at;
            std::uint32_t keyLength;
            std::uint32_t valueLength;
        };
        std::unique_ptr<char[]> bytes;
        std::size_t capacity = 0;
        std::size_t used = 0;
        // In the order read: key order, or backward for a run read backward.
        std::vector<Placed> run;
        std::uint32_t holders = 1;
    };
    // Out of line: the compiler cannot follow the count across the inlined
    // holders and would take the last one's delete for a use after free.
    static void Free(RecordBytes* bytes) noexcept;
    // One holder's share of a RecordBytes; the last one deletes it.
    class RecordShare {
    public:
        RecordShare() = default;
        explicit RecordShare(RecordBytes* fresh) noexcept : bytes(fresh) {}
        RecordShare(const RecordShare& other) noexcept : bytes(other.bytes) {
            if (bytes) ++bytes->holders;
        }
        RecordShare(RecordShare&& other) noexcept : bytes(other.bytes) { other.bytes = nullptr; }
        RecordShare& operator=(RecordShare other) noexcept {
            std::swap(bytes, other.bytes);
            return *this;
        }
        ~RecordShare() {
            if (bytes && --bytes->holders == 0) Free(bytes);
        }
        RecordBytes* operator->() const noexcept { return bytes; }
        RecordBytes* get() const noexcept { return bytes; }
        explicit operator bool() const noexcept { return bytes != nullptr; }
        // No entry or cursor copy shares the bytes: they may be refilled.
        bool Alone() const noexcept { return bytes && bytes->holders == 1; }

    private:
        RecordBytes* bytes = nullptr;
    };

public:
    // A record as (key, value); binds as `auto [key, value]`. It shares the
    // bytes of the cursor that made it and keeps them alive, so its views stay
    // valid for as long as the entry exists, wherever the cursor moves.
    class Entry {
    public:
        std::string_view first;
        std::string_view second;

        Entry() = default;
        template <std::size_t I>
        std::string_view get() const noexcept {
            static_assert(I < 2, "an entry is (key, value)");
            return I == 0 ? first : second;
        }

    private:
        friend class Cursor;
        Entry(RecordShare keep, std::string_view key, std::string_view value)
            : first(key), second(value), bytes(std::move(keep)) {}
        RecordShare bytes;
    };

    // What operator-> returns: the entry held by value, so that it outlives the
    // cursor it came from (std::reverse_iterator steps a temporary copy).
    class EntryPointer {
    public:
        explicit EntryPointer(Entry e) : entry(std::move(e)) {}
        const Entry* operator->() const noexcept { return &entry; }

    private:
        Entry entry;
    };

    // What standard algorithms ask of a cursor. A cursor refills itself on
    // every step, so no reference into it could outlive a temporary copy: the
    // reference is the entry by value, which owns its share of the bytes. The
    // category still says bidirectional (as C++20's iterator concepts allow for
    // a value reference), so std::prev, std::advance and std::reverse_iterator
    // step backward.
    struct CursorTypes {
        using iterator_category = std::bidirectional_iterator_tag;
        using iterator_concept = std::bidirectional_iterator_tag;
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using pointer = EntryPointer;
        using reference = Entry;
    };

    // A position in key order that holds a copy of its record. A cursor that
    // keeps stepping copies the records ahead of it on the same page too, so
    // that most steps copy nothing: longer runs the longer it walks, re-read
    // whenever the tree may have changed. Copies of a cursor share those
    // copies until one of them leaves the run.
    class TAMBTREE_API Cursor : public CursorTypes {
    public:
        Cursor() = default;

        bool IsEnd() const { return position.IsEnd(); }
        // Empty at the end position and in trees without values. The views
        // stay valid until the cursor moves or is destroyed.
        std::string_view Key() const {
            if (!record) return std::string_view();
            const RecordBytes::Placed& r = record->run[runIndex];
            return std::string_view(record->bytes.get() + r.at, r.keyLength);
        }
        std::string_view Value() const {
            if (!record) return std::string_view();
            const RecordBytes::Placed& r = record->run[runIndex];
            return std::string_view(record->bytes.get() + r.at + r.keyLength, r.valueLength);
        }
        Entry operator*() const { return Entry(record, Key(), Value()); }
        EntryPointer operator->() const { return EntryPointer(**this); }

        // The order is circular through the end position: stepping back from
        // the first record gives the end, and back from the end the last
        // record. Stepping forward from the end stays at the end.
        Cursor& operator++();
        Cursor& operator--();
        Cursor operator++(int);
        Cursor operator--(int);

        bool operator==(const Cursor& other) const { return position == other.position; }
        bool operator!=(const Cursor& other) const { return !(position == other.position); }

    private:
        friend class ByteTree;
        Cursor(const ByteTree* tree, const BTreeConstIterator& position);
        // Steps by `step` (1, -1 or 0) to the record it copied before or, when
        // that is not in the run, copies a new run from the record reached.
        void Move(int step);
        bool StepInRun(int step);
        static bool Take(void* bytes, const Record& r);

        const ByteTree* tree = nullptr;
        BTreeConstIterator position;
        // Null at the end position. Entries hold it too; while they do, a step
        // loads into fresh bytes rather than overwrite theirs.
        RecordShare record;
        // The record the cursor stands on within the run, the direction the
        // run was read in (1 or -1), the length of the next run to read, and
        // the tree's change count when the run was read.
        std::uint32_t runIndex = 0;
        int runStep = 1;
        std::uint32_t runWanted = 1;
        std::uint64_t runChanges = 0;
    };

    // Walks a Cursor backward: ++ goes to the previous record.
    class TAMBTREE_API ReverseCursor : public CursorTypes {
    public:
        ReverseCursor() = default;
        explicit ReverseCursor(Cursor base) : at(std::move(base)) {}

        bool IsEnd() const { return at.IsEnd(); }
        std::string_view Key() const { return at.Key(); }
        std::string_view Value() const { return at.Value(); }
        Entry operator*() const { return *at; }
        EntryPointer operator->() const { return at.operator->(); }
        const Cursor& Base() const { return at; }

        ReverseCursor& operator++() {
            --at;
            return *this;
        }
        ReverseCursor& operator--() {
            ++at;
            return *this;
        }
        ReverseCursor operator++(int) { return ReverseCursor(at--); }
        ReverseCursor operator--(int) { return ReverseCursor(at++); }
        bool operator==(const ReverseCursor& other) const { return at == other.at; }
        bool operator!=(const ReverseCursor& other) const { return at != other.at; }

    private:
        Cursor at;
    };

    // A pair of cursors for range-for.
    template <class C>
    class Range {
    public:
        Range(C from, C to) : first(std::move(from)), last(std::move(to)) {}
        const C& begin() const { return first; }
        const C& end() const { return last; }
        bool empty() const { return first == last; }

    private:
        C first;
        C last;
    };

    // Opens the tree file at `path`, creating an empty tree when none is there.
    explicit ByteTree(const std::string& path, const Options& options = Options());
    ~ByteTree() override;
    // Moving hands over the open file; cursors and transactions taken from
    // the source before the move are void.
    ByteTree(ByteTree&& other) noexcept = default;
    ByteTree& operator=(ByteTree&& other) noexcept = default;

    // Stores the record, replacing the value of the first record with an equal
    // key. True when a record was added, false when one was replaced.
    bool Put(std::string_view key, std::string_view value = {});
    // Stores the record unless an equal key is stored and duplicates are not
    // allowed. True when it was stored.
    [[nodiscard]] bool Insert(std::string_view key, std::string_view value = {});
    // The value of the first record with the key.
    [[nodiscard]] std::optional<std::string> Get(std::string_view key) const;
    [[nodiscard]] bool Contains(std::string_view key) const;
    // Erases every record with the key; returns how many there were.
    [[nodiscard]] std::uint32_t Erase(std::string_view key);

    // The first record with the key, or end().
    Cursor Find(std::string_view key) const;
    // The first record whose key is not less than `key`, or end().
    Cursor LowerBound(std::string_view key) const;
    // The first record whose key is greater than `key`, or end().
    Cursor UpperBound(std::string_view key) const;
    Cursor begin() const;
    Cursor end() const;

    // Every record in key order.
    Range<Cursor> Records() const { return Range<Cursor>(begin(), end()); }
    // The records with keys in [from, to), in key order or backward.
    Range<Cursor> Records(std::string_view from, std::string_view to) const;
    // The records with keys from `from` on, to the end.
    Range<Cursor> Records(std::string_view from) const;
    Range<ReverseCursor> Reversed() const;
    Range<ReverseCursor> Reversed(std::string_view from, std::string_view to) const;
    // The records with keys not greater than `key`, backward to the first.
    Range<ReverseCursor> ReversedFrom(std::string_view key) const;

    using BTree::Size;
    bool Empty() const { return Size() == 0; }

    // The last commit, frozen, for reading on any thread (see Snapshot). Any
    // thread may call it at any moment, also while the tree's own thread
    // writes or commits.
    Snapshot TakeSnapshot() const;

    // Commits every change since the last commit in one call (CommitNow),
    // durable as the durability mode says. A file opened with a pre-committed
    // transaction waiting gets that transaction installed.
    void Commit();
    // Runs the full consistency check; throws BTreeException at the first fault.
    void Validate() { ValidateTree(); }

protected:
    // A snapshot's tree: read-only, showing the last commit of `of.source`.
    // A tree derived with an order of its own builds its SnapshotView with it.
    explicit ByteTree(SnapshotOf of);
    // The tree a snapshot reads: a read-only tree of this tree's own type over
    // its last commit. A ByteTree makes one of its own; a tree derived from it
    // overrides this (or TakeSnapshot refuses it: a plain ByteTree would read
    // with the wrong order).
    virtual std::unique_ptr<ByteTree> SnapshotView() const;

    bool Less(const Record& a, const Record& b) const override;
    // The key and value as a record in the tree's layout; refuses a record
    // larger than the tree can store.
    Record MakeRecord(std::string_view key, std::string_view value) const;
    Record MakeKey(std::string_view key) const;
    bool KeyLess(std::string_view a, std::string_view b) const;

private:
    // Searches compare key bytes themselves once the tree is known to be a
    // ByteTree and not a tree derived from it with an order of its own.
    void LearnOrder() const;

    bool values;
    mutable bool orderKnown = false;
};

// A read-only view of a tree's last commit that returned before it was taken:
// the tree's read operations, with the same cursors and entries. The open
// transaction's changes and a pre-committed transaction still waiting are not
// in it, and it never changes, whatever the tree does meanwhile.
//
// One thread at a time uses a snapshot, any thread; snapshots on other threads
// read while the tree's thread writes and commits, and neither waits for the
// other. A snapshot may be moved (its cursors stay valid) and outlive its
// tree. While it lives, the pages it reads are not reused: hold snapshots for
// short, as a long-lived one makes the file grow.
class TAMBTREE_API ByteTree::Snapshot {
public:
    using Cursor = ByteTree::Cursor;
    using ReverseCursor = ByteTree::ReverseCursor;

    Snapshot(Snapshot&& other) noexcept = default;
    Snapshot& operator=(Snapshot&& other) noexcept = default;
    ~Snapshot();

    [[nodiscard]] std::optional<std::string> Get(std::string_view key) const {
        return view->Get(key);
    }
    [[nodiscard]] bool Contains(std::string_view key) const { return view->Contains(key); }
    std::uint32_t Size() const { return view->Size(); }
    bool Empty() const { return view->Empty(); }

    Cursor Find(std::string_view key) const { return view->Find(key); }
    Cursor LowerBound(std::string_view key) const { return view->LowerBound(key); }
    Cursor UpperBound(std::string_view key) const { return view->UpperBound(key); }
    Cursor begin() const { return view->begin(); }
    Cursor end() const { return view->end(); }

    Range<Cursor> Records() const { return view->Records(); }
    Range<Cursor> Records(std::string_view from) const { return view->Records(from); }
    Range<Cursor> Records(std::string_view from, std::string_view to) const {
        return view->Records(from, to);
    }
    Range<ReverseCursor> Reversed() const { return view->Reversed(); }
    Range<ReverseCursor> Reversed(std::string_view from, std::string_view to) const {
        return view->Reversed(from, to);
    }
    Range<ReverseCursor> ReversedFrom(std::string_view key) const {
        return view->ReversedFrom(key);
    }

private:
    friend class ByteTree;
    explicit Snapshot(std::unique_ptr<ByteTree> tree) : view(std::move(tree)) {}

    std::unique_ptr<ByteTree> view;
};

}  // namespace TamBTree

// Structured bindings take an entry apart as (key, value).
namespace std {
template <>
struct tuple_size<TamBTree::ByteTree::Entry> : integral_constant<size_t, 2> {};
template <size_t I>
struct tuple_element<I, TamBTree::ByteTree::Entry> {
    using type = string_view;
};
}  // namespace std
