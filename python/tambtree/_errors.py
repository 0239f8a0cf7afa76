"""The exceptions of tambtree.

Every failure the library reports is an ``Error``; the kinds a program acts
on have classes of their own. File errors are also ``OSError`` with
``errno``, ``strerror`` and ``filename`` set, and those with a built-in class
of their own (a missing file, an existing one, no permission, a file locked by
another tree) derive from that class too. The message is the library's.
"""

from __future__ import annotations

import errno as _errno
import os
from typing import Optional


class Error(Exception):
    """Base class of every error the tree library reports."""


class DamagedError(Error):
    """The tree file is damaged (or is not a tree file)."""


class TransactionWaitingError(Error):
    """A pre-committed transaction waits for commit() or rollback()."""


class TransactionFailedError(Error):
    """A write failed part way; only rollback() ends the transaction."""


class ReadOnlyError(Error):
    """A change was asked of a tree opened read-only."""


class RecordTooLargeError(Error):
    """Key plus value exceed the largest record the tree stores."""


class DiskFullError(Error):
    """Too little disk space is left to write safely."""


class VersionError(Error):
    """The file was written by another version of the file format."""


class LayoutError(Error):
    """The file's page size or record layout is not the tree's."""


class FileError(Error, OSError):
    """A file operation failed; ``errno`` and ``filename`` say which."""

    def __str__(self) -> str:
        # The library's message, which names the action, file and reason.
        return str(self.args[0]) if self.args else ""


class FileMissingError(FileError, FileNotFoundError):
    """The tree file does not exist (mode="open")."""


class FileExistingError(FileError, FileExistsError):
    """Something is at the path already (mode="create", copy_to())."""


class FileAccessError(FileError, PermissionError):
    """The file may not be opened as asked."""


class LockedError(FileError, BlockingIOError):
    """Another tree object holds the file (one writer, or readers only)."""


_BY_ERRNO = {
    _errno.ENOENT: FileMissingError,
    _errno.EEXIST: FileExistingError,
    _errno.EACCES: FileAccessError,
    _errno.EPERM: FileAccessError,
    _errno.EWOULDBLOCK: LockedError,
}


def _file_error(number: int, message: str, path: Optional[str]) -> FileError:
    """The exception for a failed file operation (called by the extension)."""
    error = _BY_ERRNO.get(number, FileError)(message)
    error.errno = number or None
    error.strerror = os.strerror(number) if number else None
    error.filename = path
    return error


# Shown as tambtree.X, where a program finds them.
for _class in (Error, DamagedError, TransactionWaitingError, TransactionFailedError,
               ReadOnlyError, RecordTooLargeError, DiskFullError, VersionError, LayoutError,
               FileError, FileMissingError, FileExistingError, FileAccessError, LockedError):
    _class.__module__ = "tambtree"
