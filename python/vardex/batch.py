"""Calibrating many catchments × models × seeds at once, on local threads or a Dask cluster, resumably.

One task is one `vardex.calibrate` run. Tasks go to an executor a few at a time (at most twice as many in
flight as there are workers), results come back as small rows (no simulated series), and, with ``out``, each
row is appended to a CSV file as soon as it arrives, so that a batch started again with the same file only
runs what is missing.
"""
from __future__ import annotations

import concurrent.futures as cf
import copy
import itertools
import json
import os
import signal
import sys
import threading
import uuid
from collections import Counter, OrderedDict
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterable, Iterator, Mapping

import vardex_rs

from vardex import _convert, _files, periods
from vardex._optional import optional_import
from vardex.calibration import DDS_DEFAULTS, DEFAULT_BUDGET, SCE_DEFAULTS, calibrate, snow_mode, snow_setting
from vardex.data import Catchment, check_product, load, sample_dir
from vardex.models import canonical_model
from vardex.periods import Period
from vardex.results import COLUMNS, PARAM_COLUMNS, ResultsLog, Task, format_value, write_rows

__all__ = ["calibrate_many", "BatchResults", "Task", "COLUMNS"]

_PARAM_COLUMNS = PARAM_COLUMNS


@dataclass
class BatchResults:
    """The rows of a batch in task order (catchments, then forcings, then models, then seeds), one dict per task.

    Columns are `COLUMNS`: the task (``gauge``, ``forcing``, ``model``, ``seed``), the settings it ran with
    (``snow_mode`` as asked, optimiser, objective, transformation, warm-up, ``period``, ``validation``,
    ``spinup``, budget, optimiser ``settings`` as
    JSON, the package ``version``), where its data came from (``source``), whether CemaNeige ran (``snow``)
    and on which ``elevation_bands``, the best parameters (CemaNeige's ``ctg``, ``kf``, ``qnbv`` then ``x1`` … ``x10``; None where the model has none),
    ``rmse``/``nse``/``kge`` on the calibration period and ``val_rmse``/``val_nse``/``val_kge`` on the
    validation period (None without one), ``evaluations``, ``steps``, ``seconds``, ``done`` and ``error``: "" on success,
    else the error ("DataError: ...") with the result columns None. ``pending`` lists the tasks that have no
    row: not run because the batch was ``interrupted``, or ``lost`` to a failing worker (error by task); a new
    run with the same ``out`` file runs exactly those.
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
        return [r[name] for r in self.rows]

    def to_csv(self, path: str | Path) -> None:
        """Write the rows as a results file (a regular file or a new one; a symlink's target is written)."""
        _files.replace(path, lambda stream: write_rows(stream, self.rows))

    def to_pandas(self) -> Any:
        """A pandas DataFrame of the rows (needs pandas)."""
        pandas = optional_import("pandas", "to_pandas", "pandas")
        return pandas.DataFrame(self.rows, columns=list(self.columns))


# --- the task, as it runs on a worker ------------------------------------------------------------------------

@dataclass(frozen=True)
class _Stored:
    """A catchment that the worker reads itself (shared file system)."""

    gauge: str
    data_dir: str | None
    forcing: str
    batch: str      # entries of one batch never serve another (files may have changed in between)


class _Cache:
    """Catchments by key, least recently used dropped; each loaded once even when many threads ask at once."""

    def __init__(self, size: int) -> None:
        self.size = size
        self._lock = threading.Lock()
        self._entries: OrderedDict[_Stored, list[Any]] = OrderedDict()

    def get(self, key: _Stored) -> Catchment:
        with self._lock:
            entry = self._entries.get(key)
            if entry is None:
                entry = self._entries[key] = [threading.Lock(), None, None]
                while len(self._entries) > self.size:
                    self._entries.popitem(last=False)
            self._entries.move_to_end(key)
        with entry[0]:
            if entry[1] is None and entry[2] is None:
                try:
                    entry[1] = load(key.gauge, key.data_dir, key.forcing)
                except Exception as exc:
                    entry[2] = exc
        if entry[2] is not None:
            raise copy.copy(entry[2])   # a copy per task: threads must not share one traceback
        result: Catchment = entry[1]
        return result


_WORKER_CACHE = _Cache(16)


def _run_task(source: Catchment | _Stored, model: str, seed: int, options: dict[str, Any],
              stop: threading.Event | None) -> tuple[str, dict[str, Any] | str | None]:
    """("ok", result columns) | ("failed", error) | ("interrupted", None)."""
    if stop is not None and stop.is_set():
        return "interrupted", None
    try:
        catchment = _WORKER_CACHE.get(source) if isinstance(source, _Stored) else source
        r = calibrate(catchment, model, seed=seed, progress=False, stop=stop, **options)
    except KeyboardInterrupt:
        r = None
    except Exception as exc:
        return "failed", _error_text(exc)
    if r is None or r.interrupted:
        if stop is not None:
            stop.set()      # the tasks beside this one stop now, not when the batch gets to hear of it
        return "interrupted", None
    values: dict[str, Any] = dict(r.params)
    values.update(r.metrics)
    values.update({f"val_{k}": v for k, v in (r.validation or {}).items()})
    bands = None if r.elevation_bands is None else [float(v) for v in r.elevation_bands]
    values.update(snow=r.snow, elevation_bands=bands, evaluations=r.evaluations,
                  steps=r.steps, seconds=r.seconds, done=r.done, error="")
    return "ok", values


def _error_text(exc: BaseException) -> str:
    text = f"{type(exc).__name__}: {exc}"
    return " ".join(text.split())


# --- executors -----------------------------------------------------------------------------------------------

class _Backend:
    """Submits tasks to an executor; `put` prepares a catchment for shipping."""

    def __init__(self, executor: cf.Executor, slots: int, in_process: bool) -> None:
        self.executor, self._slots, self.in_process = executor, slots, in_process
        self.owned: list[Any] = []

    def slots(self) -> int:
        return self._slots

    def put(self, catchment: Catchment) -> Any:
        return catchment

    def cancel(self, futures: Iterable[cf.Future[Any]]) -> None:
        for f in futures:
            f.cancel()

    def close(self) -> None:
        for thing in reversed(self.owned):
            if isinstance(thing, cf.Executor):
                thing.shutdown(wait=True, cancel_futures=True)
            else:
                thing.close()


class _DaskBackend(_Backend):
    def __init__(self, client: Any, owned: list[Any]) -> None:
        super().__init__(client.get_executor(pure=False), 1, False)
        self.client = client
        self.owned = owned

    def slots(self) -> int:
        return max(1, int(sum(self.client.nthreads().values())))

    def put(self, catchment: Catchment) -> Any:
        # Sent once, then handed to every task of this catchment by reference.
        return self.client.scatter(catchment, hash=False)

    def close(self) -> None:
        self.executor.shutdown(wait=False)
        for thing in reversed(self.owned):
            thing.close()


def _cpus() -> int:
    return len(os.sched_getaffinity(0))


def _import_distributed() -> Any:
    return optional_import("distributed", "running on Dask", "'vardex_rs[dask]'")


def _local_cluster(distributed: Any, workers: int) -> Any:
    # Worker processes inherit an ignored SIGINT: Ctrl-C reaches this process only, which cancels the
    # tasks and closes the cluster, instead of every worker dying with its own traceback.
    main = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if main else None
    try:
        return distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                        dashboard_address=None)
    finally:
        if main:
            signal.signal(signal.SIGINT, previous)


