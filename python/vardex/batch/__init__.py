"""Calibrating many catchments × models × seeds at once, on local threads or a Dask cluster, resumably.

One task is one calibration. Tasks go to an executor a few at a time (at most twice as many in flight as there
are workers), results come back as small rows (no simulated series), and, with ``out``, each row is appended to
a results file as soon as it arrives, so that a batch started again with the same file only runs what is
missing.
"""
from __future__ import annotations

from pathlib import Path
from typing import Any, Iterable, Mapping

from vardex.batch.schedule import Plan, Tasks, run_batch
from vardex.calibration import ENGINES
from vardex.data import Catchment, sample_dir
from vardex.periods import Period
from vardex.results import COLUMNS, BatchResults, ResultsLog, Task, format_value
from vardex.settings import DEFAULT_OPTIMISER, Settings, refuse_repeated

__all__ = ["calibrate_many", "BatchResults", "Task", "COLUMNS"]


def calibrate_many(catchments: Iterable[Catchment | str] | Catchment | str, models: Iterable[str] | str,
                   seeds: Iterable[int] | int = (1,), *, data_dir: str | Path | None = None,
                   forcing: str | Iterable[str] = "daymet", forcings: Iterable[str] | None = None,
                   snow: bool | str = "auto", elevation_bands: Any = None, optimiser: str = DEFAULT_OPTIMISER,
                   objective: str = "nse",
                   transformation: str = "none", warmup: int = 365, period: Period | None = None,
                   validation: Period | None = None, spinup: int = 0, max_steps: int | None = None,
                   max_evaluations: int | None = None, starts: int | None = None, restart: bool = True,
                   settings: Mapping[str, float] | None = None, executor: Any = None, workers: int | None = None,
                   shared_filesystem: bool = False,
                   out: str | Path | None = None, retry_failed: bool = False, progress: bool = True,
                   **options: float) -> BatchResults:
    """Run `vardex.calibrate` for every (catchment, forcing, model, seed) and return one row per task.

    ``catchments`` are `Catchment` records (identified by their gauge, their own ``forcing`` and their data's
    ``origin``) or gauge ids, each read with ``vardex.data.load(gauge, data_dir, product)`` for every product
    of ``forcing`` (a product name or a list of them; ``forcings=`` says the same), so that one results file
    can hold a forcing comparison: CAMELS products such as ``daymet``, or ``caravan`` (Caravan ids of
    ``data_dir`` with Oudin PET) and ``caravan_pet`` (with the data set's own PET).
    ``models`` are names of `MODELS` in any letter case. ``snow`` (default ``"auto"``: CemaNeige where at
    least 10 % of a catchment's precipitation falls on freezing days, see `calibrate`), ``elevation_bands`` …
    ``max_evaluations``, ``starts``, ``restart`` and the optimiser's
    settings (a ``settings`` mapping or keyword arguments, as `calibrate` takes them) apply to every task; all
    of them are checked before any task runs. A task that fails (unreadable data, an error of the calibrator)
    gets its error in its row; the others run on.

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

    ``out`` is a results file (`vardex.results`) to which every row is appended as it completes. It must be
    missing, empty, or a results file of this schema (anything else is refused untouched; a symlink is
    followed to its target). If it holds rows, they must have been written with the same settings, package
    version and data (else ValueError naming the field); their tasks are not run again and their rows are
    read back, and a trailing partial line left by a killed process is dropped. With ``retry_failed``, tasks
    whose row holds an error run again and their new row replaces the old. Once every task has its row the file
    is rewritten in task order (rows of other tasks kept after them), as long as its path still names the file
    that was opened.

    Progress over tasks is shown on stderr (``progress=False`` shows nothing). Ctrl-C (or a KeyboardInterrupt
    from a task) stops the batch: tasks not yet started are cancelled, running ones stop after their current
    step (on a cluster they are cancelled), every completed row is kept, and the result has ``interrupted``
    set and lists the rest in ``pending``. A task that cannot be submitted (no thread can start, a broken
    process pool) is ``lost`` and the tasks after it are ``pending``.
    """
    if forcings is not None:
        if not (isinstance(forcing, str) and forcing == "daymet"):
            raise TypeError("give forcing or forcings, not both")
        forcing = forcings
    record = Settings.build(models=models, forcing=forcing, seeds=seeds, snow=snow, elevation_bands=elevation_bands,
                            optimiser=optimiser,
                            objective=objective, transformation=transformation, warmup=warmup, period=period,
                            validation=validation, spinup=spinup, max_steps=max_steps,
                            max_evaluations=max_evaluations, starts=starts, restart=restart, settings=settings,
                            **options)
    return run_many(catchments, record, data_dir=data_dir, executor=executor, workers=workers,
                    shared_filesystem=shared_filesystem, out=out, retry_failed=retry_failed, progress=progress)


def run_many(catchments: Iterable[Catchment | str] | Catchment | str, record: Settings, *,
             data_dir: str | Path | None = None, executor: Any = None, workers: int | None = None,
             shared_filesystem: bool = False, out: str | Path | None = None, retry_failed: bool = False,
             progress: bool = True, engines: Mapping[str, Any] = ENGINES) -> BatchResults:
    """`calibrate_many` of a settings record (its models, forcings and seeds), with the calibrators to run
    (``engines``, `vardex.calibration.ENGINES`)."""
    sources = [catchments] if isinstance(catchments, (str, Catchment)) else list(catchments)
    default_origin = str((sample_dir() if data_dir is None else Path(data_dir)).resolve())
    units: list[tuple[str, str]] = []
    by_unit: dict[tuple[str, str], Catchment | str] = {}
    origins: dict[tuple[str, str], str] = {}
    for source in sources:
        if isinstance(source, Catchment):
            pairs = [(source.gauge, source.forcing)]
            origin = source.origin
        elif isinstance(source, str):
            pairs = [(source, product) for product in record.forcings]
            origin = default_origin
        else:
            raise TypeError(f"catchments must be Catchment records or gauge ids, got {type(source).__name__}")
        units.extend(pairs)
        by_unit.update(dict.fromkeys(pairs, source))
        origins.update(dict.fromkeys(pairs, origin))
    refuse_repeated("catchment", (f"{g} ({f})" if len(record.forcings) > 1 else g for g, f in units))

    plan = Plan(record, Tasks(units, record.models, record.seeds), by_unit, origins, data_dir, shared_filesystem)
    log = None
    if out is not None:
        log = ResultsLog(out, {k: format_value(v) for k, v in record.row().items()})
    try:
        return run_batch(plan, log, executor, workers, retry_failed=retry_failed, progress=progress,
                         engines=engines)
    finally:
        if log is not None:
            log.close()
