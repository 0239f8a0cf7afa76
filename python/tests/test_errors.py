"""Every exception kind, bad input, closed trees and threads: a clear
exception each time, never a crash."""

import errno
import resource
import signal
import struct
import threading
from pathlib import Path
from typing import Callable, List

import pytest

import tambtree
from tambtree import _tambtree


def patched(source: Path, target: Path, offset: int, word: int) -> Path:
    """A copy of a tree file with one 32-bit word of its head replaced."""
    data = bytearray(source.read_bytes())
    data[offset:offset + 4] = struct.pack("<I", word)
    target.write_bytes(bytes(data))
    return target


def test_the_library_errors_raise_their_classes(path: Path, tmp_path: Path) -> None:
    with tambtree.Tree(path) as tree:
        tree[b"a"] = b"1"
        tree.commit()
        with pytest.raises(tambtree.LockedError) as locked:
            tambtree.Tree(path)
        assert locked.value.errno == errno.EWOULDBLOCK and locked.value.filename == str(path)
        with pytest.raises(tambtree.RecordTooLargeError, match=str(path)):
            tree[b"k"] = b"v" * (tree.stat()["max_record_size"] + 1)
    cases = [(patched(path, tmp_path / "v.tbt", 0, 7), tambtree.VersionError),
             (patched(path, tmp_path / "p.tbt", 4, 4096), tambtree.LayoutError)]
    foreign = tmp_path / "foreign.tbt"
    foreign.write_bytes(b"somebody's data" * 100)
    cases.append((foreign, tambtree.DamagedError))
    for file, kind in cases:
        with pytest.raises(kind, match=str(file)):
            tambtree.Tree(file)
    assert foreign.read_bytes() == b"somebody's data" * 100  # left alone
    with pytest.raises(FileNotFoundError) as missing:
        tambtree.Tree(tmp_path / "none.tbt", mode="open")
    assert isinstance(missing.value, tambtree.FileError) and missing.value.errno == errno.ENOENT
    with pytest.raises(FileExistsError):
        tambtree.Tree(path, mode="create")


def test_a_file_that_cannot_grow_raises_an_os_error(path: Path) -> None:
    with tambtree.Tree(path) as tree:
        tree.commit()
        size = path.stat().st_size
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, hard))
        try:
            with pytest.raises(OSError) as full:
                for i in range(100000):
                    tree[b"%08d" % i] = b"v" * 100
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
            signal.signal(signal.SIGXFSZ, handler)
        assert isinstance(full.value, tambtree.FileError) and full.value.errno == errno.EFBIG
        assert "File too large" in str(full.value)
        tree.rollback()
        assert len(tree) == 0


def test_every_library_kind_is_translated() -> None:
    kinds = {"damaged": tambtree.DamagedError, "waiting": tambtree.TransactionWaitingError,
             "failed": tambtree.TransactionFailedError, "readonly": tambtree.ReadOnlyError,
             "toolarge": tambtree.RecordTooLargeError, "diskfull": tambtree.DiskFullError,
             "version": tambtree.VersionError, "layout": tambtree.LayoutError,
             "tree": tambtree.Error, "file": tambtree.FileError}
    for kind, error in kinds.items():
        with pytest.raises(error) as raised:
            _tambtree._throw_for_test(kind)
        assert type(raised.value) is error and isinstance(raised.value, tambtree.Error)
    assert raised.value.errno == errno.EIO and raised.value.filename == "f.tbt"


def test_bad_input_raises_clear_errors(tree: tambtree.Tree, path: Path) -> None:
    for key in ("text", 1, None, 1.5, [b"a"]):
        for call in (lambda: tree.get(key), lambda: tree.put(key, b"v"),
                     lambda: tree.put(b"k", key), lambda: key in tree,
                     lambda: tree.keys(start=key if key is not None else 2)):
            with pytest.raises(TypeError, match="bytes-like"):
                call()
    with pytest.raises(TypeError, match="encode the str"):
        tree[b"k"] = "v"
    with pytest.raises(TypeError, match="contiguous"):
        tree[memoryview(b"abcd")[::2]] = b"v"
    with pytest.raises(tambtree.RecordTooLargeError):
        tree[b"k"] = bytes(50_000_000)
    with pytest.raises(TypeError):
        tree.pop(b"k", None, None)
    for arguments in ({"mode": "append"}, {"order": "u16"}, {"cache_size": 0},
                      {"cache_size": 2**32}):
        with pytest.raises(ValueError, match="must be"):
            tambtree.Tree(path, **arguments)
    with pytest.raises(TypeError):
        tambtree.Tree(path, "open")  # the options are keywords
    assert len(tree) == 0


def test_a_closed_tree_refuses_every_call(tree: tambtree.Tree) -> None:
    tree[b"k"] = b"v"
    tree.close()
    tree.close()
    calls: List[Callable[[], object]] = [
        lambda: tree[b"k"], lambda: tree.get(b"k"), lambda: b"k" in tree, lambda: len(tree),
        lambda: tree.get_all(b"k"), lambda: iter(tree), lambda: tree.items(),
        lambda: tree.put(b"k", b"v"), lambda: tree.insert(b"k", b"v"), lambda: tree.pop(b"k"),
        lambda: tree.__delitem__(b"k"), lambda: tree.commit(), lambda: tree.pre_commit(),
        lambda: tree.rollback(), lambda: tree.sync(), lambda: tree.validate(),
        lambda: tree.stat(), lambda: tree.copy_to("elsewhere.tbt"), lambda: tree.compact(),
        lambda: tree.transaction().__enter__()]
    for call in calls:
        with pytest.raises(ValueError, match="is closed"):
            call()


def test_threads_sharing_one_tree_take_turns(tree: tambtree.Tree) -> None:
    errors: List[BaseException] = []
    walks = {"whole": 0, "interrupted": 0}
    writing = True

    def write(thread: int) -> None:
        try:
            for i in range(2000):
                key = b"%d-%05d" % (thread, i)
                tree[key] = key
                assert tree[key] == key and tree.get_all(key) == [key]
        except BaseException as error:  # reported below
            errors.append(error)

    def walk() -> None:
        # Another thread's write between two steps ends the walk cleanly.
        while writing:
            try:
                keys = list(tree.keys())
                assert keys == sorted(keys)
                walks["whole"] += 1
            except RuntimeError:
                walks["interrupted"] += 1

    writers = [threading.Thread(target=write, args=(n,)) for n in range(3)]
    walker = threading.Thread(target=walk)
    for thread in writers + [walker]:
        thread.start()
    for thread in writers:
        thread.join()
    writing = False
    walker.join()
    assert not errors, errors
    assert len(tree) == 6000 and sum(walks.values()) > 0
    tree.validate()
    # Two threads draining one iterator share its records: each one once.
    tree.commit()
    shared, taken = tree.keys(), [[], []]

    def drain(mine: List[bytes]) -> None:
        while True:
            try:
                mine.append(next(shared))
            except ValueError:  # the other thread is reading the next run
                continue
            except StopIteration:
                return

    drainers = [threading.Thread(target=drain, args=(mine,)) for mine in taken]
    for thread in drainers:
        thread.start()
    for thread in drainers:
        thread.join()
    assert sorted(taken[0] + taken[1]) == list(tree.keys())
