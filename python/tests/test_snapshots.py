"""Snapshots: the last commit, read on other threads while the owner writes."""

import random
import threading
from pathlib import Path

import pytest

import tambtree


def test_a_snapshot_shows_the_last_commit_and_never_changes(path: Path) -> None:
    with tambtree.Tree(path, order="u32") as tree:
        for n in range(1000):
            tree[n.to_bytes(4, "little")] = b"%d" % n
        tree.commit()
        with tree.snapshot() as snap:
            tree[(5000).to_bytes(4, "little")] = b"new"
            del tree[(7).to_bytes(4, "little")]
            assert len(snap) == 1000 and (7).to_bytes(4, "little") in snap
            tree.commit()
            assert (5000).to_bytes(4, "little") not in snap
            # The snapshot reads in the tree's own (integer) order.
            keys = [int.from_bytes(k, "little") for k in snap.keys(reverse=True)]
            assert keys == list(range(999, -1, -1))
            assert tree.stat()["snapshots"] == 1
        assert snap.closed
        with pytest.raises(ValueError, match="closed"):
            len(snap)
        assert tree.snapshot()[(5000).to_bytes(4, "little")] == b"new"


def test_readers_on_threads_see_only_whole_commits(path: Path) -> None:
    seed = 1207
    print("seed", seed)
    rng = random.Random(seed)
    with tambtree.Tree(path, durability="deferred") as tree:
        stop = threading.Event()
        failures: list[str] = []

        def read() -> None:
            while not stop.is_set():
                snap = tree.snapshot()
                values = set(snap.values())
                # Every commit writes one number into every key.
                if len(values) > 1:
                    failures.append("a snapshot mixes commits: %r" % sorted(values)[:3])
                snap.close()

        readers = [threading.Thread(target=read) for _ in range(2)]
        for t in readers:
            t.start()
        for commit in range(200):
            value = b"%d" % commit
            for n in rng.sample(range(300), 300):
                tree[b"%04d" % n] = value
            tree.commit()
        stop.set()
        for t in readers:
            t.join()
        assert not failures, failures[0]
        tree.validate()
