"""The results file of `calibrate_many`, both ways: its columns and schema, the CSV codec, the one reader (used by
resume, the report and users), the locked append-only log with its safe rewrite, and `BatchResults`.

A results file is CSV (read and written with the csv module only, so any text in a field, line breaks
included, comes back as it went in). Its first line is the header `COLUMNS`; each row is one task, and a later
row of a task replaces an earlier one. Every row carries the results ``schema`` (the layout, `SCHEMA`) apart from
the ``version`` of the package that wrote it. Files of an earlier schema are read (`read_results`, the report)
but never appended to; a batch appends only to a file of this schema written by this version with the same
settings. A file that is not one of ours is refused without a byte changed.
"""
from __future__ import annotations

import csv
import fcntl
import io
import json
import os
import stat
import sys
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Any, Iterable, Iterator, Mapping, NamedTuple, Sequence, TextIO

import vardex_rs.hydro
import vardex_rs.snow.cemaneige

from vardex import _files
from vardex._optional import optional_import
from vardex.models import MODELS

__all__ = ["SCHEMA", "COLUMNS", "PARAM_COLUMNS", "Task", "ResultsLog", "BatchResults", "ResultsError", "read_results",
           "iter_rows", "StoredRow",
           "format_row", "header"]

# The layout of the rows. 1: the columns without "schema" (vardex 0.7); 2: "schema" first.
SCHEMA = 2

_SNOW_PARAMS = tuple(vardex_rs.snow.cemaneige.param_names)
_MAX_PARAMS = max(len(getattr(vardex_rs.hydro, m).param_names) for m in MODELS)
# Every model names its parameters x1 ... xN, so one set of columns holds them all (blank beyond N).
PARAM_COLUMNS = _SNOW_PARAMS + tuple(f"x{i}" for i in range(1, _MAX_PARAMS + 1))
KEY_COLUMNS = ("gauge", "forcing", "model", "seed")
# What the whole batch was run with: checked against every row of a file that is opened again.
SETTING_COLUMNS = ("snow_mode", "bands", "optimiser", "objective", "transformation", "warmup", "period",
                   "validation", "spinup", "max_steps", "max_evaluations", "settings", "version")
_SCHEMA_1_SETTINGS = tuple(c for c in SETTING_COLUMNS if c != "bands")
# What this row's run used, where it depends on the catchment: the data's origin (a data directory, or a
# fingerprint of data built in memory), whether CemaNeige ran (snow_mode "auto") and its elevation bands (m).
SOURCE_COLUMNS = ("source", "snow", "elevation_bands")
# Scores of the flows as they are, KGE's components and the bias; the objective as optimised (transformed flows).
SCORE_COLUMNS = ("rmse", "nse", "kge", "kge_r", "kge_alpha", "kge_beta", "pbias", "objective_value")
# The water a run leaned on (shares of its precipitation; actual over potential evaporation).
WATER_COLUMNS = ("created_water", "lost_water", "aet_pet")
# The flow-duration biases (%) and the baseflow-index error (simulated minus observed).
SIGNATURE_COLUMNS = ("fhv", "flv", "fms", "bfi_error")
_PERIOD_COLUMNS = SCORE_COLUMNS + WATER_COLUMNS + SIGNATURE_COLUMNS
RESULT_COLUMNS = (_PERIOD_COLUMNS + tuple(f"val_{c}" for c in _PERIOD_COLUMNS)
                  + ("at_bounds", "evaluations", "steps", "starts", "stop_reason", "seconds", "done", "error"))
_SCHEMA_1_RESULTS = ("rmse", "nse", "kge", "val_rmse", "val_nse", "val_kge", "evaluations", "steps", "seconds",
                     "done", "error")
_SCHEMA_1 = KEY_COLUMNS + _SCHEMA_1_SETTINGS + SOURCE_COLUMNS + PARAM_COLUMNS + _SCHEMA_1_RESULTS
COLUMNS: tuple[str, ...] = ("schema",) + KEY_COLUMNS + SETTING_COLUMNS + SOURCE_COLUMNS + PARAM_COLUMNS + RESULT_COLUMNS
_LAYOUTS = {COLUMNS: SCHEMA, _SCHEMA_1: 1}

_INTS = {"schema", "seed", "warmup", "spinup", "max_steps", "max_evaluations", "evaluations", "steps", "starts"}
_BOOLS = {"snow", "done"}
_FLOATS = set(PARAM_COLUMNS) | set(_PERIOD_COLUMNS) | {f"val_{c}" for c in _PERIOD_COLUMNS} | {"seconds"}
_TEXT = {"gauge", "forcing", "model", "source", "error", "snow_mode", "bands", "optimiser", "objective",
         "transformation",
         "period", "validation", "settings", "version"}
