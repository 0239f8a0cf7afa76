// A snapshot of a Python Tree: the last commit when it was taken, read-only
// and never changing, for reading on any Python thread while the tree's owner
// writes. Its reads are the tree's own (Reads.h).
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "Guarded.h"
#include "OrderedTree.h"

namespace TamPy {

class TreeHandle;

// Contract: `source` is a read-only tree over one commit; it is dropped at
// close() (or when the last Python reference goes), which lets the tree reuse
// the pages it held. Two threads using one snapshot are serialized.
class SnapshotHandle : public Guarded<OrderedTree> {
public:
    // Takes the snapshot under the tree's mutex, the GIL released.
    explicit SnapshotHandle(TreeHandle& tree);
    [[noreturn]] void RaiseClosed() const override;
    void Close();

    const std::string path;
};

}  // namespace TamPy
