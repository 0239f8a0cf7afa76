// Positions in key order. An iterator is (tree, leaf page number, record index
// counted from 1); the end position is (tree, NO_PAGE, 0). Iterators own
// nothing and stay meaningful only while the tree's structure is unchanged.
// Records are read through the tree (BTree::GetRecord).
#pragma once

#include <cstdint>

#include "BTreeExport.h"

namespace TamBTree {

class BTree;

// Marks a missing page: no sibling, no location, a freed page, the end
// iterator's page.
constexpr std::uint64_t NO_PAGE = ~static_cast<std::uint64_t>(0);

class TAMBTREE_API BTreeIterator {
public:
    BTreeIterator() = default;
    BTreeIterator(std::uint64_t pageNumber, std::uint32_t index, BTree* owner)
        : tree(owner), page(pageNumber), record(index) {}

    // Steps forward; the step after the last record is the end position.
    BTreeIterator& operator++();
    BTreeIterator operator++(int);
    // Steps backward; end steps to the last record and the first record steps
    // to end (the order is circular through the end position).
    BTreeIterator& operator--();
    BTreeIterator operator--(int);
    // Number of forward steps from `other` (at or before this) to this.
    std::uint32_t operator-(const BTreeIterator& other) const;

    bool operator==(const BTreeIterator& o) const {
        return tree == o.tree && page == o.page && record == o.record;
    }
    bool operator!=(const BTreeIterator& o) const { return !(*this == o); }

    std::uint64_t GetCurrentPage() const { return page; }
    std::uint32_t GetCurrentRecord() const { return record; }
    BTree* GetBTree() { return tree; }
    const BTree* GetBTree() const { return tree; }
    bool IsEnd() const { return page == NO_PAGE; }

private:
    friend class BTreeConstIterator;
    BTree* tree = nullptr;
    std::uint64_t page = 0;
    std::uint32_t record = 0;
};

class TAMBTREE_API BTreeConstIterator {
public:
    BTreeConstIterator() = default;
    BTreeConstIterator(std::uint64_t pageNumber, std::uint32_t index, const BTree* owner)
        : tree(owner), page(pageNumber), record(index) {}
    BTreeConstIterator(const BTreeIterator& it) : tree(it.tree), page(it.page), record(it.record) {}
    BTreeConstIterator& operator=(const BTreeIterator& it) {
        tree = it.tree;
        page = it.page;
        record = it.record;
        return *this;
    }

    BTreeConstIterator& operator++();
    BTreeConstIterator operator++(int);
    BTreeConstIterator& operator--();
    BTreeConstIterator operator--(int);
    std::uint32_t operator-(const BTreeConstIterator& other) const;

    bool operator==(const BTreeConstIterator& o) const {
        return tree == o.tree && page == o.page && record == o.record;
    }
    bool operator!=(const BTreeConstIterator& o) const { return !(*this == o); }

    std::uint64_t GetCurrentPage() const { return page; }
    std::uint32_t GetCurrentRecord() const { return record; }
    const BTree* GetBTree() const { return tree; }
    bool IsEnd() const { return page == NO_PAGE; }

private:
    const BTree* tree = nullptr;
    std::uint64_t page = 0;
    std::uint32_t record = 0;
};

}  // namespace TamBTree
