"""Every file the package reads or writes goes through here, so that nothing but the files the user named is
touched.

Only regular files are read or written: a FIFO, a device, a socket or a directory is refused with
`NotRegularFile` before a byte moves (opened non-blocking, so a FIFO never blocks), and a whole-file read has a
size bound. A path the user named may be a symlink, followed to its target, which is what gets written; a file
we name ourselves inside a directory the user gave (``follow_links=False``) must not be one. A write goes to a
temporary file created exclusively beside the target and renamed over it, checked again at that moment.
"""
from __future__ import annotations

import errno
import fcntl
import glob
import os
import stat
import tempfile
from pathlib import Path
from typing import IO, Any, Callable, TextIO

__all__ = ["NotRegularFile", "destination", "open_regular", "read_fd", "read_regular", "replace", "replace_bytes",
           "replace_same", "remove_stale", "failure", "read_text", "read_lines", "require", "reason", "output_directory"]

# Large enough for any table of daily data we read whole, small enough to fail before memory runs out.
READ_LIMIT = 1 << 30
# Far above any catchment file (a 70-year Caravan series is about 10 MB): a guard against reading a huge or
# endless file into memory, not a limit a real data set meets.
DATA_LIMIT = 256 * 2**20
# Our temporary files beside a target: ".NAME.vardex-XXXXXXXX.tmp".
_TEMPORARY = ".vardex-"


class NotRegularFile(ValueError):
    """A path that is not (or cannot become) a regular file we may use; the message names it."""


def reason(exc: BaseException) -> str:
    """An error's text without Python's "[Errno N]" prefix."""
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc)


def failure(exc: OSError, path: Any, doing: str) -> OSError:
    """``exc`` as an OSError whose text names the file and what failed ("r.csv: cannot write: File too large"),
    without Python's "[Errno N]" prefix; the errno is kept."""
    err = OSError(f"{path}: {doing}: {reason(exc)}")
    err.errno = exc.errno
    return err


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISLNK, "a symbolic link")):
        if test(mode):
            return name
    return "not a regular file"


def destination(path: str | os.PathLike[str], *, follow_links: bool = True) -> Path:
    """The regular file that writing to ``path`` writes: a symlink resolved to its target (refused with
    ``follow_links=False``), which must be a regular file or not exist yet, in an existing writable directory.
    Checked before any work is done and again when the file is written."""
    if not str(path):
        raise NotRegularFile("an empty file name")
    if follow_links:
        target = Path(os.path.realpath(path))
    else:
        target = Path(os.path.realpath(os.path.dirname(os.path.abspath(path)))) / os.path.basename(path)
    try:
        mode: int | None = (os.stat if follow_links else os.lstat)(target).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as exc:
        raise NotRegularFile(f"{path}: {reason(exc)}") from None
    if mode is not None and not stat.S_ISREG(mode):
        raise NotRegularFile(f"{path}: {_kind(mode)}, not a regular file")
    if not target.parent.is_dir():
        raise NotRegularFile(f"{path}: no such directory {target.parent}")
    if not os.access(target.parent, os.W_OK | os.X_OK) or (mode is not None and not os.access(target, os.W_OK)):
        raise NotRegularFile(f"{path}: not writable")
    return target


def output_directory(path: str | os.PathLike[str]) -> Path:
    """A directory to write our own files into, created if missing; never the current one by accident (an
    empty name is refused) and never a file."""
    if not str(path):
        raise NotRegularFile("an empty directory name")
    directory = Path(path)
    try:
        directory.mkdir(parents=True, exist_ok=True)
    except FileExistsError:
        raise NotRegularFile(f"{path}: exists and is not a directory") from None
    except OSError as exc:
        raise NotRegularFile(f"{path}: cannot create the directory: {reason(exc)}") from None
    if not os.access(directory, os.W_OK | os.X_OK):
        raise NotRegularFile(f"{path}: not writable")
    return directory


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


# --- input files of data sets ------------------------------------------------------------------------------------

def read_text(path: Path, error: type[Exception] = ValueError) -> str:
    """The UTF-8 text of the regular file ``path`` (links followed); anything else is an ``error`` naming it."""
    try:
        fd = open_regular(path)
    except FileNotFoundError:
        raise error(f"{path}: no such file") from None
    except NotRegularFile as exc:
        raise error(str(exc)) from None
    except OSError as exc:
        raise error(f"{path}: cannot be opened ({reason(exc)})") from None
    try:
        data = read_fd(fd, path, DATA_LIMIT)
    except NotRegularFile:
        raise error(f"{path}: larger than {DATA_LIMIT // 2**20} MiB, not a catchment file") from None
    except OSError as exc:
        raise error(f"{path}: cannot be read ({reason(exc)})") from None
    finally:
        os.close(fd)
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        raise error(f"{path}, line {line}: not UTF-8 text (byte {data[exc.start]:#04x})") from None


def read_lines(path: Path, error: type[Exception] = ValueError) -> list[str]:
    """The lines of ``path``, blank lines at its end left out; only \\n and \\r\\n end a line, so line numbers
    match the user's editor."""
    lines = read_text(path, error).replace("\r\n", "\n").split("\n")
    while lines and not lines[-1].strip():
        lines.pop()
    return lines