_OPTIONAL_TEXT = {"at_bounds", "stop_reason"}    # None when empty


class ResultsError(ValueError):
    """A results file that cannot be read or used; the message names the file (and the line)."""


class Task(NamedTuple):
    gauge: str
    forcing: str
    model: str
    seed: int


def task_of(row: Mapping[str, Any]) -> Task:
    return Task(row["gauge"], row["forcing"], row["model"], row["seed"])


# --- the codec -------------------------------------------------------------------------------------------------

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
    return _csv_line([format_value(SCHEMA if c == "schema" else row.get(c)) for c in COLUMNS])


def write_rows(stream: TextIO, rows: Iterable[Mapping[str, Any] | StoredRow]) -> None:
    stream.write(header())
    for row in rows:
        stream.write(row.text if isinstance(row, StoredRow) else format_row(row))


def _parse(column: str, text: str) -> Any:
    if column in _TEXT:
        return text
    if text == "":
        return None
    if column in _OPTIONAL_TEXT:
        return text
    if column in _INTS:
        return int(text)
    if column in _FLOATS:
        return float(text)
    if column in _BOOLS:
        if text not in ("True", "False"):
            raise ValueError(text)
        return text == "True"
    values = json.loads(text)    # elevation_bands
    if not isinstance(values, list) or not all(isinstance(v, (int, float)) and not isinstance(v, bool)
                                               for v in values):
        raise ValueError(text)
    return [float(v) for v in values]


# --- the reader --------------------------------------------------------------------------------------------------

class _Record(NamedTuple):
    line: int              # the line the record starts on (the header is line 1)
    end: int               # byte offset just after it
    fields: list[str] | None    # None: not a complete, well-formed record
    complete: bool         # ended by "\n" (a killed writer leaves the last one without)
    text: str              # the record as it stands in the file


def _records(stream: IO[bytes], path: Any, first_line: int) -> Iterator[_Record]:
    """The CSV records of a binary stream, read as it goes. Lines end at "\\n" only (what the writer ends a
    row with; "\\r\\n" from an editor is read too); \\r, \\x85 or \\u2028 inside a field are characters, and a
    quoted line break joins lines into one record."""
    offset = 0
    line = first_line - 1
    last_complete = True
    taken: list[str] = []    # the lines of the record being read (the csv reader stops at its end)

    def pieces() -> Iterator[str]:
        nonlocal offset, line, last_complete
        for raw in stream:
            offset += len(raw)
            line += 1
            last_complete = raw.endswith(b"\n")
            try:
                text = raw.decode("utf-8")
            except UnicodeDecodeError:
                raise ResultsError(f"{path}, line {line}: not UTF-8 text") from None
            taken.append(text)
            yield text

    reader = csv.reader(pieces(), strict=True)
    while True:
        start = line + 1
        try:
            fields: list[str] | None = next(reader)
        except StopIteration:
            return
        except csv.Error:
            fields = None
        text = "".join(taken)
        taken.clear()
        yield _Record(start, offset, fields, last_complete, text)
        if fields is None:
            return


def _layout(first: bytes, path: Any) -> int:
    """The schema of a file whose first line is ``first``; ResultsError for a file that is not one of ours."""
    try:
        text = first.decode("utf-8").rstrip("\n").rstrip("\r")
    except UnicodeDecodeError:
        raise ResultsError(f"{path}: not a results file (not UTF-8)") from None
    try:
        columns = tuple(next(csv.reader([text], strict=True)))
    except (csv.Error, StopIteration):
        columns = ()
    if columns in _LAYOUTS:
        return _LAYOUTS[columns]
    if columns[:1] in (("schema",), ("gauge",)):
        raise ResultsError(f"{path}: a results file with other columns than this version's")
    raise ResultsError(f"{path}: not a results file (its first line is not the header)")


def _row(columns: Sequence[str], fields: Sequence[str]) -> dict[str, Any]:
    return {c: _parse(c, v) for c, v in zip(columns, fields)}


class StoredRow(NamedTuple):
    """A row of this schema kept as the text it has in the file (a third of its parsed size), with what a
    resumed batch asks of it while it runs; parsed when the batch returns its table."""
    text: str
    source: str
    failed: bool

    def parsed(self) -> dict[str, Any]:
        return _row(COLUMNS, next(csv.reader([self.text], strict=True)))


