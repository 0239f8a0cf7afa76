// The module's tree: the integer orders, and the erasure of one record.
#include "OrderedTree.h"

#include <algorithm>
#include <string>

namespace TamPy {

namespace {

std::uint64_t ReadLittleEndian(const unsigned char* p, std::uint32_t width) {
    std::uint64_t v = 0;
    for (std::uint32_t i = width; i-- > 0;) v = v << 8 | p[i];
    return v;
}

bool BytesLess(const unsigned char* a, std::size_t aLength, const unsigned char* b,
               std::size_t bLength) {
    const int c = std::char_traits<char>::compare(reinterpret_cast<const char*>(a),
                                                  reinterpret_cast<const char*>(b),
                                                  std::min(aLength, bLength));
    return c != 0 ? c < 0 : aLength < bLength;
}

bool RawLess(Order order, const unsigned char* a, std::size_t aLength, const unsigned char* b,
             std::size_t bLength) {
    const std::uint32_t w = KeyWidth(order);
    if (w == 0) return BytesLess(a, aLength, b, bLength);
    if (aLength != bLength) return aLength < bLength;
    if (aLength != w) return BytesLess(a, aLength, b, bLength);
    const std::uint64_t x = ReadLittleEndian(a, w), y = ReadLittleEndian(b, w);
    if (order == Order::I64) return static_cast<std::int64_t>(x) < static_cast<std::int64_t>(y);
    return x < y;
}

const unsigned char* Bytes(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

std::uint32_t KeyWidth(Order order) {
    switch (order) {
        case Order::U32:
            return 4;
        case Order::U64:
        case Order::I64:
            return 8;
        case Order::Bytes:
            break;
    }
    return 0;
}

bool KeyLess(Order order, std::string_view a, std::string_view b) {
    return RawLess(order, Bytes(a), a.size(), Bytes(b), b.size());
}

OrderedTree::OrderedTree(const std::string& path, const Options& options, Order keyOrder)
    : ByteTree(path, options), order(keyOrder) {
    if (order == Order::Bytes) UseByteOrder();
}

OrderedTree::OrderedTree(SnapshotOf of, Order keyOrder) : ByteTree(of), order(keyOrder) {
    if (order == Order::Bytes) UseByteOrder();
}

std::unique_ptr<TamBTree::ByteTree> OrderedTree::SnapshotView() const {
    return Snapshot();
}

std::unique_ptr<OrderedTree> OrderedTree::Snapshot() const {
    return std::unique_ptr<OrderedTree>(new OrderedTree(SnapshotOf{*this}, order));
}

bool OrderedTree::Less(const Record& a, const Record& b) const {
    if (order == Order::Bytes) return ByteTree::Less(a, b);
    return RawLess(order, a.key, a.keyLength, b.key, b.keyLength);
}

bool OrderedTree::TakeFirst(std::string_view key, std::string& value) {
    TamBTree::BTreeIterator at;
    {
        // The bracket keeps the page mapped while its value is copied; it is
        // closed before the erase, which secures room only outside one.
        TamBTree::CacheOperation bracket(this);
        at = BTree::Find(MakeKey(key));
        if (at.IsEnd()) return false;
        const Record r = GetRecord(at.GetCurrentPage(), at.GetCurrentRecord());
        if (r.value)
            value.assign(reinterpret_cast<const char*>(r.value), r.valueLength);
        else
            value.clear();
    }
    bool nextValid = false;
    TamBTree::BTreeIterator next;
    BTree::Erase(at, nextValid, next);
    return true;
}

}  // namespace TamPy
