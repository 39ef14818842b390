"""Resuming a finished study: memory and time of `calibrate_many` on a results file that already has every row.

Usage:
    python bench/resume.py                  # 671 catchments x 20 models x 10 seeds = 134,200 rows
    python bench/resume.py --catchments 100

The file is made by running one real task per model on a small in-memory catchment and copying its row to every
task of the grid (gauge, seed and data origin changed). The resume then runs in a fresh process: the memory and
time of opening the file as a batch does (what is held while the tasks run), and of the whole `calibrate_many`
call with nothing left to run (its peak includes the table of parsed rows it returns).
"""
from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import numpy as np


def catchments(count: int) -> list[Any]:
    import vardex

    rng = np.random.default_rng(3)
    dates = np.arange("2001-01-01", "2003-01-01", dtype="datetime64[D]")
    rain = rng.gamma(0.6, 6.0, len(dates))
    temperature = 6 + 12 * np.sin(np.arange(len(dates)) / 58.0)
    flow = np.convolve(rain, np.full(25, 0.025))[:len(dates)]
    return [vardex.Catchment.from_arrays(dates, rain, temperature, flow, latitude=45.0, elevation=300.0,
                                         gauge=f"{i:08d}") for i in range(count)]


def settings() -> Any:
    import vardex

    return vardex.Settings.build(seeds=list(range(1, 11)), max_steps=1, snow=False)


def make(path: Path, count: int) -> int:
    from vardex import batch, results

    grid = catchments(count)
    # One real row per model (seed 1), copied to every task.
    sample = {r["model"]: r for r in batch.run_many(grid[:1], settings(), progress=False) if r["seed"] == 1}
    rows = 0
    with open(path, "w", encoding="utf-8") as out:
        out.write(results.header())
        for c in grid:
            for model, row in sample.items():
                for seed in range(1, 11):
                    out.write(results.format_row({**row, "gauge": c.gauge, "seed": seed, "source": c.origin}))
                    rows += 1
    return rows


def resident_mb() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def resume(path: str, count: int) -> dict[str, float]:
    """What the log holds before any task runs (opened as the batch opens it), then the whole resume."""
    from vardex import batch, results

    grid = catchments(count)
    record = settings()
    before = resident_mb()
    started = time.perf_counter()
    log = results.ResultsLog(path, {k: results.format_value(v) for k, v in record.row().items()})
    opened = time.perf_counter() - started
    held = resident_mb() - before
    log.close()
    del log
    started = time.perf_counter()
    table = batch.run_many(grid, record, out=path, engines={}, progress=False)
    seconds = time.perf_counter() - started
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024 - before
    assert len(table) == count * 200 and not table.pending
    return {"opened": opened, "held_mb": held, "seconds": seconds, "peak_mb": peak, "rows": len(table)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--catchments", type=int, default=671)
    parser.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    a = parser.parse_args()
    if a.worker:
        print(json.dumps(resume(a.worker[0], int(a.worker[1]))))
        return
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "study.csv"
        rows = make(path, a.catchments)
        size = path.stat().st_size
        run = subprocess.run([sys.executable, __file__, "--worker", str(path), str(a.catchments)], check=True,
                             capture_output=True, text=True)
        result = json.loads(run.stdout.strip().splitlines()[-1])
    print(f"{rows} rows, file {size / 2**20:.0f} MB ({size / rows:.0f} B per row); load average "
          f"{os.getloadavg()[0]:.2f}")
    print(f"before any task runs (the log opened): {result['opened']:.1f} s, +{result['held_mb']:.0f} MB "
          f"({result['held_mb'] * 2**20 / rows:.0f} B per row)")
    print(f"the whole resume, returning the table of parsed rows: {result['seconds']:.1f} s, peak "
          f"+{result['peak_mb']:.0f} MB ({result['peak_mb'] * 2**20 / rows:.0f} B per row)")


if __name__ == "__main__":
    main()
