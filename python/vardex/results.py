"""The results file of `calibrate_many`: its columns, the CSV codec, the locked append-only log and its rewrite.

A results file is CSV (read and written with the csv module only, so any text in a field, line breaks
included, comes back as it went in). Its first line is the header `COLUMNS`; each row is one task. The
settings columns must agree with the batch that opens the file again; a file that is not one of ours is
refused without a byte changed.
"""
from __future__ import annotations

import csv
import fcntl
import io
import json
import os
from pathlib import Path
from typing import Any, Iterator, Mapping, NamedTuple, Sequence, TextIO

import vardex_rs.hydro
import vardex_rs.snow.cemaneige

from vardex import _files
from vardex.models import MODELS

__all__ = ["COLUMNS", "Task", "ResultsLog", "format_row", "header"]

_SNOW_PARAMS = tuple(vardex_rs.snow.cemaneige.param_names)
_MAX_PARAMS = max(len(getattr(vardex_rs.hydro, m).param_names) for m in MODELS)
# Every model names its parameters x1 ... xN, so one set of columns holds them all (blank beyond N).
PARAM_COLUMNS = _SNOW_PARAMS + tuple(f"x{i}" for i in range(1, _MAX_PARAMS + 1))
KEY_COLUMNS = ("gauge", "forcing", "model", "seed")
# What the whole batch was run with: checked against every row of a file that is opened again.
SETTING_COLUMNS = ("snow_mode", "optimiser", "objective", "transformation", "warmup", "period", "validation",
                   "spinup", "max_steps", "max_evaluations", "settings", "version")
# What this row's run used, where it depends on the catchment: the data directory, whether CemaNeige ran
# (snow_mode "auto") and its elevation bands (m).
SOURCE_COLUMNS = ("source", "snow", "elevation_bands")
RESULT_COLUMNS = ("rmse", "nse", "kge", "val_rmse", "val_nse", "val_kge", "evaluations", "steps", "seconds",
                  "done", "error")
COLUMNS: tuple[str, ...] = KEY_COLUMNS + SETTING_COLUMNS + SOURCE_COLUMNS + PARAM_COLUMNS + RESULT_COLUMNS

_INTS = {"seed", "warmup", "spinup", "max_steps", "max_evaluations", "evaluations", "steps"}
_BOOLS = {"snow", "done"}
_FLOATS = set(PARAM_COLUMNS) | {"rmse", "nse", "kge", "val_rmse", "val_nse", "val_kge", "seconds"}
_TEXT = {"gauge", "forcing", "model", "source", "error", "snow_mode", "optimiser", "objective", "transformation",
         "period", "validation", "settings", "version"}


class Task(NamedTuple):
    gauge: str
    forcing: str
    model: str
    seed: int


def _csv_line(values: Sequence[str]) -> str:
    # Written with "\r\n" so that the writer quotes a field holding either; the line itself ends in "\n".
    buffer = io.StringIO()
    csv.writer(buffer, lineterminator="\r\n").writerow(values)
    return buffer.getvalue()[:-2] + "\n"


def header() -> str:
    return _csv_line(COLUMNS)


