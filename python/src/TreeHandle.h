// The open tree behind a Python Tree object: its writes, transactions and
// maintenance. The reads are the templates of Reads.h.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "Guarded.h"
#include "OrderedTree.h"
#include "Settings.h"

namespace TamPy {

// Contract: one tree file opened with `settings`, shared by the Python Tree
// object and the iterators and transaction blocks taken from it, each call
// under the mutex (see Guarded.h). Every operation on a closed handle raises
// ValueError. A write voids the positions iterators hold; a commit does not.
// The handle knows whether anything was written since the last commit or
// rollback, which compact() must not lose.
class TreeHandle : public Guarded<OrderedTree> {
public:
    // Opens the file with the GIL released.
    explicit TreeHandle(const Settings& opened);
    ~TreeHandle() override;

    [[noreturn]] void RaiseClosed() const override;

    bool Put(py::handle key, py::handle value);
    bool Insert(py::handle key, py::handle value);
    // Erases every record of the key; KeyError when there is none.
    void Delete(py::handle key);
    // Erases the first record of the key and returns its value; `fallback`
    // (or KeyError when there is none) when the key is not stored.
    py::object Pop(py::handle key, py::object fallback, bool hasFallback);

    void Commit();
    void PreCommit();
    void Rollback();
    void Sync();

    void Validate();
    py::dict Stat();
    void CopyTo(const std::string& path);
    // Replaces the file by a compact copy of it and reopens it.
    void Compact();
    // Closes the file; uncommitted changes are left out of it. Idempotent.
    void Close();

    const Settings settings;
    // A `with tree.transaction():` block is open. Touched only with the GIL
    // held, which orders its uses.
    bool inBlock = false;

private:
    // Runs a write of the tree under the mutex, the GIL released; the write
    // voids positions whether or not it completes.
    template <class Call>
    auto Write(Call&& call);
    // Opens the file anew after compaction replaced it.
    void Reopen();

    // Something was written since the last commit or rollback (under the mutex).
    bool written = false;
};

}  // namespace TamPy