def require(path: Path, error: type[Exception] = ValueError) -> Path:
    """``path`` if something exists there (reading it checks what it is), else an ``error``."""
    if not os.path.lexists(path):
        raise error(f"{path}: no such file")
    return path


# --- writing -------------------------------------------------------------------------------------------------

def _temporary(target: Path) -> tuple[int, str]:
    return tempfile.mkstemp(prefix=f".{target.name}{_TEMPORARY}", suffix=".tmp", dir=target.parent)


def remove_stale(target: Path) -> None:
    """Remove the temporary files a killed rewrite of ``target`` left beside it; call only while holding the
    lock that every rewrite of ``target`` holds."""
    pattern = os.path.join(glob.escape(str(target.parent)), glob.escape(f".{target.name}{_TEMPORARY}") + "*.tmp")
    for stale in glob.glob(pattern):
        try:
            if stat.S_ISREG(os.lstat(stale).st_mode) and os.lstat(stale).st_uid == os.geteuid():
                os.unlink(stale)
        except OSError:
            pass


def _install(temporary: str, target: Path, path: Any, follow_links: bool, keep: os.stat_result | None) -> None:
    """Rename ``temporary`` over ``target`` if ``path`` still leads to it as checked before (no FIFO, device or
    link planted there meanwhile)."""
    final = destination(path, follow_links=follow_links)
    if final != target:
        raise NotRegularFile(f"{path}: changed while it was being written")
    if keep is not None:
        try:
            now = os.lstat(target)
        except FileNotFoundError:
            now = None
        if now is None or (now.st_dev, now.st_ino) != (keep.st_dev, keep.st_ino):
            raise NotRegularFile(f"{path}: changed while it was being written")
    os.replace(temporary, target)


def _write_new(path: str | os.PathLike[str], fill: Callable[[int], None], follow_links: bool) -> None:
    target = destination(path, follow_links=follow_links)
    try:
        before: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        before = None
    fd, temporary = _temporary(target)
    try:
        fill(fd)
        os.fsync(fd)
        if before is None:
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(fd, 0o666 & ~umask)
        else:
            os.fchmod(fd, stat.S_IMODE(before.st_mode))
        os.close(fd)
        fd = -1
        _install(temporary, target, path, follow_links, before)
    except OSError as exc:
        _discard(fd, temporary)
        raise failure(exc, path, "cannot write") from None
    except BaseException:
        _discard(fd, temporary)
        raise


def _discard(fd: int, temporary: str) -> None:
    if fd >= 0:
        os.close(fd)
    try:
        os.unlink(temporary)
    except FileNotFoundError:
        pass


def replace(path: str | os.PathLike[str], write: Callable[[TextIO], None], *, follow_links: bool = True) -> None:
    """Replace the regular file ``path`` (or create it) by the text ``write`` writes to a stream, at once.

    A symlink stays and its target gets the new content (refused with ``follow_links=False``); the file keeps
    its permissions. The content goes to an exclusively created temporary file in the target's directory,
    synced, then renamed over the target after checking the path again."""
    def fill(fd: int) -> None:
        stream = open(os.dup(fd), "w", encoding="utf-8", newline="")
        with stream:
            write(stream)
    _write_new(path, fill, follow_links)


def replace_bytes(path: str | os.PathLike[str], write: Callable[[IO[bytes]], None], *,
                  follow_links: bool = True) -> None:
    """`replace` for content written to a binary stream (a figure)."""
    def fill(fd: int) -> None:
        stream = open(os.dup(fd), "wb")
        with stream:
            write(stream)
    _write_new(path, fill, follow_links)


def replace_same(target: Path, data: bytes, fd: int) -> bool:
    """Rename a new file holding ``data`` over ``target``, the regular file open as ``fd``, when nothing of the
    file is lost by it: its only link, owned by us, its group and permissions kept. False, with nothing changed,
    where a rename is not ours to make (then rewrite in place)."""
    info = os.fstat(fd)
    if info.st_nlink != 1 or info.st_uid != os.geteuid():
        return False
    try:
        handle, temporary = _temporary(target)
    except OSError:
        return False
    try:
        try:
            os.fchown(handle, -1, info.st_gid)
        except OSError:
            _discard(handle, temporary)
            return False
        os.fchmod(handle, stat.S_IMODE(info.st_mode))
        done = 0
        while done < len(data):
            done += os.write(handle, data[done:])
        os.fsync(handle)
        os.close(handle)
        handle = -1
        now = os.lstat(target)
        if (now.st_dev, now.st_ino) != (info.st_dev, info.st_ino):
            _discard(handle, temporary)
            return False
        try:
            os.rename(temporary, target)
        except OSError as exc:
            if exc.errno in (errno.EPERM, errno.EACCES):    # a sticky directory: not ours to rename in
                _discard(handle, temporary)
                return False
            raise
    except BaseException:
        _discard(handle, temporary)
        raise
    return True
