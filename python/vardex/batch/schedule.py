"""Scheduling a batch: the tasks in order, a few in flight at a time, rows recorded as they come back, an
interrupt or a failing executor turning the rest into pending tasks, and the final rewrite of the results file."""
from __future__ import annotations

import concurrent.futures as cf
import itertools
import sys
import threading
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterator, Mapping

from vardex.batch.backends import Backend, make_backend
from vardex.batch.worker import Stored, error_text, run_task
from vardex.calibration import ENGINES
from vardex.data import Catchment, load
from vardex.results import COLUMNS, SCHEMA, BatchResults, ResultsLog, StoredRow, Task
from vardex.settings import Settings

__all__ = ["Plan", "Tasks", "run_batch"]


class Tasks:
    """The tasks in order (catchment and forcing, model, seed), generated as they are needed: a million seeds
    cost no list of tasks."""

    def __init__(self, units: list[tuple[str, str]], models: tuple[str, ...], seeds: tuple[int, ...]) -> None:
        self.units, self.models, self.seeds = units, models, seeds

    def __len__(self) -> int:
        return len(self.units) * len(self.models) * len(self.seeds)

    def __iter__(self) -> Iterator[Task]:
        for (gauge, forcing), model in itertools.product(self.units, self.models):
            for seed in self.seeds:
                yield Task(gauge, forcing, model, seed)


@dataclass
class Plan:
    """What a batch runs: its settings, its tasks, where each catchment comes from and what identifies its
    data (a row of other data is never this batch's result)."""

    settings: Settings
    tasks: Tasks
    sources: dict[tuple[str, str], Catchment | str]
    origins: dict[tuple[str, str], str]
    data_dir: str | Path | None
    shared_filesystem: bool


def run_batch(plan: Plan, log: ResultsLog | None, executor: Any, workers: int | None, *, retry_failed: bool,
              progress: bool, engines: Mapping[str, Any] = ENGINES) -> BatchResults:
    """Run every task of ``plan`` that ``log`` has no row for (or whose row failed, with ``retry_failed``);
    ``engines`` are the calibrators (`vardex.calibration.ENGINES`)."""
    tasks = plan.tasks
    previous = log.rows if log is not None else {}
    results: dict[Task, dict[str, Any] | StoredRow] = {}
    for t in (tasks if previous else ()):
        stored = previous.get(t)
        origin = plan.origins[t.gauge, t.forcing]
        if stored is not None and stored.source != origin:
            raise ValueError(f"{log.path if log else ''}: {t.gauge} ({t.forcing}) written with source={stored.source}, "
                             f"this batch has source={origin}; use the same data or another output file")
        if stored is not None and not (retry_failed and stored.failed):
            results[t] = stored

    bar = None
    if progress:
        from tqdm import tqdm
        bar = tqdm(total=len(tasks), unit="task", file=sys.stderr, desc="calibrate_many")
    fixed = plan.settings.row()
    failed = sum(1 for r in results.values() if (r.failed if isinstance(r, StoredRow) else r["error"]))
    written = list(log.order) if log is not None else []    # the file's rows, in file order
    lost: dict[Task, str] = {}
    interrupted = False
    stop = threading.Event()
    if bar is not None:
        bar.update(len(results))
        bar.set_postfix({"failed": failed}, refresh=True)

    def record(task: Task, values: dict[str, Any]) -> None:
        nonlocal failed
        row: dict[str, Any] = dict.fromkeys(COLUMNS)
        row.update(task._asdict(), **fixed, schema=SCHEMA)
        row["source"] = plan.origins[task.gauge, task.forcing]
        loaded = (values.pop("forcing", task.forcing), values.pop("source", row["source"]))
        if loaded != (task.forcing, row["source"]):
            values = {"error": f"ValueError: the data loaded for this task are {loaded[0]} from {loaded[1]}, "
                               f"not {task.forcing} from {row['source']}"}
        row.update(values)
        if log is not None:
            log.append(row)
            written.append(task)
        results[task] = row
        failed += bool(row["error"])
        if bar is not None:
            bar.set_postfix({"failed": failed}, refresh=False)
            bar.update(1)

    todo = (t for t in tasks if t not in results)
    backend: Backend | None = None
    inflight: dict[cf.Future[Any], Task] = {}
    try:
        if len(results) < len(tasks):
            backend = make_backend(executor, workers)
        if backend is not None:
            batch = uuid.uuid4().hex
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
                            shipped = (unit, _ship(plan, unit, backend, batch))
                        if isinstance(shipped[1], Exception):
                            record(task, {"error": error_text(shipped[1])})
                            continue
                        try:
                            future = backend.executor.submit(run_task, shipped[1],
                                                             plan.settings.with_model(task.model, task.seed),
                                                             stop if backend.in_process else None, engines)
                        except Exception as exc:    # no thread can start, a broken pool: the task is lost
                            lost[task] = error_text(exc)
                            exhausted = True
                            break
                        inflight[future] = task
                    if not inflight:
                        break
                    done, _ = cf.wait(list(inflight), return_when=cf.FIRST_COMPLETED)
                    # Tasks that finished together are recorded in task order (inflight keeps the submission
                    # order): the same grid on the same machine appends its rows alike.
                    for future in [f for f in inflight if f in done]:
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
                    # Running tasks stop within one optimiser step; keep those that completed meanwhile, in task
                    # order.
                    cf.wait(list(inflight))
                    for future in inflight:
                        if future.cancelled():
                            continue
                        outcome = _outcome(future)
                        if outcome[0] in ("ok", "failed"):
                            task = inflight[future]
                            record(task, outcome[1] if outcome[0] == "ok" else {"error": outcome[1]})
    except KeyboardInterrupt:
        interrupted = True      # while the backend started
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
    # The table, each kept row parsed as its text is let go: the parsed rows are all that is held at the end.
    previous.clear()
    rows = []
    for t in tasks:
        if t in results:
            row = results.pop(t)
            rows.append(row.parsed() if isinstance(row, StoredRow) else row)
    return BatchResults(rows=rows, pending=pending, lost=lost, interrupted=interrupted)


def _outcome(future: cf.Future[Any]) -> tuple[str, Any]:
    try:
        status, value = future.result()
    except KeyboardInterrupt:
        return "interrupted", None
    except BaseException as exc:    # the executor or a worker failed, not the task: not recorded, run again
        return "lost", error_text(exc)
    return str(status), value


def _ship(plan: Plan, unit: tuple[str, str], backend: Backend, batch: str) -> Any:
    """What a task of this catchment is given: the record (or a handle to it), or what to read; or the error."""
    source = plan.sources[unit]
    if isinstance(source, str) and plan.shared_filesystem and not backend.in_process:
        data_dir = None if plan.data_dir is None else str(Path(plan.data_dir).resolve())
        return Stored(source, data_dir, unit[1], batch)
    try:
        catchment = source if isinstance(source, Catchment) else load(source, plan.data_dir, unit[1])
        return backend.put(catchment)
    except Exception as exc:
        return exc
