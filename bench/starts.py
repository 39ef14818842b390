"""How a calibration should spend its budget so that its answer does not depend on the seed.

Usage:
    python bench/starts.py                              # every policy: 20 models x 2 sample catchments x 5 seeds
    python bench/starts.py --policies p0,p3 --out starts.csv --workers 2

Each run is one `vardex.calibrate` call on the bundled catchments: calibration 2001, validation 2002, a 365-day
warm-up, the default objective (NSE), snow "auto". A policy is a number of optimiser starts sharing a budget, and
whether a start that stops early hands its unused evaluations to another. The runs go to a CSV file as they
finish (run the same command again to go on where it stopped). The table gives, per policy: how many runs end
0.05 NSE or more below the best seed of the same model and catchment (calibration and validation), the median
scores, and the cost per calibration (evaluations; CPU seconds, process time of all threads) with its ratio to
today's default (p0).
"""
from __future__ import annotations

import argparse
import concurrent.futures as cf
import csv
import os
import statistics
import sys
import time
from collections import defaultdict
from pathlib import Path
from typing import Any

SEEDS = (1, 2, 3, 4, 5)
PERIOD, VALIDATION = ("2001-01-01", "2001-12-31"), ("2002-01-01", "2002-12-31")
# name -> (starts, restart, budget, SCE settings): SCE-UA with 5 complexes, k_stop 10 and p_convergence_threshold
# 0.1 % (the settings before this study, "defaults" in the table) unless given; "n" complexes is the number of
# calibrated parameters. p7 is the default since.
BEFORE = {"k_stop": 10, "p_convergence_threshold": 0.1}
POLICIES: dict[str, tuple[int, bool, int, dict[str, Any]]] = {
    "p0": (1, False, 10000, {}),     # one start (the default before this study)
    "p1": (1, True, 10000, {}),      # restart with what a converged start left unused
    "p2": (2, False, 20000, {}),     # two full starts: the best of two seeds
    "p3": (2, True, 10000, {}),      # two starts sharing today's budget
    "p4": (3, True, 15000, {}),
    "p5": (2, True, 20000, {}),
    "p6": (4, True, 20000, {}),
    "p7": (1, True, 10000, {"p_convergence_threshold": 0.01, "k_stop": 20}),    # a patient convergence test
    "p8": (1, True, 20000, {"n_complexes": "n"}),                               # complexes sized by the problem
    "p9": (2, True, 20000, {"p_convergence_threshold": 0.01, "k_stop": 20}),
    "p10": (1, True, 20000, {"n_complexes": "n", "p_convergence_threshold": 0.01, "k_stop": 20}),
    "p11": (2, True, 14000, {}),                                                # about twice today's CPU
    "p12": (2, True, 14000, {"p_convergence_threshold": 0.01, "k_stop": 20}),
    "p13": (3, True, 14000, {}),
    "p14": (2, True, 16000, {}),                                                # p5 on less budget
    "p15": (2, True, 16000, {"p_convergence_threshold": 0.01, "k_stop": 20}),
}
FIELDS = ["policy", "gauge", "model", "seed", "nse", "val_nse", "starts", "evaluations", "cpu_seconds"]


def run_one(catchment: Any, model: str, seed: int, policy: str) -> dict[str, Any]:
    import vardex

    import vardex_rs.hydro

    starts, restart, budget, settings = POLICIES[policy]
    settings = {**BEFORE, **settings}
    if settings.get("n_complexes") == "n":
        snow = vardex.Settings.build(models=model).uses_snow(catchment.precipitation, catchment.temperature)
        settings["n_complexes"] = len(getattr(vardex_rs.hydro, model).param_names) + (3 if snow else 0)
    r = vardex.calibrate(catchment, model, seed=seed, period=PERIOD, validation=VALIDATION, starts=starts,
                         restart=restart, max_evaluations=budget, progress=False, **settings)
    return {"policy": policy, "gauge": catchment.gauge, "model": model, "seed": seed, "nse": r.metrics["nse"],
            "val_nse": (r.validation or {})["nse"], "starts": r.starts, "evaluations": r.evaluations}


