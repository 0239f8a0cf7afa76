// Holds an operation bracket open on a tree for its lifetime: no view is
// unmapped while it lives, so records from GetRecord and the pages behind
// iterators stay valid. Writes inside it take no headroom before they start,
// as an outermost write does: the file grows as their pages need it.
#pragma once

#include "BTreeExport.h"

namespace TamBTree {

class BTree;

class TAMBTREE_API CacheOperation {
public:
    explicit CacheOperation(const BTree* tree);
    ~CacheOperation();
    CacheOperation(const CacheOperation&) = delete;
    CacheOperation& operator=(const CacheOperation&) = delete;

private:
    const BTree* tree;
};

}  // namespace TamBTree

// The constructor and destructor are inline, defined after the tree.
#include "BTree.h"
