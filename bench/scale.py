"""calibrate_many throughput: one thread, a thread per core, a Dask LocalCluster with a worker per core; and the
cost of a CAMELS study at the calibration defaults.

Usage:
    python bench/scale.py                       # 2 sample catchments x 20 models x 2 seeds, CemaNeige + SCE
    python bench/scale.py --seeds 4 --rounds 3  # more tasks, best of three rounds
    python bench/scale.py --study               # the study's cost at the defaults, per model, snow on and off
    python bench/scale.py --study --optimiser sce --budget 10000

Every configuration runs the same tasks in a fresh process (Dask: the cluster is started before the clock);
the table keeps each one's best round. Efficiency is the speed-up over one thread divided by the number of
workers. The prediction for a 671 catchments x 20 models x 10 seeds study multiplies the core-seconds per
task of the all-cores thread run by the number of tasks, at this budget and record length, and once more
scaled linearly to 35 years of record (12,784 days, CAMELS 1980-2014).
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
import time
from typing import Any

STUDY_TASKS = 671 * 20 * 10
CAMELS_DAYS = 12784


def tasks_args(seeds: int, budget: int) -> dict[str, Any]:
    return dict(snow=True, optimiser="sce", max_evaluations=budget, seeds=list(range(1, seeds + 1)))


def measure(config: str, workers: int, seeds: int, budget: int) -> dict[str, Any]:
    import vardex
    from vardex.models import MODELS
    from vardex.data import gauges

    catchments = [vardex.load_camels(g) for g in gauges()]
    kwargs = tasks_args(seeds, budget)
    startup = 0.0
    executor: Any = None
    owned: list[Any] = []
    if config == "dask":
        import distributed

        started = time.perf_counter()
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=None)
        executor = distributed.Client(cluster)
        owned = [executor, cluster]
        executor.wait_for_workers(workers)
        startup = time.perf_counter() - started
    started = time.perf_counter()
    table = vardex.calibrate_many(catchments, MODELS, kwargs.pop("seeds"), executor=executor,
                                  workers=None if config == "dask" else workers, progress=False, **kwargs)
    wall = time.perf_counter() - started
    for thing in owned:
        thing.close() 
    # Everything but the timing, to check that every configuration computed the same.
    digest = hashlib.sha256(repr([[v for c, v in r.items() if c != "seconds"] for r in table]).encode())
    return {"wall": wall, "tasks": len(table), "failed": len(table.failed), "startup": startup,
            "busy": sum(r["seconds"] or 0.0 for r in table), "digest": digest.hexdigest(),
            "days": sum(len(c) for c in catchments) / len(catchments)}


def run(config: str, workers: int, seeds: int, budget: int) -> dict[str, Any]:
    proc = subprocess.run([sys.executable, __file__, "--worker", config, str(workers), str(seeds), str(budget)],
                          check=True, capture_output=True, text=True)
    result: dict[str, Any] = json.loads(proc.stdout.strip().splitlines()[-1])
    return result


def tiled(catchment: Any, days: int) -> Any:
    """``catchment``'s series repeated to ``days`` consecutive days (a long record of the same climate)."""
    import numpy as np

    import vardex

    take = np.arange(days) % len(catchment)
    dates = np.arange("1990-01-01", np.datetime64("1990-01-01") + days, dtype="datetime64[D]")
    return vardex.Catchment.from_arrays(dates, catchment.precipitation[take], catchment.temperature[take],
                                        catchment.observed[take], latitude=catchment.latitude,
                                        elevation=catchment.median_elevation, gauge=catchment.gauge,
                                        pet=catchment.pet[take])


