"""A randomized run of the tree against a model of it: random writes,
commits, rollbacks and reopens, every read compared in key order."""

import shutil
import tempfile
from pathlib import Path
from typing import Dict, List, Optional

from hypothesis import HealthCheck, seed, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule, run_state_machine_as_test

import tambtree

SEED = 29_2025
# Few distinct bytes, so that keys collide, share prefixes and reach both
# ends of the byte order; values now and then large enough to split pages.
KEYS = st.lists(st.sampled_from([0, 1, 0x61, 0x7F, 0x80, 0xFF]), max_size=3).map(bytes)
VALUES = st.binary(max_size=16) | st.binary(min_size=2000, max_size=6000)
BOUNDS = st.none() | KEYS

Model = Dict[bytes, List[bytes]]  # key -> values, the newest first


class TreeMachine(RuleBasedStateMachine):
    """Holds the tree and two models: what is written, and what is committed."""

    duplicates = False

    def __init__(self) -> None:
        super().__init__()
        self.directory = tempfile.mkdtemp()
        self.path = Path(self.directory) / "model.tbt"
        self.tree = tambtree.Tree(self.path, duplicates=self.duplicates)
        self.model: Model = {}
        self.committed: Model = {}

    def records(self, start: Optional[bytes], stop: Optional[bytes]) -> List[tuple]:
        return [(k, v) for k in sorted(self.model) for v in self.model[k]
                if (start is None or k >= start) and (stop is None or k < stop)]

    @rule(key=KEYS, value=VALUES)
    def put(self, key: bytes, value: bytes) -> None:
        assert self.tree.put(key, value) == (key not in self.model)
        self.model.setdefault(key, [b""])[0] = value

    @rule(key=KEYS, value=VALUES)
    def insert(self, key: bytes, value: bytes) -> None:
        stored = self.duplicates or key not in self.model
        assert self.tree.insert(key, value) == stored
        if stored:
            self.model.setdefault(key, []).insert(0, value)

    @rule(key=KEYS)
    def delete(self, key: bytes) -> None:
        try:
            del self.tree[key]
        except KeyError:
            assert key not in self.model
        else:
            del self.model[key]

    @rule(key=KEYS)
    def pop(self, key: bytes) -> None:
        values = self.model.get(key)
        assert self.tree.pop(key, None) == (values.pop(0) if values else None)
        if values == []:
            del self.model[key]

    @rule()
    def commit(self) -> None:
        self.tree.commit()
        self.committed = {k: list(v) for k, v in self.model.items()}

    @rule()
    def rollback(self) -> None:
        self.tree.rollback()
        self.model = {k: list(v) for k, v in self.committed.items()}

    @rule()
    def reopen(self) -> None:
        self.tree.close()
        self.tree = tambtree.Tree(self.path, mode="open", duplicates=self.duplicates)
        self.model = {k: list(v) for k, v in self.committed.items()}

    @rule(key=KEYS)
    def look_up(self, key: bytes) -> None:
        values = self.model.get(key, [])
        assert self.tree.get(key) == (values[0] if values else None)
        assert (key in self.tree) == bool(values)
        assert self.tree.get_all(key) == values

    @rule(start=BOUNDS, stop=BOUNDS, reverse=st.booleans())
    def walk(self, start: Optional[bytes], stop: Optional[bytes], reverse: bool) -> None:
        expected = self.records(start, stop)
        if reverse:
            expected.reverse()
        assert list(self.tree.items(start, stop, reverse)) == expected
        assert list(self.tree.keys(start, stop, reverse)) == [k for k, _ in expected]

    @invariant()
    def sizes_agree(self) -> None:
        assert len(self.tree) == sum(len(v) for v in self.model.values())

    def teardown(self) -> None:
        self.tree.validate()
        self.tree.close()
        shutil.rmtree(self.directory)


class DuplicateTreeMachine(TreeMachine):
    duplicates = True


RUN = settings(max_examples=30, stateful_step_count=40, deadline=None, database=None,
               suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def test_a_tree_behaves_like_its_model() -> None:
    print(f"hypothesis seed {SEED}")
    run_state_machine_as_test(seed(SEED)(TreeMachine), settings=RUN)


def test_a_duplicate_tree_behaves_like_its_model() -> None:
    print(f"hypothesis seed {SEED}")
    run_state_machine_as_test(seed(SEED)(DuplicateTreeMachine), settings=RUN)