def _backend(executor: Any, workers: int | None) -> _Backend:
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise ValueError(f"workers must be a positive integer, got {workers!r}")
    if executor is None or executor == "threads":
        pool = cf.ThreadPoolExecutor(workers or _cpus(), thread_name_prefix="vardex-batch")
        backend = _Backend(pool, workers or _cpus(), True)
        backend.owned.append(pool)
        return backend
    if workers is not None and not (isinstance(executor, str) and executor == "dask"):
        raise ValueError("workers sets the size of the thread pool or the local Dask cluster that calibrate_many "
                         "creates; it does not apply to a given executor or scheduler")
    if isinstance(executor, str):
        distributed = _import_distributed()
        if executor == "dask":
            cluster = _local_cluster(distributed, workers or _cpus())
            client = distributed.Client(cluster)
            return _DaskBackend(client, [cluster, client])
        client = distributed.Client(executor)
        return _DaskBackend(client, [client])
    distributed = sys.modules.get("distributed")
    if distributed is not None and isinstance(executor, distributed.Client):
        return _DaskBackend(executor, [])
    if isinstance(executor, cf.Executor):
        threads = isinstance(executor, cf.ThreadPoolExecutor)
        return _Backend(executor, getattr(executor, "_max_workers", None) or _cpus(), threads)
    raise TypeError("executor must be None, 'threads', 'dask', a Dask scheduler address, a dask.distributed "
                    f"Client or a concurrent.futures.Executor, got {type(executor).__name__}")


