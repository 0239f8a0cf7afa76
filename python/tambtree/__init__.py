"""A sorted mapping of bytes to bytes in one file, with transactions.

    import tambtree

    with tambtree.Tree("fruit.tbt") as tree:
        with tree.transaction():          # committed when the block ends
            tree[b"apple"] = b"red"
        for key, value in tree.items(start=b"a", stop=b"b"):
            print(key, value)

``Tree`` is the tree file; ``help(tambtree.Tree)`` describes it. The
exceptions derive from ``tambtree.Error``; file errors are also ``OSError``.
"""

from ._errors import (
    DamagedError,
    DiskFullError,
    Error,
    FileAccessError,
    FileError,
    FileExistingError,
    FileMissingError,
    LayoutError,
    LockedError,
    ReadOnlyError,
    RecordTooLargeError,
    TransactionFailedError,
    TransactionWaitingError,
    VersionError,
)
from ._tambtree import RecordIterator, Snapshot, Transaction, Tree

__all__ = [
    "DamagedError",
    "DiskFullError",
    "Error",
    "FileAccessError",
    "FileError",
    "FileExistingError",
    "FileMissingError",
    "LayoutError",
    "LockedError",
    "ReadOnlyError",
    "RecordIterator",
    "RecordTooLargeError",
    "Snapshot",
    "Transaction",
    "TransactionFailedError",
    "TransactionWaitingError",
    "Tree",
    "VersionError",
]
