"""Calibration defaults by measurement: the score and the cost of a few optimiser settings.

Usage:
    python bench/defaults.py                       # every setting, 20 models x 2 sample catchments x 3 seeds x snow on/off
    python bench/defaults.py --settings sce-c2,sce-c5 --out runs.csv

Each run is one `vardex.calibrate` call with the default objective (NSE) and a 365-day warm-up; the runs go to a
CSV file as they finish (run the same command again to go on where it stopped). The table gives, per setting: the
median calibration NSE and KGE, how many cases (catchment x model x snow x seed) end 0.05 or more below the best
setting on the same case, the median spread between seeds (best minus worst NSE of a catchment x model x snow),
and the cost: evaluations and CPU seconds per calibration (process time, all threads: robust to a loaded
machine, unlike wall time).
"""
from __future__ import annotations

import argparse
import csv
import os
import statistics
import sys
import time
from collections import defaultdict
from pathlib import Path
from typing import Any

SEEDS = (1, 2, 3)

# name -> (optimiser, settings, budget); "n" in n_complexes means the number of calibrated parameters.
SETTINGS: dict[str, tuple[str, dict[str, Any], int | None]] = {
    "sce-c2": ("sce", {"n_complexes": 2}, None),
    "sce-c3": ("sce", {"n_complexes": 3}, None),
    "sce-c5": ("sce", {"n_complexes": 5}, None),
    "sce-cn": ("sce", {"n_complexes": "n"}, None),
    "dds-1000": ("dds", {}, 1000),
    "dds-3000": ("dds", {}, 3000),
}
FIELDS = ["setting", "gauge", "model", "snow", "seed", "nse", "kge", "evaluations", "cpu_seconds", "wall_seconds"]


def run_one(catchment: Any, model: str, snow: bool, seed: int, setting: str) -> dict[str, Any]:
    import vardex
    import vardex_rs.hydro

    optimiser, settings, budget = SETTINGS[setting]
    settings = dict(settings)
    if settings.get("n_complexes") == "n":
        settings["n_complexes"] = len(getattr(vardex_rs.hydro, model).param_names) + (3 if snow else 0)
    cpu, wall = time.process_time(), time.perf_counter()
    result = vardex.calibrate(catchment, model, snow=snow, optimiser=optimiser, seed=seed, progress=False,
                              max_evaluations=budget, **settings)
    return {"setting": setting, "gauge": catchment.gauge, "model": model, "snow": int(snow), "seed": seed,
            "nse": result.metrics["nse"], "kge": result.metrics["kge"], "evaluations": result.evaluations,
            "cpu_seconds": time.process_time() - cpu, "wall_seconds": time.perf_counter() - wall}


def collect(path: Path, settings: list[str]) -> list[dict[str, Any]]:
    import vardex
    from vardex.data import gauges

    done: set[tuple[str, ...]] = set()
    if path.exists():
        with path.open(newline="") as f:
            for row in csv.DictReader(f):
                done.add((row["setting"], row["gauge"], row["model"], row["snow"], row["seed"]))
    new = not path.exists()
    with path.open("a", newline="") as f:
        writer = csv.DictWriter(f, FIELDS)
        if new:
            writer.writeheader()
        for gauge in gauges():
            catchment = vardex.load_camels(gauge)
            for model in vardex.MODELS:
                for snow in (False, True):
                    for seed in SEEDS:
                        for setting in settings:
                            if (setting, gauge, model, str(int(snow)), str(seed)) in done:
                                continue
                            writer.writerow(run_one(catchment, model, snow, seed, setting))
                            f.flush()
                print(f"{gauge} {model}", file=sys.stderr, flush=True)
    with path.open(newline="") as f:
        return list(csv.DictReader(f))


def table(rows: list[dict[str, Any]], settings: list[str]) -> str:
    by_case: dict[tuple[str, ...], dict[str, float]] = defaultdict(dict)
    for r in rows:
        by_case[(r["gauge"], r["model"], r["snow"], r["seed"])][r["setting"]] = float(r["nse"])
    cases = [c for c, v in by_case.items() if all(s in v for s in settings)]
    lines = ["| setting | median NSE | median KGE | cases >= 0.05 NSE below best | median seed spread (NSE) "
             "| worst seed spread | evaluations (median) | CPU s per calibration (median) |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for s in settings:
        mine = [r for r in rows if r["setting"] == s and (r["gauge"], r["model"], r["snow"], r["seed"]) in cases]
        behind = sum(1 for c in cases if max(by_case[c].values()) - by_case[c][s] >= 0.05)
        groups: dict[tuple[str, ...], list[float]] = defaultdict(list)
        for r in mine:
            groups[(r["gauge"], r["model"], r["snow"])].append(float(r["nse"]))
        spreads = [max(v) - min(v) for v in groups.values()]
        lines.append(
            f"| {s} | {statistics.median(float(r['nse']) for r in mine):.3f} "
            f"| {statistics.median(float(r['kge']) for r in mine):.3f} | {behind} of {len(cases)} "
            f"| {statistics.median(spreads):.3f} | {max(spreads):.3f} "
            f"| {statistics.median(int(r['evaluations']) for r in mine):.0f} "
            f"| {statistics.median(float(r['cpu_seconds']) for r in mine):.2f} |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--settings", default=",".join(SETTINGS), help="comma-separated, from: " + ", ".join(SETTINGS))
    parser.add_argument("--out", default="defaults_runs.csv", help="the runs, one row each (resumed when present)")
    args = parser.parse_args()
    settings = args.settings.split(",")
    unknown = [s for s in settings if s not in SETTINGS]
    if unknown:
        parser.error(f"unknown settings: {', '.join(unknown)}")
    rows = collect(Path(args.out), settings)
    print(f"# {os.uname().nodename}, {os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}")
    print(table(rows, settings))


if __name__ == "__main__":
    main()