def collect(path: Path, policies: list[str], workers: int) -> list[dict[str, Any]]:
    """Every policy's runs, one policy at a time so that the process time of its runs (all threads, the
    calibrators' own pool included) is its cost: each row carries the mean of its policy's batch."""
    import vardex
    from vardex.data import gauges

    rows: list[dict[str, Any]] = []
    if path.exists():
        with open(path, newline="") as f:
            rows = list(csv.DictReader(f))
    done = {(r["policy"], r["gauge"], r["model"], r["seed"]) for r in rows}
    catchments = [vardex.load_camels(g) for g in gauges()]
    new = not path.exists()
    with open(path, "a", newline="") as f:
        writer = csv.DictWriter(f, FIELDS)
        if new:
            writer.writeheader()
        for p in policies:
            todo = [(c, m, s, p) for c in catchments for m in vardex.MODELS for s in SEEDS
                    if (p, c.gauge, m, str(s)) not in done]
            if not todo:
                continue
            cpu = time.process_time()
            with cf.ThreadPoolExecutor(workers) as pool:
                batch = list(pool.map(lambda t: run_one(*t), todo))
            each = (time.process_time() - cpu) / len(todo)
            for row in batch:
                row["cpu_seconds"] = each
                writer.writerow(row)
                rows.append({k: str(v) for k, v in row.items()})
            f.flush()
            print(f"{p}: {len(todo)} runs, {each:.3f} CPU s each", file=sys.stderr)
    return rows


def table(rows: list[dict[str, Any]], policies: list[str]) -> str:
    by: dict[tuple[str, str, str], list[dict[str, Any]]] = defaultdict(list)
    for r in rows:
        by[r["policy"], r["gauge"], r["model"]].append(r)
    cost = {p: statistics.mean(float(r["cpu_seconds"]) for r in rows if r["policy"] == p) for p in policies}
    lines = ["| policy | starts | restart | budget | SCE settings | runs | ≥ 0.05 below best seed (cal) | (val) | "
             "median NSE cal | median NSE val | evaluations | CPU s / run | CPU vs p0 |",
             "|---|---:|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for p in policies:
        mine = [r for r in rows if r["policy"] == p]
        if not mine:
            continue
        below = {"nse": 0, "val_nse": 0}
        for key in below:
            for (q, _, _), group in by.items():
                if q == p:
                    best = max(float(r[key]) for r in group)
                    below[key] += sum(best - float(r[key]) >= 0.05 for r in group)
        starts, restart, budget, settings = POLICIES[p]
        changed = ", ".join(f"{k} {v}" for k, v in settings.items()) or "defaults"
        lines.append(
            f"| {p} | {starts} | {'yes' if restart else 'no'} | {budget} | {changed} | {len(mine)} | "
            f"{below['nse']} ({100 * below['nse'] / len(mine):.1f} %) | "
            f"{below['val_nse']} ({100 * below['val_nse'] / len(mine):.1f} %) | "
            f"{statistics.median(float(r['nse']) for r in mine):.3f} | "
            f"{statistics.median(float(r['val_nse']) for r in mine):.3f} | "
            f"{statistics.mean(int(r['evaluations']) for r in mine):.0f} | {cost[p]:.3f} | "
            f"{cost[p] / cost['p0']:.2f} |" if "p0" in cost else "")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--policies", default=",".join(POLICIES))
    parser.add_argument("--out", default="starts.csv")
    parser.add_argument("--workers", type=int, default=len(os.sched_getaffinity(0)))
    args = parser.parse_args()
    policies = args.policies.split(",")
    rows = collect(Path(args.out), policies, args.workers)
    print(f"{os.uname().machine}, {len(os.sched_getaffinity(0))} CPUs, {args.workers} workers")
    print(table(rows, policies))


if __name__ == "__main__":
    main()
