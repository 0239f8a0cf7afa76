"""A tree read in another process while this one writes it."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import tambtree

READER = """
import sys, tambtree
tree = tambtree.Tree(sys.argv[1], readonly=True)
print(tree[b"k"].decode(), flush=True)
sys.stdin.readline()
print(tree[b"k"].decode(), tree.snapshot()[b"k"].decode(), flush=True)
sys.stdin.readline()
tree.rollback()
print(tree[b"k"].decode(), flush=True)
"""


def test_a_reader_process_reads_commits_while_this_one_writes(tmp_path: Path) -> None:
    path = tmp_path / "t.tbt"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    with tambtree.Tree(path) as writer:
        writer[b"k"] = b"1"
        writer.commit()
        reader = subprocess.Popen([sys.executable, "-c", READER, str(path)], env=env,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert reader.stdin and reader.stdout
        try:
            assert reader.stdout.readline().split() == ["1"]
            writer[b"k"] = b"2"
            writer.commit()
            writer[b"k"] = b"uncommitted"
            assert [r["process"] for r in writer.stat()["readers"]] == [reader.pid]
            reader.stdin.write("\n")
            reader.stdin.flush()
            # The tree stays at the commit it opened on; a snapshot is the newest.
            assert reader.stdout.readline().split() == ["1", "2"]
            writer.rollback()
            reader.stdin.write("\n")
            reader.stdin.flush()
            assert reader.stdout.readline().split() == ["2"]
        finally:
            reader.stdin.close()
            assert reader.wait(timeout=60) == 0
        with pytest.raises(tambtree.LockedError):
            tambtree.Tree(path)
        assert writer.stat()["readers"] == []
