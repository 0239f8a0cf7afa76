// Snapshots of a Python Tree.
#include "SnapshotHandle.h"

#include "TreeHandle.h"

namespace TamPy {

SnapshotHandle::SnapshotHandle(TreeHandle& tree)
    : Guarded(tree.settings.order), path(tree.settings.path) {
    Locked<OrderedTree> locked(tree);
    source = WithoutGil([&] { return locked->Snapshot(); });
}

void SnapshotHandle::RaiseClosed() const {
    throw py::value_error("the snapshot of " + path + " is closed");
}

void SnapshotHandle::Close() {
    std::unique_ptr<OrderedTree> dropped;
    {
        auto lock = Lock();
        dropped = TakeSource();
    }
    WithoutGil([&] { dropped.reset(); });
}

}  // namespace TamPy
