// Writes, transactions and maintenance of the module's tree.
#include "TreeHandle.h"

#include <memory>

#include "BytesArg.h"
#include "CompactInPlace.h"
#include "Errors.h"

namespace TamPy {

TreeHandle::TreeHandle(const Settings& opened) : Guarded(opened.order), settings(opened) {
    const TamBTree::ByteTree::Options options = LibraryOptions(settings);
    source = WithoutGil(
        [&] { return std::make_unique<OrderedTree>(settings.path, options, settings.order); });
}

TreeHandle::~TreeHandle() = default;

void TreeHandle::RaiseClosed() const {
    throw py::value_error("the tree " + settings.path + " is closed");
}

template <class Call>
auto TreeHandle::Write(Call&& call) {
    Locked<OrderedTree> tree(*this);
    Moved();
    written = true;
    return WithoutGil([&] { return call(*tree); });
}

bool TreeHandle::Put(py::handle key, py::handle value) {
    const KeyArg k(key, order);
    const BytesArg v(value);
    return Write([&](OrderedTree& tree) { return tree.Put(k.View(), v.View()); });
}

bool TreeHandle::Insert(py::handle key, py::handle value) {
    const KeyArg k(key, order);
    const BytesArg v(value);
    return Write([&](OrderedTree& tree) { return tree.Insert(k.View(), v.View()); });
}

void TreeHandle::Delete(py::handle key) {
    const KeyArg k(key, order);
    if (Write([&](OrderedTree& tree) { return tree.Erase(k.View()); }) == 0) {
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw py::error_already_set();
    }
}

py::object TreeHandle::Pop(py::handle key, py::object fallback, bool hasFallback) {
    const KeyArg k(key, order);
    std::string value;
    if (Write([&](OrderedTree& tree) { return tree.TakeFirst(k.View(), value); }))
        return ToBytes(value);
    if (hasFallback) return fallback;
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw py::error_already_set();
}

void TreeHandle::Commit() {
    Locked<OrderedTree> tree(*this);
    WithoutGil([&] { tree->CommitNow(); });
    written = false;
}

void TreeHandle::PreCommit() {
    Locked<OrderedTree> tree(*this);
    WithoutGil([&] { tree->PreCommit(); });
}

void TreeHandle::Rollback() {
    Locked<OrderedTree> tree(*this);
    Moved();
    WithoutGil([&] { tree->Rollback(); });
    written = false;
}

void TreeHandle::Sync() {
    Locked<OrderedTree> tree(*this);
    WithoutGil([&] { TamPy::Sync(*tree); });
}

void TreeHandle::Validate() {
    Locked<OrderedTree> tree(*this);
    WithoutGil([&] { tree->Validate(); });
}

py::dict TreeHandle::Stat() {
    Locked<OrderedTree> tree(*this);
    const TamBTree::BTree::Statistics s = WithoutGil([&] { return tree->GetStatistics(); });
    py::list levels;
    std::uint64_t pages = 0;
    for (std::uint32_t i = 0; i < s.height && i < 64; ++i) {
        levels.append(s.pages[i]);
        pages += s.pages[i];
    }
    py::dict d;
    d["records"] = s.records;
    d["height"] = s.height;
    d["pages_per_level"] = levels;
    d["pages"] = pages;
    d["used_bytes"] = s.usedBytes;
    // The share of the pages' bytes in use, as the tool reports it.
    d["fill_factor"] = pages == 0 ? 0.0
                                  : static_cast<double>(s.usedBytes) /
                                        (static_cast<double>(pages) * TamBTree::PAGE_SIZE);
    d["file_size"] = s.fileSize;
    d["free_bytes"] = s.freeBytes;
    d["page_count"] = s.pageCount;
    d["commit_state"] = TamBTree::CommitStateName(s.commitState);
    d["snapshots"] = s.snapshots;
    d["snapshot_bytes"] = s.snapshotBytes;
    d["max_record_size"] = tree->GetMaxRecordSize();
    py::list readers;
    for (const TamBTree::BTree::Reader& r : WithoutGil([&] { return tree->Readers(); })) {
        py::dict reader;
        reader["process"] = r.process;
        reader["snapshots"] = r.snapshots;
        reader["held_bytes"] = r.heldBytes;
        readers.append(reader);
    }
    d["readers"] = readers;
    return d;
}

void TreeHandle::CopyTo(const std::string& path) {
    Locked<OrderedTree> tree(*this);
    WithoutGil([&] { tree->CopyTo(path); });
}

void TreeHandle::Compact() {
    Locked<OrderedTree> tree(*this);
    if (tree->ReadOnly())
        Raise("ReadOnlyError", settings.path + ": compact() rewrites the file: open it writable");
    if (tree->GetCommitState() == TamBTree::BTree::CommitReady)
        Raise("TransactionWaitingError",
              settings.path + ": a pre-committed transaction waits: commit() or rollback() first");
    // The copy holds the last commit only: refuse rather than drop changes.
    if (written)
        Raise("Error", settings.path +
                           ": the tree has uncommitted changes: commit() or "
                           "rollback() before compact()");
    Moved();
    WithoutGil([&] { TamTool::CompactInPlace(*tree); });
    Reopen();
}

void TreeHandle::Reopen() {
    // The tree object still reads the file the rename replaced.
    Settings reopened = settings;
    reopened.mode = TamBTree::BTree::OpenOnly;
    const TamBTree::ByteTree::Options options = LibraryOptions(reopened);
    WithoutGil([&] {
        source.reset();
        try {
            source = std::make_unique<OrderedTree>(reopened.path, options, reopened.order);
        } catch (...) {
            TakeSource();
            throw;
        }
    });
}

void TreeHandle::Close() {
    const std::unique_lock<std::mutex> lock = Lock();
    std::unique_ptr<OrderedTree> closing = TakeSource();
    WithoutGil([&] { closing.reset(); });
}

}  // namespace TamPy