def _rows(stream: IO[bytes], path: Any, schema: int) -> Iterator[tuple[_Record, dict[str, Any]]]:
    """(record, parsed row) of every row after the header; a last row cut short by a killed writer ends it."""
    columns = COLUMNS if schema == SCHEMA else _SCHEMA_1
    for record in _records(stream, path, 2):
        if not record.complete:
            return    # the last row, cut short by a killed process: dropped
        if record.fields is None or len(record.fields) != len(columns):
            raise ResultsError(f"{path}, line {record.line}: malformed row")
        try:
            row = _row(columns, record.fields)
        except (ValueError, TypeError):
            raise ResultsError(f"{path}, line {record.line}: malformed row") from None
        if row.get("schema", 1) != schema:
            raise ResultsError(f"{path}, line {record.line}: schema {row.get('schema')} in a file of schema {schema}")
        row["schema"] = schema
        if schema != SCHEMA:    # the columns an earlier layout lacks, as None
            row = {**dict.fromkeys(COLUMNS), **row}
        yield record, row


@dataclass
class BatchResults:
    """The rows of a batch in task order (catchments, then forcings, then models, then seeds), one dict per task.

    Columns are `COLUMNS`: the results ``schema``, the task (``gauge``, ``forcing``, ``model``, ``seed``), the
    settings it ran with (``snow_mode`` as asked, optimiser, objective, transformation, warm-up, ``period``,
    ``validation``, ``spinup``, step limit, budget, optimiser ``settings`` as JSON, the package ``version``),
    the origin of its data (``source``: a data directory, or ``memory:`` and a fingerprint of data built in
    memory), whether CemaNeige ran (``snow``) and on which ``elevation_bands``, the best parameters
    (CemaNeige's ``ctg``, ``kf``, ``qnbv`` then ``x1`` … ``x10``; None where the model has none),
    ``rmse``/``nse``/``kge`` on the calibration period and ``val_rmse``/``val_nse``/``val_kge`` on the
    validation period (None without one), ``evaluations``, ``steps``, ``seconds``, ``done`` and ``error``: "" on
    success, else the error ("DataError: ...") with the result columns None. ``pending`` lists the tasks that
    have no row: not run because the batch was ``interrupted``, or ``lost`` (error by task) to a worker or an
    executor that failed; a new run with the same ``out`` file runs exactly those.
    """

    rows: list[dict[str, Any]]
    pending: list[Task] = field(default_factory=list)
    lost: dict[Task, str] = field(default_factory=dict)
    interrupted: bool = False
    columns: tuple[str, ...] = COLUMNS

    def __len__(self) -> int:
        return len(self.rows)

    def __iter__(self) -> Iterator[dict[str, Any]]:
        return iter(self.rows)

    def __getitem__(self, index: int) -> dict[str, Any]:
        return self.rows[index]

    @property
    def failed(self) -> list[dict[str, Any]]:
        return [r for r in self.rows if r["error"]]

    def column(self, name: str) -> list[Any]:
        return [r.get(name) for r in self.rows]

    def to_csv(self, path: str | Path) -> None:
        """Write the rows as a results file of this schema (a regular file or a new one; a symlink's target is
        written)."""
        _files.replace(path, lambda stream: write_rows(stream, self.rows))

    def to_pandas(self) -> Any:
        """A pandas DataFrame of the rows (needs pandas)."""
        pandas = optional_import("pandas", "to_pandas", "pandas")
        return pandas.DataFrame(self.rows, columns=list(self.columns))


def iter_rows(path: str | os.PathLike[str]) -> Iterator[dict[str, Any]]:
    """Every row of a results file (this schema or an earlier one) as it is read, repeats of a task included; a
    last row cut short by a killed writer is left out. `ResultsError` naming the file (and line) for anything
    else, raised when the reader gets there."""
    try:
        fd = _files.open_regular(path)
    except FileNotFoundError:
        raise ResultsError(f"{path}: no such file") from None
    except (_files.NotRegularFile, OSError) as exc:
        raise ResultsError(f"{path}: cannot read the results file: {_files.reason(exc)}") from None
    with os.fdopen(fd, "rb") as stream:
        try:
            first = stream.readline()
            if not first:
                raise ResultsError(f"{path}: the results file is empty")
            schema = _layout(first, path)
            for _, row in _rows(stream, path, schema):
                yield row
        except OSError as exc:
            raise ResultsError(f"{path}: cannot read the results file: {_files.reason(exc)}") from None


def read_results(path: str | os.PathLike[str]) -> BatchResults:
    """The rows of a results file (this schema or an earlier one), one per task in the order the file first
    names them, the last row of a task winning (as a resumed batch does)."""
    rows: dict[Task, dict[str, Any]] = {}
    for row in iter_rows(path):
        rows[task_of(row)] = row
    return BatchResults(list(rows.values()))


# --- the log a batch appends to --------------------------------------------------------------------------------

