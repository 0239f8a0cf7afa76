// The tree object a core serves: the key and value sizes its client sets for
// fixed-size records (after the core is built, so they are read where the
// client keeps them), and the begin and end iterators that name the object.
// A moved tree is bound anew here, the one place that refers to the object.
#pragma once

#include <cstdint>

#include "BTree.h"

namespace TamBTree {

class TreeOwner {
public:
    void Bind(BTree* object, const std::uint32_t* key, const std::uint32_t* value) {
        tree = object;
        keySize = key;
        valueSize = value;
        begin = BTreeIterator(0, 1, tree);
        constBegin = BTreeConstIterator(0, 1, tree);
        end = BTreeIterator(NO_PAGE, 0, tree);
        constEnd = BTreeConstIterator(NO_PAGE, 0, tree);
    }

    BTree* Tree() const { return tree; }
    std::uint32_t KeySize() const { return *keySize; }
    std::uint32_t ValueSize() const { return *valueSize; }
    // Where the client keeps them: read only when the size is fixed.
    const std::uint32_t* KeySizeAt() const { return keySize; }
    const std::uint32_t* ValueSizeAt() const { return valueSize; }
    const BTreeIterator& Begin() const { return begin; }
    const BTreeIterator& End() const { return end; }
    const BTreeConstIterator& ConstBegin() const { return constBegin; }
    const BTreeConstIterator& ConstEnd() const { return constEnd; }

private:
    BTree* tree = nullptr;
    const std::uint32_t* keySize = nullptr;
    const std::uint32_t* valueSize = nullptr;
    BTreeIterator begin;
    BTreeIterator end;
    BTreeConstIterator constBegin;
    BTreeConstIterator constEnd;
};

}  // namespace TamBTree
