"""vardex.calibrate_many and vardex batch: task by task identity with serial calibrate calls on threads and Dask,
failures confined to their task, interruption and resume through the results file."""
import csv
import dataclasses
import shutil
import subprocess
import sys
import time

import numpy as np
import pytest

import vardex
from vardex import batch, calibration, results
from vardex.settings import DEFAULT_OPTIMISER
from vardex.data import sample_dir

TINY = dict(max_steps=2, progress=False)


@pytest.fixture(scope="module")
def records():
    return [vardex.load_camels(g) for g in ("01022500", "03015500")]


@pytest.fixture
def broken_dir(tmp_path):
    """The shipped sample with 03015500's forcing file ending in a truncated row."""
    data = tmp_path / "camels"
    shutil.copytree(sample_dir(), data, ignore=shutil.ignore_patterns("README.md"))
    forcing = data / "03015500_daymet_forcing.txt"
    lines = forcing.read_text().splitlines()
    forcing.write_text("\n".join(lines[:100] + [lines[100][:20]]) + "\n")
    return data


def all_nan(catchment):
    return dataclasses.replace(catchment, gauge="00000001", observed=np.full(len(catchment), np.nan))


def keys(rows):
    return [(r["gauge"], r["model"], r["seed"]) for r in rows]


def assert_matches_serial(rows, catchment, **kwargs):
    for row in rows:
        r = vardex.calibrate(catchment, row["model"], seed=row["seed"], **{**TINY, **kwargs})
        assert row["error"] == "", row["error"]
        assert {k: row[k] for k in r.params} == r.params and {k: row[k] for k in r.metrics} == r.metrics
        assert (row["evaluations"], row["steps"], row["done"]) == (r.evaluations, r.steps, r.done)
        assert all(row[k] is None for k in results.PARAM_COLUMNS if k not in r.params)


def assert_failed(rows, error):
    assert rows and all(r["error"].startswith(error) for r in rows), [r["error"] for r in rows]
    assert all(r[k] is None for r in rows for k in ("x1", "nse", "evaluations", "seconds"))


class Seeded:
    """Stands in for an optimiser class: calls `hook(seed)` (the last constructor argument) before init."""

    def __init__(self, cls, hook):
        self.cls, self.hook = cls, hook

    def __call__(self, *args):
        engine, hook, seed = self.cls(*args), self.hook, args[-1]

        class Proxy:
            def init(self, *a):
                hook(seed)
                return engine.init(*a)

            def step(self, *a):
                return engine.step(*a)

            @property
            def evaluations(self):
                return engine.evaluations
        return Proxy()


def interrupt_at(seed):
    def hook(s):
        if s == seed:
            raise KeyboardInterrupt
    return hook


def test_threads_match_serial_and_failures_stay_in_their_row(records, broken_dir):
    # Read from a directory where one gauge's file is malformed, plus a record the calibrator rejects.
    table = vardex.calibrate_many(["01022500", "03015500", all_nan(records[0])], ["hbv", "gr4j"], [4, 1],
                                  data_dir=broken_dir, snow=True, workers=2, **TINY)
    assert not table.interrupted and table.pending == [] and table.lost == {}
    assert keys(table) == [(g, m, s) for g in ("01022500", "03015500", "00000001") for m in ("hbv", "gr4j")
                           for s in (4, 1)]
    assert_matches_serial(table[:4], records[0], snow=True)
    assert_failed(table[4:8], f"DataError: {broken_dir / '03015500_daymet_forcing.txt'}, line 101")
    assert_failed(table[8:], "ValueError: no streamflow observations")
    assert table.failed == table[4:]


def test_dask_local_cluster_matches_serial(records, broken_dir):
    distributed = pytest.importorskip("distributed",
                                      reason="dask.distributed is not installed (pip install 'vardex_rs[dask]')")
    # The records are shipped to the workers.
    table = vardex.calibrate_many([*records, all_nan(records[0])], "gr4j", [2, 1], executor="dask", workers=2,
                                  **TINY)
    assert keys(table) == [(g, "gr4j", s) for g in ("01022500", "03015500", "00000001") for s in (2, 1)]
    assert_matches_serial(table[:2], records[0])
    assert_matches_serial(table[2:4], records[1])
    assert_failed(table[4:], "ValueError: no streamflow observations")

    # By address, the workers reading the files themselves.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
        table = vardex.calibrate_many(["03015500", "01022500"], ["gr4j"], [3], data_dir=broken_dir,
                                      executor=cluster.scheduler_address, shared_filesystem=True, **TINY)
    assert keys(table) == [("03015500", "gr4j", 3), ("01022500", "gr4j", 3)]
    assert_failed(table[:1], "DataError")
    assert_matches_serial(table[1:], records[0])