def format_value(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return repr(value)     # shortest round-trip form: read back bit for bit
    if isinstance(value, (list, tuple)):
        return json.dumps([float(v) for v in value])
    return str(value)


def format_row(row: Mapping[str, Any]) -> str:
    return _csv_line([format_value(row[c]) for c in COLUMNS])


def write_rows(stream: TextIO, rows: Iterator[Mapping[str, Any]] | Sequence[Mapping[str, Any]]) -> None:
    stream.write(header())
    for row in rows:
        stream.write(format_row(row))


def _parse(column: str, text: str) -> Any:
    if column in _TEXT:
        return text
    if text == "":
        return None
    if column in _INTS:
        return int(text)
    if column in _FLOATS:
        return float(text)
    if column in _BOOLS:
        if text not in ("True", "False"):
            raise ValueError(text)
        return text == "True"
    values = json.loads(text)    # elevation_bands
    if not isinstance(values, list):
        raise ValueError(text)
    return [float(v) for v in values]


def _records(text: str) -> Iterator[tuple[int, int, list[str] | None]]:
    """(first line number, end offset in characters, fields or None if malformed) of each CSV record of ``text``.

    Lines are split at "\\n" only (what the writer ends a row with); \\r, \\x85 or \\u2028 inside a field are
    just characters, and a quoted line break joins lines into one record.
    """
    pieces = _lines(text)
    consumed = 0
    line = 0

    def feed() -> Iterator[str]:
        nonlocal consumed, line
        for piece in pieces:
            consumed += len(piece)
            line += 1
            yield piece

    reader = csv.reader(feed(), strict=True)
    while True:
        start = line + 1
        try:
            record: list[str] | None = next(reader)
        except StopIteration:
            return
        except csv.Error:
            record = None
        yield start, consumed, record
        if record is None:
            return


def _lines(text: str) -> Iterator[str]:
    start = 0
    while start < len(text):
        end = text.find("\n", start)
        end = len(text) if end < 0 else end + 1
        yield text[start:end]
        start = end


class ResultsLog:
    """A results file opened for a batch: locked, checked, its rows read; rows appended one complete line at a
    time with a single write on an O_APPEND descriptor.

    ``path`` must be missing, empty or a results file with our header (else refused untouched); a symlink
    is followed. Every row must have been written with ``settings`` (else refused, naming the field). A
    trailing partial row left by a killed process is dropped; a later row of a task replaces an earlier one.
    """

    def __init__(self, path: str | os.PathLike[str], settings: Mapping[str, str]) -> None:
        self.path = Path(path)
        self.target = _files.destination(path)
        self.fd = _files.open_regular(self.target, os.O_RDWR | os.O_APPEND | os.O_CREAT)
        try:
            try:
                fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise ValueError(f"{path}: another batch is writing this file") from None
            self.rows: dict[Task, dict[str, Any]] = {}
            self.order: list[Task] = []    # the file's rows as they stand, repeats included
            self._read(settings)
        except BaseException:
            os.close(self.fd)
            raise

    def _refuse(self, why: str) -> ValueError:
        return ValueError(f"{self.path}: {why}; give a new file or a results file of calibrate_many")

    def _read(self, settings: Mapping[str, str]) -> None:
        data = _files.read_fd(self.fd, self.path, None)
        if not data:
            self._write(header())
            return
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            raise self._refuse("not a results file (not UTF-8)") from None
        expected = header()
        if not text.startswith(expected):
            first = text.split("\n", 1)[0]
            if first.startswith("gauge,") and "," in first:
                raise self._refuse("a results file with other columns than this version's")
            raise self._refuse("not a results file (its first line is not the header)")
        body = text[len(expected):]
        keep = 0
        for number, end, record in _records(body):
            number += 1     # after the header
            if record is None or len(record) != len(COLUMNS) or body[end - 1] != "\n":
                if end == len(body):    # the last row, cut short by a killed process: dropped
                    break
                raise ValueError(f"{self.path}, line {number}: malformed row")
            keep = end
            fields = dict(zip(COLUMNS, record))
            for name, value in settings.items():
                if fields[name] != value:
                    raise ValueError(f"{self.path}, line {number}: written with {name}={fields[name] or '(none)'}, "
                                     f"this batch has {name}={value or '(none)'}; use the same settings or "
                                     "another output file")
            try:
                row = {c: _parse(c, v) for c, v in fields.items()}
            except ValueError:
                raise ValueError(f"{self.path}, line {number}: malformed row") from None
            task = Task(row["gauge"], row["forcing"], row["model"], row["seed"])
            self.rows[task] = row
            self.order.append(task)
        kept = len(text[:len(expected) + keep].encode("utf-8"))
        if kept != len(data):
            os.ftruncate(self.fd, kept)

    def _write(self, line: str) -> None:
        data = line.encode("utf-8")
        while data:
            data = data[os.write(self.fd, data):]

    def append(self, row: Mapping[str, Any]) -> None:
        self._write(format_row(row))

    def rewrite(self, rows: Sequence[Mapping[str, Any]]) -> None:
        """Replace the file by ``rows``, at once (see `_files.replace`)."""
        _files.replace(self.target, lambda stream: write_rows(stream, rows))

    def close(self) -> None:
        os.close(self.fd)
