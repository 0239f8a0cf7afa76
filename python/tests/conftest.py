"""Fixtures of the tambtree tests: a tree file in a fresh directory."""

from pathlib import Path
from typing import Iterator

import pytest

import tambtree


@pytest.fixture
def path(tmp_path: Path) -> Path:
    return tmp_path / "tree.tbt"


@pytest.fixture
def tree(path: Path) -> Iterator[tambtree.Tree]:
    with tambtree.Tree(path) as opened:
        yield opened
