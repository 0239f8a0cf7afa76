"""The tree as a sorted mapping: reads, writes, ranges, layouts, reopening."""

import ast
import pydoc
import struct
from pathlib import Path

import pytest

import tambtree


def test_reads_and_writes_behave_like_a_dict(tree: tambtree.Tree) -> None:
    assert tree.put(b"b", b"2") is True
    assert tree.put(b"b", b"two") is False  # replaced
    assert tree.insert(b"b", b"x") is False  # no duplicates: refused
    tree[bytearray(b"a")] = memoryview(b"1")
    tree[b"c"] = b""
    assert len(tree) == 3 and b"a" in tree and b"z" not in tree
    assert tree[b"b"] == b"two" and type(tree[b"a"]) is bytes and tree[b"c"] == b""
    assert tree.get(b"z") is None and tree.get(b"z", b"d") == b"d"
    assert tree.get_all(b"b") == [b"two"] and tree.get_all(b"z") == []
    with pytest.raises(KeyError) as missing:
        tree[b"z"]
    assert missing.value.args == (b"z",)
    assert tree.pop(b"a") == b"1" and tree.pop(b"a", None) is None
    with pytest.raises(KeyError):
        tree.pop(b"a")
    del tree[b"c"]
    with pytest.raises(KeyError):
        del tree[b"c"]
    assert list(tree) == [b"b"] and list(reversed(tree)) == [b"b"]


def test_ranges_walk_key_order_with_the_stop_excluded(tree: tambtree.Tree) -> None:
    keys = [b"", b"a", b"a\x00", b"ab", b"b", b"\xff", b"\xff\xff"]
    for key in reversed(keys):
        tree[key] = key.upper()
    assert list(tree.keys()) == keys  # unsigned bytes, a prefix first
    bounds = [None, b"", b"a", b"aa", b"b", b"\xff", b"\xff\xff\xff"]
    for start in bounds:
        for stop in bounds:
            expected = [k for k in keys
                        if (start is None or k >= start) and (stop is None or k < stop)]
            assert list(tree.keys(start, stop)) == expected, (start, stop)
            assert list(tree.keys(start, stop, reverse=True)) == expected[::-1]
            assert list(tree.values(start, stop)) == [k.upper() for k in expected]
            assert list(tree.items(start=start, stop=stop)) == [(k, k.upper()) for k in expected]


def test_a_duplicate_tree_keeps_every_record(path: Path) -> None:
    with tambtree.Tree(path, duplicates=True) as tree:
        assert tree.insert(b"k", b"old") and tree.insert(b"k", b"new")
        tree.insert(b"j", b"1")
        assert len(tree) == 3 and tree[b"k"] == b"new"
        assert tree.get_all(b"k") == [b"new", b"old"]
        assert list(tree.items()) == [(b"j", b"1"), (b"k", b"new"), (b"k", b"old")]
        assert tree.put(b"k", b"newer") is False  # replaces the first
        assert tree.pop(b"k") == b"newer" and tree.get_all(b"k") == [b"old"]
        tree.insert(b"k", b"again")
        del tree[b"k"]
        assert list(tree.items()) == [(b"j", b"1")]


@pytest.mark.parametrize("order,fmt", [("u32", "<I"), ("u64", "<Q"), ("i64", "<q")])
def test_integer_orders_sort_keys_as_little_endian_numbers(path: Path, order: str,
                                                           fmt: str) -> None:
    numbers = [0, 1, 255, 256, 65536, 2**31 + 5] + ([-1, -300, -2**40] if fmt == "<q" else [])
    with tambtree.Tree(path, order=order) as tree:
        for n in numbers:
            tree[struct.pack(fmt, n)] = b"v"
        assert [struct.unpack(fmt, k)[0] for k in tree] == sorted(numbers)
        low, high = struct.pack(fmt, 1), struct.pack(fmt, 65536)
        walked = tree.keys(low, high, reverse=True)
        assert [struct.unpack(fmt, k)[0] for k in walked] == [256, 255, 1]
        for wrong in (b"", b"abc", b"123456789"):
            with pytest.raises(ValueError, match="bytes long"):
                tree[wrong] = b"v"
            with pytest.raises(ValueError, match="bytes long"):
                list(tree.keys(start=wrong))
        assert tree.order == order


def test_a_reopened_tree_holds_what_was_committed(path: Path) -> None:
    with tambtree.Tree(path) as tree:
        tree[b"kept"] = b"1"
        tree.commit()
        tree[b"lost"] = b"2"
    with tambtree.Tree(path, mode="open", readonly=True) as tree:
        assert list(tree.items()) == [(b"kept", b"1")]
        assert tree.readonly and repr(tree).endswith("readonly open>")
        with pytest.raises(tambtree.ReadOnlyError):
            tree[b"x"] = b"y"
    assert tree.closed and repr(tree).endswith("closed>")


def test_an_iteration_ends_when_the_tree_changes(tree: tambtree.Tree) -> None:
    for i in range(1000):
        tree[b"%04d" % i] = b"v" * 50
    tree.commit()
    walk = tree.items()
    assert next(walk) == (b"0000", b"v" * 50)
    tree.commit()  # a commit moves no record
    assert next(walk)[0] == b"0001"
    tree[b"0500"] = b"w"
    with pytest.raises(RuntimeError, match="changed during iteration"):
        next(walk)
    done = tree.keys(start=b"0998")
    assert list(done) == [b"0998", b"0999"]
    tree.rollback()
    with pytest.raises(StopIteration):  # exhausted stays exhausted
        next(done)
    walk = iter(tree)
    tree.close()
    with pytest.raises(ValueError, match="closed"):
        next(walk)


def test_help_and_type_stubs_describe_every_method() -> None:
    text = pydoc.render_doc(tambtree.Tree, renderer=pydoc.plaintext)
    for phrase in ("Tree(path, *, mode=", "durability", "get(key, default=None)",
                   "items(start=None, stop=None, reverse=False)", "pre_commit()"):
        assert phrase in text
    package = Path(tambtree.__file__).parent
    assert (package / "py.typed").exists()
    stub = ast.parse((package / "__init__.pyi").read_text())
    nodes = {node.name: node for node in stub.body if isinstance(node, ast.ClassDef)}

    def methods(name: str) -> set:
        node = nodes[name]
        own = {f.name for f in node.body if isinstance(f, ast.FunctionDef)}
        for base in node.bases:
            if isinstance(base, ast.Name) and base.id in nodes:
                own |= methods(base.id)
        return own

    for cls in (tambtree.Tree, tambtree.Snapshot):
        public = {name for name in dir(cls)
                  if not name.startswith("_") or name in ("__getitem__", "__setitem__")}
        assert public <= methods(cls.__name__), public - methods(cls.__name__)
    assert set(tambtree.__all__) <= set(dir(tambtree))
