// The extension module tambtree._tambtree: the Tree class and its
// transaction block. The package tambtree re-exports them with the exceptions.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "BindReads.h"
#include "Errors.h"
#include "FastPaths.h"
#include "SnapshotHandle.h"
#include "TreeHandle.h"

namespace TamPy {

namespace {

// Contract: a `with tree.transaction():` block over the tree's one open
// transaction. Leaving it normally commits every change since the last
// commit; leaving it by an exception rolls them back and lets the exception
// go on. Blocks on one tree do not nest.
class TransactionBlock {
public:
    TransactionBlock(py::object owner, std::shared_ptr<TreeHandle> opened)
        : tree(std::move(owner)), handle(std::move(opened)) {}

    py::object Enter() {
        if (handle->Closed()) handle->RaiseClosed();
        if (handle->inBlock)
            throw std::runtime_error("a transaction block is already open on this tree");
        handle->inBlock = true;
        return tree;
    }

    bool Exit(py::handle type, py::handle, py::handle) {
        handle->inBlock = false;
        if (handle->Closed()) {
            if (!type.is_none()) return false;
            throw py::value_error("the tree " + handle->settings.path +
                                  " was closed inside the transaction block: its changes were "
                                  "not committed");
        }
        if (!type.is_none()) {
            handle->Rollback();
            return false;
        }
        CommitOrRollback();
        return false;
    }

private:
    // A commit that fails leaves the changes to a rollback, as the library's
    // guard does; the commit's error is the one raised.
    void CommitOrRollback() {
        try {
            handle->Commit();
        } catch (...) {
            try {
                handle->Rollback();
            } catch (py::error_already_set& e) {
                e.discard_as_unraisable("rolling back after a failed commit");
            } catch (...) {
            }
            throw;
        }
    }

    py::object tree;
    std::shared_ptr<TreeHandle> handle;
};

Settings ParseSettings(py::handle path, const std::string& mode, bool readOnly, bool duplicates,
                       const std::string& durability, const std::string& order,
                       long long cacheSize) {
    Settings s;
    s.path = py::module_::import("os").attr("fspath")(path).cast<std::string>();
    s.mode = ParseMode(mode);
    s.readOnly = readOnly;
    s.duplicates = duplicates;
    s.durability = ParseDurability(durability);
    s.order = ParseOrder(order);
    s.cacheSize = ParseCacheSize(cacheSize);
    return s;
}

std::string Describe(const TreeHandle& h) {
    const Settings& s = h.settings;
    return "<tambtree.Tree " + py::repr(py::str(s.path)).cast<std::string>() +
           " order=" + OrderName(s.order) + (s.duplicates ? " duplicates" : "") +
           (s.readOnly ? " readonly" : "") + (h.Closed() ? " closed>" : " open>");
}

constexpr const char* TREE_DOC =
    R"(Tree(path, *, mode="open_or_create", readonly=False, duplicates=False,
     durability="full", order="bytes", cache_size=256 MiB)

A sorted mapping of bytes to bytes kept in one file, with transactions.

Keys and values are bytes-like objects (bytes, bytearray, memoryview);
what comes out is bytes. A str is a TypeError: encode it first.

Nothing is durable before a commit: commit(), or a `with
tree.transaction():` block that ends normally. close() (or leaving a
`with Tree(...)` block) keeps only what was committed; a rollback() or an
exception in a transaction block drops the changes since the last commit.

Arguments:
  path        the tree file (str or os.PathLike).
  mode        "open_or_create" opens the file or creates an empty tree;
              "create" fails when the path exists (FileExistsError);
              "open" fails when it does not (FileNotFoundError).
  readonly    open for reading only; writes raise ReadOnlyError. Read-only
              trees share the file with each other and with one writable
              tree, in this process or others (a second writable one gets
              LockedError). Beside a writer, a read-only tree reads the last
              commit as of its open until rollback() moves it to the newest,
              and its snapshots show the newest commit; the writer keeps the
              pages of what it reads, so call rollback() now and then.
  duplicates  allow equal keys side by side, the newest first: insert()
              adds one, get() and pop() take the first, get_all() and
              items() show them all, del removes them all.
  durability  "full": every commit is on disk when it returns; "normal":
              one flush per commit, a power loss may take back the last
              one; "deferred": no flush until sync(), close, or enough
              commits gathered, a crash goes back to the last sync.
  order       "bytes": keys ordered by their bytes, the shorter first when
              one is a prefix of the other. "u32", "u64", "i64": keys of
              exactly 4, 8, 8 bytes ordered as little-endian unsigned or
              signed integers (another size is a ValueError).
              The file does not record duplicates or order: open it again
              with the same ones.
  cache_size  bytes of the file kept mapped (address space, not memory):
              the pages a working set reaches without mapping them anew.

One Python thread at a time runs inside a tree's methods; others wait
(the GIL is released meanwhile, so threads using other trees run).
Changing the tree while an iteration of it runs makes the iteration raise
RuntimeError at its next step.)";

