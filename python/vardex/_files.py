"""Opening and writing files the user named, without touching anything else.

Only regular files are read or written: a FIFO, a device, a socket or a directory is refused with
`NotRegularFile` before a byte moves (opened non-blocking, so a FIFO never blocks), and a whole-file read has a
size bound. A symlink is followed to its target, which is what gets written; a rewrite goes through a
temporary file created exclusively (`tempfile.mkstemp`) beside the target and renamed over it.
"""
from __future__ import annotations

import fcntl
import os
import stat
import tempfile
from pathlib import Path
from typing import Callable, TextIO

__all__ = ["NotRegularFile", "destination", "open_regular", "read_fd", "read_regular", "replace"]

# Large enough for any table of daily data we read whole, small enough to fail before memory runs out.
READ_LIMIT = 1 << 30


class NotRegularFile(ValueError):
    """A path that is not (or cannot become) a regular file we may use; the message names it."""


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "not a regular file"


def destination(path: str | os.PathLike[str]) -> Path:
    """The regular file that writing to ``path`` writes: a symlink resolved to its target, which must be a
    regular file or not exist yet, in an existing writable directory. Checked before any work is done."""
    target = Path(os.path.realpath(path))
    try:
        mode: int | None = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as exc:
        raise NotRegularFile(f"{path}: {exc.strerror}") from None
    if mode is not None and not stat.S_ISREG(mode):
        raise NotRegularFile(f"{path}: {_kind(mode)}, not a regular file")
    if not target.parent.is_dir():
        raise NotRegularFile(f"{path}: no such directory {target.parent}")
    if not os.access(target.parent, os.W_OK | os.X_OK) or (mode is not None and not os.access(target, os.W_OK)):
        raise NotRegularFile(f"{path}: not writable")
    return target


def open_regular(path: str | os.PathLike[str], flags: int = os.O_RDONLY, mode: int = 0o644) -> int:
    """``os.open(path, flags, mode)`` for a regular file only (a FIFO does not block the open; anything but a
    regular file is closed again and refused). Returns a blocking descriptor."""
    try:
        fd = os.open(path, flags | os.O_NONBLOCK | os.O_CLOEXEC, mode)
    except IsADirectoryError:
        raise NotRegularFile(f"{path}: a directory, not a regular file") from None
    except OSError as exc:
        if exc.errno is not None and exc.errno == getattr(os, "ENXIO", -1):    # a FIFO opened for writing
            raise NotRegularFile(f"{path}: not a regular file") from None
        raise
    try:
        kind = os.fstat(fd).st_mode
        if not stat.S_ISREG(kind):
            raise NotRegularFile(f"{path}: {_kind(kind)}, not a regular file")
        fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) & ~os.O_NONBLOCK)
    except BaseException:
        os.close(fd)
        raise
    return fd


def read_fd(fd: int, path: str | os.PathLike[str], limit: int | None = READ_LIMIT) -> bytes:
    """The whole content of an open regular file, from its start; longer than ``limit`` bytes is refused."""
    size = os.fstat(fd).st_size
    if limit is not None and size > limit:
        raise NotRegularFile(f"{path}: larger than {limit} bytes")
    chunks: list[bytes] = []
    total = 0
    while True:    # to the end, even if the file grew since fstat
        chunk = os.pread(fd, max(size - total, 1 << 16), total)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)
        total += len(chunk)
        if limit is not None and total > limit:
            raise NotRegularFile(f"{path}: larger than {limit} bytes")


def read_regular(path: str | os.PathLike[str], limit: int | None = READ_LIMIT) -> bytes:
    """The bytes of the regular file at ``path`` (symlinks followed); `NotRegularFile` for anything else or a file
    longer than ``limit``; FileNotFoundError and other OSErrors as raised by the open."""
    fd = open_regular(path)
    try:
        return read_fd(fd, path, limit)
    finally:
        os.close(fd)


def replace(path: str | os.PathLike[str], write: Callable[[TextIO], None]) -> None:
    """Replace the regular file ``path`` (or create it) by what ``write`` writes to a text stream, at once.

    A symlink stays and its target gets the new content; the file keeps its permissions. The content goes to
    an exclusively created temporary file in the target's directory, synced, then renamed over the target.
    """
    target = destination(path)
    try:
        permissions: int | None = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        permissions = None
    fd, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
    try:
        with open(fd, "w", encoding="utf-8", newline="") as stream:
            write(stream)
            stream.flush()
            os.fsync(stream.fileno())
        if permissions is None:
            umask = os.umask(0)
            os.umask(umask)
            permissions = 0o666 & ~umask
        os.chmod(temporary, permissions)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