class ResultsLog:
    """A results file opened for a batch: locked, checked, its rows read; rows appended one complete line at a
    time with a single write on an O_APPEND descriptor.

    ``path`` must be missing, empty or a results file of this schema (else refused untouched); a symlink is
    followed. Every row must have been written with ``settings`` (else refused, naming the field). A trailing
    partial row left by a killed process is dropped, and so are temporary files a killed rewrite left; a later
    row of a task replaces an earlier one.
    """

    def __init__(self, path: str | os.PathLike[str], settings: Mapping[str, str]) -> None:
        self.path = Path(path)
        self.target = _files.destination(path)
        self.fd = _files.open_regular(self.target, os.O_RDWR | os.O_APPEND | os.O_CREAT)
        try:
            try:
                fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise ResultsError(f"{path}: another batch is writing this file") from None
            self.identity = os.fstat(self.fd)
            _files.remove_stale(self.target)    # ours, from a rewrite that was killed: we hold the lock
            self.rows: dict[Task, StoredRow] = {}
            self.order: list[Task] = []    # the file's rows as they stand, repeats included
            self._read(settings)
        except BaseException:
            os.close(self.fd)
            raise

    def _read(self, settings: Mapping[str, str]) -> None:
        stream = os.fdopen(os.dup(self.fd), "rb")
        with stream:
            stream.seek(0)
            first = stream.readline()
            if not first:
                self._write(header())
                return
            schema = _layout(first, self.path)
            if schema != SCHEMA:
                raise ResultsError(f"{self.path}: written in results schema {schema} by an earlier version; this "
                                   f"version appends rows of schema {SCHEMA} only: give a new file "
                                   "(vardex.read_results still reads this one)")
            if not first.endswith(b"\n"):
                raise ResultsError(f"{self.path}: not a results file (its first line is not the header)")
            keep = len(first)
            for record, row in _rows(stream, self.path, schema):
                for name, value in settings.items():
                    if format_value(row[name]) != value:
                        raise ResultsError(
                            f"{self.path}, line {record.line}: written with {name}={format_value(row[name]) or '(none)'}, "
                            f"this batch has {name}={value or '(none)'}; use the same settings or another output file")
                # Kept as text, its repeated names shared: a study's file resumes in a fraction of its parsed size.
                task = Task(sys.intern(row["gauge"]), sys.intern(row["forcing"]), sys.intern(row["model"]),
                            row["seed"])
                text = record.text if not record.text.endswith("\r\n") else format_row(row)    # an editor's line end
                self.rows[task] = StoredRow(text, sys.intern(row["source"]), bool(row["error"]))
                self.order.append(task)
                keep = len(first) + record.end
        if keep != os.fstat(self.fd).st_size:
            os.ftruncate(self.fd, keep)

    def _write(self, line: str) -> None:
        data = line.encode("utf-8")
        try:
            while data:
                data = data[os.write(self.fd, data):]
        except OSError as exc:
            raise _files.failure(exc, self.path, "cannot write") from None

    def append(self, row: Mapping[str, Any]) -> None:
        self._write(format_row(row))

    def rewrite(self, rows: Iterable[Mapping[str, Any] | StoredRow]) -> None:
        """Replace the file's content by ``rows``, only while the path still names the file this log opened.

        Through a new file renamed over it where that keeps everything of the file (its only link, owned by us,
        its group kept); else in place, on the open descriptor."""
        now: os.stat_result | None
        linked: os.stat_result | None
        try:
            now = os.stat(self.path)
            linked = os.lstat(self.target)
        except OSError:
            now = linked = None
        same = (now is not None and linked is not None and stat.S_ISREG(linked.st_mode)
                and (now.st_dev, now.st_ino) == (self.identity.st_dev, self.identity.st_ino)
                and (linked.st_dev, linked.st_ino) == (self.identity.st_dev, self.identity.st_ino))
        if not same:
            warnings.warn(f"{self.path} no longer names the file this batch opened: its rows were appended to that "
                          "file and it was left as it is (not rewritten in task order)", RuntimeWarning, stacklevel=3)
            return
        text = io.StringIO()
        write_rows(text, rows)
        data = text.getvalue().encode("utf-8")
        if not _files.replace_same(self.target, data, self.fd):
            self._rewrite_in_place(data)

    def _rewrite_in_place(self, data: bytes) -> None:
        done = 0
        try:
            # pwrite on an O_APPEND descriptor appends whatever the offset: drop the flag first.
            fcntl.fcntl(self.fd, fcntl.F_SETFL, fcntl.fcntl(self.fd, fcntl.F_GETFL) & ~os.O_APPEND)
            while done < len(data):
                done += os.pwrite(self.fd, data[done:], done)
            os.ftruncate(self.fd, len(data))
            os.fsync(self.fd)
        except OSError as exc:
            raise _files.failure(exc, self.path, "cannot rewrite") from None

    def close(self) -> None:
        os.close(self.fd)
