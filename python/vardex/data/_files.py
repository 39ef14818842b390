"""Opening input files: regular files only, of bounded size, read whole as text lines numbered as an editor does."""
from __future__ import annotations

import os
from pathlib import Path

from vardex import _files
from vardex.data.catchment import DataError

# Far above any catchment file (a 70-year Caravan series is about 10 MB): a guard against reading a huge or
# endless file into memory, not a limit a real data set meets.
MAX_BYTES = 256 * 2**20


def read_text(path: Path) -> str:
    """The UTF-8 text of the regular file ``path`` (links followed); anything else is a ``DataError``."""
    try:
        fd = _files.open_regular(path)
    except FileNotFoundError:
        raise DataError(f"{path}: no such file") from None
    except _files.NotRegularFile as exc:
        raise DataError(str(exc)) from None
    except OSError as exc:
        raise DataError(f"{path}: cannot be opened ({exc.strerror})") from None
    try:
        data = _files.read_fd(fd, path, MAX_BYTES)
    except _files.NotRegularFile:
        raise DataError(f"{path}: larger than {MAX_BYTES // 2**20} MiB, not a catchment file") from None
    except OSError as exc:
        raise DataError(f"{path}: cannot be read ({exc.strerror})") from None
    finally:
        os.close(fd)
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        raise DataError(f"{path}, line {line}: not UTF-8 text (byte {data[exc.start]:#04x})") from None


def read_lines(path: Path) -> list[str]:
    """The lines of ``path``; only \\n and \\r\\n end a line, so line numbers match the user's editor."""
    lines = read_text(path).replace("\r\n", "\n").split("\n")
    if lines[-1] == "":
        lines.pop()
    return lines


def require(path: Path) -> Path:
    """``path`` if something exists there (reading it checks what it is), else a ``DataError``."""
    if not os.path.lexists(path):
        raise DataError(f"{path}: no such file")
    return path
