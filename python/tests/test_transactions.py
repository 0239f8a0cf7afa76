"""Transactions, two-phase commits, durability modes, copies and compaction."""

import os
from pathlib import Path

import pytest

import tambtree


def test_a_transaction_block_commits_or_rolls_back(path: Path) -> None:
    with tambtree.Tree(path) as tree:
        with tree.transaction() as same:
            assert same is tree
            tree[b"a"] = b"1"
        with pytest.raises(KeyError):
            with tree.transaction():
                tree[b"b"] = b"2"
                tree[b"missing"]
        assert list(tree) == [b"a"]
        with tree.transaction():
            with pytest.raises(RuntimeError, match="already open"):
                with tree.transaction():
                    pass
        with pytest.raises(ValueError, match="closed inside"):
            with tree.transaction():
                tree[b"c"] = b"3"
                tree.close()
    with tambtree.Tree(path) as tree:
        assert list(tree.items()) == [(b"a", b"1")]
        tree[b"d"] = b"4"
        tree.rollback()
        assert b"d" not in tree


def test_a_pre_committed_transaction_waits_across_a_reopen(path: Path) -> None:
    with tambtree.Tree(path) as tree:
        tree[b"a"] = b"1"
        tree.pre_commit()
        assert tree.stat()["commit_state"] == "ready"
        assert tree[b"a"] == b"1"  # reads go on
        with pytest.raises(tambtree.TransactionWaitingError):
            tree[b"b"] = b"2"
    with tambtree.Tree(path) as tree:
        assert tree.stat()["commit_state"] == "ready"
        tree.rollback()
        assert len(tree) == 0
        tree[b"c"] = b"3"
        tree.pre_commit()
        tree.commit()
        assert tree.stat()["commit_state"] == "idle"
    with tambtree.Tree(path) as tree:
        assert list(tree) == [b"c"]


def test_durability_modes_keep_commits_across_reopen(path: Path) -> None:
    for i, word in enumerate(("full", "normal", "deferred")):
        with tambtree.Tree(path, durability=word) as tree:
            assert tree.durability == word
            for n in range(50):
                tree[b"%s-%03d" % (word.encode(), n)] = b"v%d" % i
                tree.commit()
            tree.sync()
            tree[b"uncommitted"] = b"x"
            tree.rollback()
        with tambtree.Tree(path) as tree:
            assert len(tree) == 50 * (i + 1)
            assert b"uncommitted" not in tree
    with pytest.raises(ValueError, match="durability must be one of"):
        tambtree.Tree(path, durability="eventually")


def test_copies_and_compaction_keep_the_last_commit(path: Path, tmp_path: Path) -> None:
    with tambtree.Tree(path) as tree:
        for i in range(20000):
            tree[b"%06d" % i] = b"x" * 100
        tree.commit()
        for i in range(0, 20000, 2):
            del tree[b"%06d" % i]
        tree.commit()
        tree[b"uncommitted"] = b""
        copy = tmp_path / "copy.tbt"
        tree.copy_to(copy)
        with pytest.raises(tambtree.FileExistingError):
            tree.copy_to(copy)
        with pytest.raises(tambtree.Error, match="uncommitted"):
            tree.compact()
        tree.rollback()
        before = os.path.getsize(path)
        walk = iter(tree)
        tree.compact()
        assert os.path.getsize(path) < before and not (tmp_path / "tree.tbt.compact").exists()
        with pytest.raises(RuntimeError):
            next(walk)
        tree.validate()
        assert len(tree) == 10000 and tree[b"000001"] == b"x" * 100
        tree[b"after"] = b"1"  # the reopened tree writes
        tree.commit()
    with tambtree.Tree(copy, mode="open") as copied:
        assert len(copied) == 10000 and b"uncommitted" not in copied
        copied.pre_commit()
        with pytest.raises(tambtree.TransactionWaitingError):
            copied.compact()
    with tambtree.Tree(path, readonly=True) as tree:
        assert len(tree) == 10001
        with pytest.raises(tambtree.ReadOnlyError):
            tree.compact()