// tree[key] = value and del tree[key], bound to the slot (see FastPaths.h).
int AssignSubscript(PyObject* self, PyObject* key, PyObject* value) {
    return Guard(
        [&] {
            TreeHandle* h = Held<TreeHandle>(self);
            if (!h) return -1;
            if (value)
                h->Put(key, value);
            else
                h->Delete(key);
            return 0;
        },
        -1);
}

void InstallTreeSlots(PyHeapTypeObject* type) {
    ReadPaths<TreeHandle, OrderedTree>::InstallSlots(type);
    type->as_mapping.mp_ass_subscript = &AssignSubscript;
}

void InstallSnapshotSlots(PyHeapTypeObject* type) {
    ReadPaths<SnapshotHandle, OrderedTree>::InstallSlots(type);
}

void BindSnapshot(py::module_& m) {
    py::class_<SnapshotHandle, std::shared_ptr<SnapshotHandle>> snapshot(
        m, "Snapshot",
        "A read-only view of a tree's last commit when Tree.snapshot() was called:\n"
        "the tree's read methods (len, in, [], get, get_all, iteration, keys,\n"
        "values, items), never changing while the tree goes on. Any thread may\n"
        "read it while the tree's owner writes. The pages it reads stay in the\n"
        "file until it is closed (or dropped): take a fresh one now and then.",
        py::custom_type_setup(&InstallSnapshotSlots));
    BindReads<SnapshotHandle, OrderedTree>(snapshot);
    snapshot
        .def("close", &SnapshotHandle::Close,
             "close()\n\n"
             "Ends the snapshot; the tree may reuse the pages it held. Idempotent.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](SnapshotHandle& h, py::handle, py::handle, py::handle) {
                 h.Close();
                 return false;
             })
        .def_property_readonly("closed", &SnapshotHandle::Closed, "Whether close() was called.");
    snapshot.attr("__module__") = "tambtree";
}