# --- the batch -----------------------------------------------------------------------------------------------

def _listed(values: Any) -> list[Any]:
    return [values] if isinstance(values, (str, Catchment)) else list(values)


class _Tasks:
    """The tasks in order (catchment and forcing, model, seed), generated as they are needed: a million seeds
    cost no list of tasks."""

    def __init__(self, units: list[tuple[str, str]], models: list[str], seeds: list[int]) -> None:
        self.units, self.models, self.seeds = units, models, seeds

    def __len__(self) -> int:
        return len(self.units) * len(self.models) * len(self.seeds)

    def __iter__(self) -> Iterator[Task]:
        for (gauge, forcing), model in itertools.product(self.units, self.models):
            for seed in self.seeds:
                yield Task(gauge, forcing, model, seed)


def _repeated(what: str, values: Iterable[Any]) -> None:
    repeated = sorted(str(v) for v, n in Counter(values).items() if n > 1)
    if repeated:
        raise ValueError(f"repeated {what}: {', '.join(repeated)}")


def calibrate_many(catchments: Iterable[Catchment | str] | Catchment | str, models: Iterable[str] | str,
                   seeds: Iterable[int] | int = (1,), *, data_dir: str | Path | None = None,
                   forcing: str | Iterable[str] = "daymet", forcings: Iterable[str] | None = None,
                   snow: bool | str = "auto", optimiser: str = "sce", objective: str = "nse",
                   transformation: str = "none", warmup: int = 365, period: Period | None = None,
                   validation: Period | None = None, spinup: int = 0, max_steps: int | None = None,
                   max_evaluations: int | None = None, settings: Mapping[str, float] | None = None,
                   executor: Any = None, workers: int | None = None, shared_filesystem: bool = False,
                   out: str | Path | None = None, retry_failed: bool = False, progress: bool = True) -> BatchResults:
    """Run `vardex.calibrate` for every (catchment, forcing, model, seed) and return one row per task.

    ``catchments`` are `Catchment` records (identified by their gauge and their own ``forcing``) or gauge ids,
    each read with ``vardex.data.load(gauge, data_dir, product)`` for every product of ``forcing`` (a product name
    or a list of them; ``forcings=`` says the same), so that one results file can hold a forcing comparison:
    CAMELS products such as ``daymet``, or ``caravan`` (Caravan ids of ``data_dir`` with Oudin PET) and
    ``caravan_pet`` (with the data set's own PET).
    ``models`` are names of `MODELS` in any letter case. ``snow`` (default ``"auto"``: CemaNeige where at
    least 5 % of a catchment's days freeze, see `calibrate`) … ``max_evaluations`` and ``settings`` (the
    optimiser settings) are passed to every `calibrate` call. A task that fails (unreadable data, an error of
    the calibrator) gets its error in its row; the others run on.

    ``executor``:

    - None or ``"threads"``: a thread pool of ``workers`` threads (default one per CPU of
      ``os.sched_getaffinity``). Calibration runs with the interpreter lock released and an optimiser step runs
      on its calling thread, so T threads keep T cores busy. Each calibration's start (its initial population)
      is evaluated on vardex_rs's own worker pool, one thread per CPU and shared by the whole process: while a
      task is starting, up to T + CPUs threads are runnable; this is brief, so T = CPUs is the right size.
    - ``"dask"``: a Dask ``LocalCluster`` of ``workers`` processes (default one per CPU) with one thread each,
      closed at the end. Each process has its own vardex_rs pool.
    - a Dask scheduler address (``"tcp://host:8786"``) or a ``dask.distributed.Client``: tasks run on that
      cluster. Catchment data are loaded here and sent once per catchment; with ``shared_filesystem=True``
      workers read gauge ids from ``data_dir`` themselves instead. On a cluster, one worker process per machine
      with one thread per core (``dask worker ADDRESS --nworkers 1 --nthreads CORES``) shares one vardex_rs
      pool per machine, like the thread pool here.
    - any ``concurrent.futures.Executor`` (tasks and catchments must pickle for a process pool).

    ``out`` is a CSV file (`COLUMNS`) to which every row is appended as it completes. It must be missing,
    empty, or a results file of calibrate_many (anything else is refused untouched; a symlink is followed to
    its target). If it holds rows, they must have been written with the same settings and package version
    (else ValueError naming the field); their tasks are not run again and their rows are read back, and a
    trailing partial line left by a killed process is dropped. With ``retry_failed``, tasks whose row holds
    an error run again and their new row replaces the old. Once every task has its row the file is rewritten
    in task order (rows of other tasks kept after them), through a new file renamed over it.

    Progress over tasks is shown on stderr (``progress=False`` shows nothing). Ctrl-C (or a KeyboardInterrupt
    from a task) stops the batch: tasks not yet started are cancelled, running ones stop after their current
    step (on a cluster they are cancelled), every completed row is kept, and the result has ``interrupted``
    set and lists the rest in ``pending``.
    """
    sources = _listed(catchments)
    model_names = [canonical_model(m) for m in _listed(models)]
    if forcings is not None:
        if not (isinstance(forcing, str) and forcing == "daymet"):
            raise TypeError("give forcing or forcings, not both")
        forcing = forcings
    products = _listed(forcing)
    for product in products:
        check_product(product)
    seed_values = [_convert.count(s, "seed") for s in ([seeds] if isinstance(seeds, int) else list(seeds))]
    snow = snow_setting(snow)
    if optimiser not in ("sce", "dds"):
        raise ValueError(f"Unknown optimiser '{optimiser}'. Valid options: sce, dds")
    objective, transformation = objective.lower(), transformation.lower()
    if objective not in ("rmse", "nse", "kge"):
        raise ValueError(f"Unknown objective '{objective}'. Valid options: rmse, nse, kge")
    if transformation not in ("none", "log", "sqrt"):
        raise ValueError(f"Unknown transformation '{transformation}'. Valid options: none, log, sqrt")
    options_table = SCE_DEFAULTS if optimiser == "sce" else DDS_DEFAULTS
    settings = dict(settings or {})
    unknown = set(settings) - set(options_table)
    if unknown:
        raise TypeError(f"Unknown {optimiser} settings: {', '.join(sorted(unknown))}")
    if max_steps is not None and max_steps < 1:
        raise ValueError(f"max_steps must be at least 1, got {max_steps}")
    warmup, spinup = _convert.count(warmup, "warmup"), _convert.count(spinup, "spinup")
    budget = DEFAULT_BUDGET[optimiser] if max_evaluations is None else _convert.count(max_evaluations,
                                                                                      "max_evaluations")

    units: list[tuple[str, str]] = []
    by_unit: dict[tuple[str, str], Catchment | str] = {}
    for source in sources:
        if isinstance(source, Catchment):
            pairs = [(source.gauge, source.forcing)]
        elif isinstance(source, str):
            pairs = [(source, product) for product in products]
        else:
            raise TypeError(f"catchments must be Catchment records or gauge ids, got {type(source).__name__}")
        units.extend(pairs)
        by_unit.update(dict.fromkeys(pairs, source))
    _repeated("catchment", (f"{g} ({f})" if len(products) > 1 else g for g, f in units))
    _repeated("forcing", products)
    _repeated("model", model_names)
    _repeated("seed", seed_values)

    options: dict[str, Any] = dict(snow=snow, optimiser=optimiser, objective=objective,
                                   transformation=transformation, warmup=warmup, period=period,
                                   validation=validation, spinup=spinup, max_steps=max_steps,
                                   max_evaluations=budget, **settings)
    fixed = {"snow_mode": snow_mode(snow), "optimiser": optimiser,
             "objective": objective, "transformation": transformation, "warmup": warmup,
             "period": _period_text(period), "validation": _period_text(validation), "spinup": spinup,
             "max_steps": max_steps,
             "max_evaluations": budget,
             "settings": json.dumps({k: float(v) for k, v in sorted({**options_table, **settings}.items())}),
             "version": vardex_rs.__version__}
    tasks = _Tasks(units, model_names, seed_values)

    log = ResultsLog(out, {k: format_value(v) for k, v in fixed.items()}) if out is not None else None
    try:
        return _run(tasks, by_unit, options, fixed, log, executor, workers, data_dir, shared_filesystem,
                    retry_failed, progress)
    finally:
        if log is not None:
            log.close()


