// The tree the Python module opens: a ByteTree whose keys are ordered by their
// bytes or, with fixed 4- or 8-byte keys, as little-endian integers. The
// tambtree tool opens the same files with --order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "ByteTree.h"

namespace TamPy {

enum class Order { Bytes, U32, U64, I64 };

// The key size an order needs; 0 for keys of any size.
std::uint32_t KeyWidth(Order order);

// True iff `a` orders before `b`. Keys of the order's width compare as
// integers; keys of other sizes only come from damaged files and compare by
// size first, so that the order stays strict.
bool KeyLess(Order order, std::string_view a, std::string_view b);

// Contract: a ByteTree with the order above, laid out as the tool lays out
// an --order file (integer keys have the fixed size of their width). A tree in
// byte order declares it, so that searches compare keys inline.
class OrderedTree : public TamBTree::ByteTree {
public:
    OrderedTree(const std::string& path, const Options& options, Order keyOrder);
    // A read-only tree over the last commit, in this tree's order, for
    // reading on any thread; any thread may call it at any moment.
    std::unique_ptr<OrderedTree> Snapshot() const;

    // Erases the first record with the key (the newest of equal keys) and
    // hands out its value; false when the key is not stored. ByteTree's Erase
    // takes every record of the key, which a duplicate tree's pop must not.
    bool TakeFirst(std::string_view key, std::string& value);

protected:
    bool Less(const Record& a, const Record& b) const override;
    std::unique_ptr<ByteTree> SnapshotView() const override;

private:
    OrderedTree(SnapshotOf of, Order keyOrder);
    Order order;
};

}  // namespace TamPy
