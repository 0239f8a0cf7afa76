// A ready-made tree of byte-string keys and values. Keys are ordered by their
// bytes (unsigned, over the common prefix), then the shorter key first.
//
// Cursors copy the record they stand on, so the views they hand out stay
// valid until the cursor moves or is destroyed, whatever the tree maps or
// unmaps meanwhile. Like the tree's iterators, a cursor is meaningful only
// while the tree is unchanged: after Put, Insert, Erase, Rollback or Clear,
// position cursors again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "BTree.h"

namespace TamBTree {

struct ByteTreeOptions {
    // Equal keys are stored side by side, the most recently inserted first.
    bool allowDuplicates = false;
    bool readOnly = false;
    // The file is deleted when the tree is destroyed.
    bool temporary = false;
    // Bytes of mapped views the tree keeps.
    std::uint32_t cacheSize = 64 * PAGE_SIZE;
    // The record layout; it must match the layout the file was written with.
    std::uint32_t keySize = 0;    // 0: keys of any size
    std::uint32_t valueSize = 0;  // 0: values of any size
    bool values = true;           // false: records are keys alone
};

class TAMBTREE_API ByteTree : public BTree {
public:
    using Options = ByteTreeOptions;
    // A record as (key, value); both views belong to the cursor that made it.
    using Entry = std::pair<std::string_view, std::string_view>;

    // What standard algorithms ask of a cursor.
    struct CursorTypes {
        using iterator_category = std::bidirectional_iterator_tag;
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using pointer = const Entry*;
        using reference = Entry;
    };

    // A position in key order that holds a copy of its record.
    class TAMBTREE_API Cursor : public CursorTypes {
    public:
        Cursor() = default;

        bool IsEnd() const { return position.IsEnd(); }
        // Empty at the end position and in trees without values.
        std::string_view Key() const { return key; }
        std::string_view Value() const { return value; }
        Entry operator*() const { return {Key(), Value()}; }

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
        using Buffer = std::basic_string<char, std::char_traits<char>, TamMem::PoolAllocator<char>>;

        Cursor(const ByteTree* tree, const BTreeConstIterator& position);
        void Load();

        const ByteTree* tree = nullptr;
        BTreeConstIterator position;
        Buffer key;
        Buffer value;
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
        const Cursor& Base() const { return at; }

        ReverseCursor& operator++() {
            --at;
            return *this;
        }
        ReverseCursor& operator--() {
            ++at;
            return *this;
        }
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

    // Stores the record, replacing the value of the first record with an equal
    // key. True when a record was added, false when one was replaced.
    bool Put(std::string_view key, std::string_view value = {});
    // Stores the record unless an equal key is stored and duplicates are not
    // allowed. True when it was stored.
    bool Insert(std::string_view key, std::string_view value = {});
    // The value of the first record with the key.
    std::optional<std::string> Get(std::string_view key) const;
    bool Contains(std::string_view key) const;
    // Erases every record with the key; returns how many there were.
    std::uint32_t Erase(std::string_view key);

    // The first record with the key, or end().
    Cursor Find(std::string_view key) const;
    // The first record whose key is not less than `key`, or end().
    Cursor LowerBound(std::string_view key) const;
    // The first record whose key is greater than `key`, or end().
    Cursor UpperBound(std::string_view key) const;
    Cursor begin() const;
    Cursor end() const;

    // The records with keys in [from, to), in key order or backward.
    Range<Cursor> Records(std::string_view from, std::string_view to) const;
    Range<ReverseCursor> Reversed() const;
    Range<ReverseCursor> Reversed(std::string_view from, std::string_view to) const;

    using BTree::Size;
    bool Empty() const { return Size() == 0; }

    // Makes every change since the last commit durable in one call
    // (CommitNow). A file opened with a pre-committed transaction waiting gets
    // that transaction installed.
    void Commit();
    // Runs the full consistency check; throws BTreeException at the first fault.
    void Validate() { ValidateTree(); }

protected:
    bool Less(const Record& a, const Record& b) const override;
    // The key and value as a record in the tree's layout; refuses a record
    // larger than the tree can store.
    Record MakeRecord(std::string_view key, std::string_view value) const;
    Record MakeKey(std::string_view key) const;
    bool KeyLess(std::string_view a, std::string_view b) const;

private:
    bool values;
};

}  // namespace TamBTree