def _period_text(period: Period | None) -> str:
    """A period as asked for, ``START:END`` ("" for none; checked against each catchment's record when it runs)."""
    return "" if period is None else ":".join(str(day) for day in periods.bounds(period))


def _run(tasks: _Tasks, sources: dict[tuple[str, str], Catchment | str], options: dict[str, Any],
         fixed: dict[str, Any], log: ResultsLog | None, executor: Any, workers: int | None,
         data_dir: str | Path | None, shared_filesystem: bool, retry_failed: bool, progress: bool) -> BatchResults:
    bar = None
    if progress:
        from tqdm import tqdm
        bar = tqdm(total=len(tasks), unit="task", file=sys.stderr, desc="calibrate_many")
    default_source = str((sample_dir() if data_dir is None else Path(data_dir)).resolve())

    def source_of(task: Task) -> str:
        source = sources[task.gauge, task.forcing]
        return source.source if isinstance(source, Catchment) else default_source

    previous = log.rows if log is not None else {}
    results: dict[Task, dict[str, Any]] = {}
    for t in (tasks if previous else ()):
        row = previous.get(t)
        if row is not None and row["source"] != source_of(t):
            # A row computed from other data is not this batch's result, whatever its settings.
            raise ValueError(f"{log.path if log else ''}: {t.gauge} ({t.forcing}) written with source={row['source']}, "
                             f"this batch has source={source_of(t)}; use the same data or another output file")
        if row is not None and not (retry_failed and row["error"]):
            results[t] = row
    todo = (t for t in tasks if t not in results)
    lost: dict[Task, str] = {}
    interrupted = False
    failed = sum(1 for r in results.values() if r["error"])
    written = list(log.order) if log is not None else []    # the file's rows, in file order
    stop = threading.Event()
    if bar is not None:
        bar.update(len(results))
        bar.set_postfix({"failed": failed}, refresh=True)
    def record(task: Task, values: dict[str, Any]) -> None:
        nonlocal failed
        row: dict[str, Any] = dict.fromkeys(COLUMNS)
        row.update(task._asdict(), **fixed)
        row["source"] = source_of(task)
        row.update(values)
        if log is not None:
            log.append(row)
            written.append(task)
        results[task] = row
        failed += bool(row["error"])
        if bar is not None:
            bar.set_postfix({"failed": failed}, refresh=False)
            bar.update(1)

    batch = uuid.uuid4().hex
    backend = _backend(executor, workers) if len(results) < len(tasks) else None
    inflight: dict[cf.Future[Any], Task] = {}
    try:
        if backend is not None:
            shipped: tuple[tuple[str, str], Any] | None = None
            exhausted = False
            try:
                while True:
                    while not exhausted and len(inflight) < 2 * backend.slots():
                        task = next(todo, None)
                        if task is None:
                            exhausted = True
                            break
                        unit = (task.gauge, task.forcing)
                        if shipped is None or shipped[0] != unit:
                            shipped = (unit, _source(sources[unit], backend, data_dir, task.forcing,
                                                     shared_filesystem, batch))
                        if isinstance(shipped[1], Exception):
                            record(task, {"error": _error_text(shipped[1])})
                            continue
                        future = backend.executor.submit(_run_task, shipped[1], task.model, task.seed, options,
                                                         stop if backend.in_process else None)
                        inflight[future] = task
                    if not inflight:
                        break
                    done, _ = cf.wait(list(inflight), return_when=cf.FIRST_COMPLETED)
                    for future in done:
                        task = inflight.pop(future)
                        outcome = _outcome(future)
                        if outcome[0] == "interrupted":
                            raise KeyboardInterrupt
                        if outcome[0] == "lost":
                            lost[task] = str(outcome[1])
                        else:
                            record(task, outcome[1] if outcome[0] == "ok" else {"error": outcome[1]})
            except KeyboardInterrupt:
                interrupted = True
                stop.set()
                backend.cancel(inflight)
                if backend.in_process:
                    # Running tasks stop within one optimiser step; keep those that completed meanwhile.
                    for future in cf.as_completed(list(inflight)):
                        if future.cancelled():
                            continue
                        outcome = _outcome(future)
                        if outcome[0] in ("ok", "failed"):
                            task = inflight[future]
                            record(task, outcome[1] if outcome[0] == "ok" else {"error": outcome[1]})
    finally:
        if backend is not None:
            backend.close()
        if bar is not None:
            bar.close()

    pending = [t for t in tasks if t not in results]
    if log is not None and not pending:
        mine = set(results)
        others = [t for t in dict.fromkeys(log.order) if t not in mine]
        wanted = itertools.chain(tasks, others)
        if len(written) != len(tasks) + len(others) or any(a != b for a, b in zip(written, wanted)):
            log.rewrite([results[t] for t in tasks] + [previous[t] for t in others])
    return BatchResults(rows=[results[t] for t in tasks if t in results], pending=pending, lost=lost,
                        interrupted=interrupted)


def _outcome(future: cf.Future[Any]) -> tuple[str, Any]:
    try:
        status, value = future.result()
    except KeyboardInterrupt:
        return "interrupted", None
    except BaseException as exc:    # the executor or a worker failed, not the task: not recorded, run again
        return "lost", _error_text(exc)
    return str(status), value


def _source(source: Catchment | str, backend: _Backend, data_dir: str | Path | None, forcing: str,
            shared_filesystem: bool, batch: str) -> Any:
    """What a task of this catchment is given: the record (or a handle to it), or what to read; or the error."""
    if isinstance(source, str) and shared_filesystem and not backend.in_process:
        return _Stored(source, None if data_dir is None else str(Path(data_dir).resolve()), forcing, batch)
    try:
        catchment = source if isinstance(source, Catchment) else load(source, data_dir, forcing)
    except Exception as exc:
        return exc
    return backend.put(catchment)