void BindTree(py::module_& m) {
    py::class_<TreeHandle, std::shared_ptr<TreeHandle>> tree(
        m, "Tree", TREE_DOC, py::custom_type_setup(&InstallTreeSlots));
    tree.def(
        py::init([](py::handle path, const std::string& mode, bool readOnly, bool duplicates,
                    const std::string& durability, const std::string& order, long long cacheSize) {
            return std::make_shared<TreeHandle>(
                ParseSettings(path, mode, readOnly, duplicates, durability, order, cacheSize));
        }),
        py::arg("path"), py::kw_only(), py::arg("mode") = "open_or_create",
        py::arg("readonly") = false, py::arg("duplicates") = false, py::arg("durability") = "full",
        py::arg("order") = "bytes", py::arg("cache_size") = 256ll << 20,
        "Opens or creates the tree file at `path` (see the class's help).");
    BindReads<TreeHandle, OrderedTree>(tree);
    tree.def("put", &TreeHandle::Put, py::arg("key"), py::arg("value"),
             "put(key, value) -> bool\n\n"
             "Stores the record, replacing the value of the first record with the key.\n"
             "True when a record was added, False when a value was replaced.")
        .def("insert", &TreeHandle::Insert, py::arg("key"), py::arg("value"),
             "insert(key, value) -> bool\n\n"
             "Stores the record unless the key is stored and the tree has no\n"
             "duplicates. True when it was stored.")
        .def(
            "pop",
            [](TreeHandle& h, py::handle key, py::args rest) {
                if (rest.size() > 1)
                    throw py::type_error(
                        "pop(key[, default]) takes at most 2 "
                        "arguments");
                return h.Pop(key, rest.empty() ? py::none() : py::object(rest[0]), !rest.empty());
            },
            py::arg("key"),
            "pop(key[, default]) -> bytes\n\n"
            "Erases the first record with the key (the newest of equal keys) and\n"
            "returns its value; `default`, or KeyError without one, when none.");
    tree.def(
            "transaction",
            [](py::object self) {
                return TransactionBlock(self, self.cast<std::shared_ptr<TreeHandle>>());
            },
            "transaction()\n\n"
            "A context manager: `with tree.transaction():` commits every change since\n"
            "the last commit when the block ends normally and rolls them back when it\n"
            "ends by an exception (which goes on). Blocks do not nest.")
        .def("commit", &TreeHandle::Commit,
             "commit()\n\n"
             "Makes every change since the last commit durable; installs a\n"
             "transaction that pre_commit() left waiting.")
        .def("pre_commit", &TreeHandle::PreCommit,
             "pre_commit()\n\n"
             "The first phase of a two-phase commit: writes the changes to the file and\n"
             "marks them ready. Until commit() installs them or rollback() drops them,\n"
             "other writes raise TransactionWaitingError; a crash leaves them waiting\n"
             "in the file for the next open to commit or roll back.")
        .def("rollback", &TreeHandle::Rollback,
             "rollback()\n\n"
             "Discards every change since the last commit (and a waiting transaction).\n"
             "A read-only tree moves on to the newest commit of the file.")
        .def("sync", &TreeHandle::Sync,
             "sync()\n\n"
             "Makes every commit made so far durable. Under durability=\"full\" each\n"
             "commit already is when it returns.")
        .def(
            "snapshot", [](TreeHandle& h) { return std::make_shared<SnapshotHandle>(h); },
            "snapshot() -> Snapshot\n\n"
            "A read-only view of the last commit (not of changes since), which any\n"
            "thread may read while this tree goes on writing and committing.");
    tree.def("validate", &TreeHandle::Validate,
             "validate()\n\n"
             "Checks the whole tree; raises DamagedError at the first fault.")
        .def("stat", &TreeHandle::Stat,
             "stat() -> dict\n\n"
             "The tree's statistics: records, height, pages_per_level (root first),\n"
             "pages, used_bytes, fill_factor, file_size, free_bytes, page_count,\n"
             "commit_state (\"idle\", \"ready\" or \"applying\"), max_record_size (the\n"
             "largest key plus value it stores), snapshots (alive now) and\n"
             "snapshot_bytes (page images kept only for them), and readers: the\n"
             "processes reading the file beside its writer, each a dict of process,\n"
             "snapshots and held_bytes (what the writer keeps for it).")
        .def(
            "copy_to",
            [](TreeHandle& h, py::handle path) {
                h.CopyTo(py::module_::import("os").attr("fspath")(path).cast<std::string>());
            },
            py::arg("path"),
            "copy_to(path)\n\n"
            "Writes a compact copy of the last commit to a new file at `path` (same\n"
            "order and duplicates), flushed before it returns. Uncommitted changes are\n"
            "left out. FileExistsError when anything is at `path`.")
        .def("compact", &TreeHandle::Compact,
             "compact()\n\n"
             "Rewrites the file densely in place: a compact copy is written beside it\n"
             "(path + \".compact\"), flushed and renamed over it, so that a crash leaves\n"
             "the old file or the new one, whole; the tree then reads the new file.\n"
             "Needs a writable tree with nothing uncommitted (Error) and no waiting\n"
             "transaction (TransactionWaitingError). Iterations taken before it end.")
        .def("close", &TreeHandle::Close,
             "close()\n\n"
             "Closes the file. Changes not committed are not in it. Calling it again\n"
             "does nothing; every other method of a closed tree raises ValueError.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](TreeHandle& h, py::handle, py::handle, py::handle) {
                 h.Close();
                 return false;
             })
        .def("__repr__", &Describe);
    tree.def_property_readonly("closed", &TreeHandle::Closed, "Whether close() was called.")
        .def_property_readonly(
            "path", [](const TreeHandle& h) { return h.settings.path; }, "The tree file.")
        .def_property_readonly(
            "readonly", [](const TreeHandle& h) { return h.settings.readOnly; },
            "Whether the tree was opened read-only.")
        .def_property_readonly(
            "duplicates", [](const TreeHandle& h) { return h.settings.duplicates; },
            "Whether equal keys are allowed.")
        .def_property_readonly(
            "order", [](const TreeHandle& h) { return OrderName(h.settings.order); },
            "The key order: \"bytes\", \"u32\", \"u64\" or \"i64\".")
        .def_property_readonly(
            "durability", [](const TreeHandle& h) { return DurabilityName(h.settings.durability); },
            "The durability mode the tree was opened with.");
    tree.attr("__module__") = "tambtree";
}

void BindTransaction(py::module_& m) {
    py::class_<TransactionBlock>(m, "Transaction",
                                 "The context manager of Tree.transaction(): commits on a normal\n"
                                 "exit, rolls back on an exception.")
        .def("__enter__", &TransactionBlock::Enter)
        .def("__exit__", &TransactionBlock::Exit)
        .attr("__module__") = "tambtree";
}

}  // namespace

}  // namespace TamPy

PYBIND11_MODULE(_tambtree, m) {
    namespace py = pybind11;
    // The docstrings carry the Python signatures, as the builtins' do.
    py::options options;
    options.disable_function_signatures();
    m.doc() = "The extension of the tambtree package; import tambtree instead.";
    TamPy::RegisterErrors(m);
    TamPy::BindWalk<TamPy::OrderedTree>(m, "RecordIterator");
    TamPy::BindTree(m);
    TamPy::BindSnapshot(m);
    TamPy::BindTransaction(m);
}