def study(optimiser: str | None, budget: int | None, years: int) -> None:
    """CPU seconds of one calibration per model (process time, one at a time, the sample catchments tiled to
    ``years`` years, seed 1), snow on and off, and the 671 x 20 x 10 study they add up to."""
    import vardex
    from vardex.data import gauges
    from vardex.models import MODELS

    from vardex.settings import DEFAULT_OPTIMISER

    optimiser = optimiser or DEFAULT_OPTIMISER
    catchments = [tiled(vardex.load_camels(g), 365 * years) for g in gauges()]
    load = os.getloadavg()[0]
    cost: dict[tuple[str, bool], float] = {}
    for snow in (True, False):
        for model in MODELS:
            started = time.process_time()
            for c in catchments:
                vardex.calibrate(c, model, snow=snow, optimiser=optimiser, max_evaluations=budget, progress=False,
                                 warmup=365)
            cost[model, snow] = (time.process_time() - started) / len(catchments)
    settings = vardex.Settings.build(optimiser=optimiser, max_evaluations=budget)
    print(f"one calibration at the defaults ({optimiser.upper()}, {settings.settings_json()}, max_evaluations "
          f"{settings.max_evaluations}, {settings.starts} start(s)), {years}-year records (the sample catchments "
          "tiled), seed 1")
    print(f"{cpu_name()}, {len(os.sched_getaffinity(0))} CPUs, load average {load:.2f} at start")
    print("| model | CPU s, snow | CPU s, no snow |\n|---|---:|---:|")
    for model in MODELS:
        print(f"| {model} | {cost[model, True]:.2f} | {cost[model, False]:.2f} |")
    for snow in (True, False):
        mean = sum(cost[m, snow] for m in MODELS) / len(MODELS)
        print(f"study of 671 catchments x 20 models x 10 seeds, {'with' if snow else 'without'} CemaNeige: "
              f"{mean * STUDY_TASKS / 3600:.0f} core-hours ({mean:.2f} s per calibration on average)")


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return os.uname().machine


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", type=int, default=2)
    parser.add_argument("--budget", type=int, default=1500, help="max_evaluations of each calibration")
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--workers", type=int, default=len(os.sched_getaffinity(0)))
    parser.add_argument("--no-dask", action="store_true")
    parser.add_argument("--worker", nargs=4, help=argparse.SUPPRESS)
    parser.add_argument("--study", action="store_true", help="the study's cost at the defaults, per model")
    parser.add_argument("--optimiser", help="with --study (default: the package's)")
    parser.add_argument("--years", type=int, default=10, help="with --study: record length")
    args = parser.parse_args()
    if args.study:
        budget = None if "--budget" not in sys.argv else args.budget
        study(args.optimiser, budget, args.years)
        return
    if args.worker:
        config, workers, seeds, budget = args.worker
        print(json.dumps(measure(config, int(workers), int(seeds), int(budget))))
        return

    n = args.workers
    configs = [("threads", 1), ("threads", n)] + ([] if args.no_dask else [("dask", n)])
    load = os.getloadavg()[0]
    best: dict[tuple[str, int], dict[str, Any]] = {}
    for _ in range(args.rounds):
        for config in configs:
            result = run(*config, args.seeds, args.budget)
            if config not in best or result["wall"] < best[config]["wall"]:
                best[config] = result

    base = best[("threads", 1)]
    tasks = base["tasks"]
    print(f"calibrate_many, {tasks} tasks (2 sample catchments x 20 models x {args.seeds} seeds), CemaNeige + SCE,\n"
          f"max_evaluations {args.budget}, {base['days']:.0f} days on average, best of {args.rounds} round(s)")
    print(f"{cpu_name()}, {len(os.sched_getaffinity(0))} CPUs, load average {load:.2f} at start")
    print(f"{'executor':18s} {'workers':>7s} {'seconds':>8s} {'tasks/s':>8s} {'speed-up':>8s} {'efficiency':>10s}")
    for (config, workers), r in best.items():
        wall = r["wall"]
        speedup = base["wall"] / wall
        name = "threads" if config == "threads" else "dask LocalCluster"
        print(f"{name:18s} {workers:7d} {wall:8.2f} {tasks / wall:8.2f} {speedup:8.2f} {speedup / workers:10.2f}")
    extras = [f"dask cluster start {r['startup']:.1f} s" for (c, _), r in best.items() if c == "dask"]
    same = len({r["digest"] for r in best.values()}) == 1
    failed = sum(r["failed"] for r in best.values())
    print(f"identical results in every configuration: {'yes' if same else 'NO'}; failed tasks: {failed}"
          + "".join(f"; {e}" for e in extras))

    r = best[("threads", n)]
    core_seconds = r["wall"] * n / tasks
    scaled = core_seconds * CAMELS_DAYS / r["days"]
    print(f"671 catchments x 20 models x 10 seeds = {STUDY_TASKS} tasks:\n"
          f"  {core_seconds * STUDY_TASKS / 3600:.1f} core-hours at this budget and record length "
          f"({core_seconds:.3f} core-seconds per task)\n"
          f"  {scaled * STUDY_TASKS / 3600:.0f} core-hours with {CAMELS_DAYS} days of record "
          f"({scaled:.2f} core-seconds per task)")


if __name__ == "__main__":
    main()