def test_dask_missing_names_the_extra(records, monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(ImportError, match=r"pip install 'vardex_rs\[dask\]'"):
        vardex.calibrate_many(records[:1], "gr4j", executor="dask", **TINY)


def test_interrupt_stops_running_tasks_and_keeps_nothing_partial(records, tmp_path, monkeypatch):
    # Seed 1 alone would run for minutes; seed 2 is interrupted as it starts, beside it.
    engines = {**calibration.ENGINES, "dds": Seeded(calibration.ENGINES["dds"], interrupt_at(2))}
    out = tmp_path / "r.csv"
    started = time.perf_counter()
    record = vardex.Settings.build(models="gr4j", seeds=[1, 2], optimiser="dds", max_evaluations=10**6)
    table = batch.run_many(records[:1], record, workers=2, out=out, progress=False, engines=engines)
    assert time.perf_counter() - started < 10
    assert table.interrupted and table.rows == [] and table.pending == [("01022500", "daymet", "gr4j", 1),
                                                                         ("01022500", "daymet", "gr4j", 2)]
    assert out.read_text() == ",".join(results.COLUMNS) + "\n"


def test_resume_writes_each_task_once(records, tmp_path, monkeypatch):
    out, seeds, ran = tmp_path / "r.csv", [1, 2, 3, 4, 5], []
    tasks = [("01022500", "gr4j", s) for s in seeds]
    pending = [("01022500", "daymet", "gr4j", s) for s in seeds]

    def run(stop_at):
        def hook(seed):
            ran.append(seed)
            if seed == stop_at:
                raise KeyboardInterrupt
        ran.clear()
        engines = {**calibration.ENGINES, DEFAULT_OPTIMISER: Seeded(calibration.ENGINES[DEFAULT_OPTIMISER], hook)}
        record = vardex.Settings.build(models="gr4j", seeds=seeds, max_steps=TINY["max_steps"])
        return batch.run_many(records[:1], record, workers=1, out=out, engines=engines, progress=False)

    def in_file():
        with open(out, newline="") as f:
            lines = list(csv.reader(f))
        assert lines[0] == list(results.COLUMNS) and all(len(line) == len(results.COLUMNS) for line in lines)
        return [(g, m, int(s)) for _, g, _, m, s, *_ in lines[1:]]

    first = run(stop_at=4)
    assert first.interrupted and keys(first) == tasks[:3] == in_file() and first.pending == pending[3:]
    # A process killed in the middle of writing its last row: that row is dropped and its task runs again.
    out.write_bytes(out.read_bytes()[:-40])
    second = run(stop_at=5)
    assert ran == [3, 4, 5] and keys(second) == tasks[:4] == in_file()
    third = run(stop_at=None)
    assert ran == [5] and not third.interrupted and third.pending == [] and keys(third) == tasks == in_file()
    assert_matches_serial(third, records[0])    # rows read back from the file among them

    written = out.read_bytes()
    with pytest.raises(ValueError, match=r"max_steps=2, this batch has max_steps=3"):
        vardex.calibrate_many(records[:1], "gr4j", seeds, out=out, max_steps=3, progress=False)
    assert out.read_bytes() == written


def vardex_cli(*args):
    return subprocess.run([sys.executable, "-m", "vardex", "batch", *map(str, args)], capture_output=True,
                          text=True, timeout=300)


def test_command_line(broken_dir, tmp_path):
    out = tmp_path / "r.csv"
    common = ["--models", "gr4j", "--seeds", "1-2", "--max-steps", "2", "--workers", "2", "--out", out,
              "--no-progress"]
    run = vardex_cli(broken_dir, *common)
    assert run.returncode == 1, run.stderr
    summary = [line.split() for line in run.stdout.splitlines() if line.startswith("gr4j ")]
    assert summary[0][:3] == ["gr4j", "4", "2"] and "failed: 03015500 daymet gr4j seed 1: DataError" in run.stdout
    with open(out, newline="") as f:
        rows = list(csv.DictReader(f))
    assert [(r["gauge"], r["seed"], bool(r["error"])) for r in rows] == [
        ("01022500", "1", False), ("01022500", "2", False), ("03015500", "1", True), ("03015500", "2", True)]

    written = out.read_bytes()
    assert vardex_cli(broken_dir, *common).returncode == 1 and out.read_bytes() == written
    assert vardex_cli(broken_dir, *common, "--gauges", "01022500", "--out", tmp_path / "ok.csv").returncode == 0
    for bad, message in ((["--optimiser", "sce"], "optimiser=dds"), (["--models", "gr4j,nope"], "nope"),
                         (["--gauges", "99999999"], "99999999")):
        run = vardex_cli(broken_dir, *common, *bad)
        assert run.returncode == 2 and run.stdout == "" and len(run.stderr.strip().splitlines()) == 1
        assert message in run.stderr


@pytest.mark.parametrize("starts", [None, 2])
def test_batch_rows_say_how_many_starts_shared_the_budget(records, starts):
    table = vardex.calibrate_many(records[:1], "gr4j", [1], optimiser="dds", max_evaluations=6000, starts=starts,
                                  snow=False, progress=False)
    row, = table.rows
    assert (row["starts"], row["evaluations"], row["stop_reason"]) == (2, 6000, "budget")
