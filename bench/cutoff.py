"""Early rejection: what stopping a rejected candidate's run early saves, per model and optimiser.

Usage:
    python bench/cutoff.py                          # NSE, 10-year record, snow on, best of 3 rounds
    python bench/cutoff.py --objective rmse --transformation log --years 5 --rounds 5 --no-snow

One start of each optimiser at the calibration defaults (SCE-UA: Settings' complexes and stopping criteria and
budget; DDS: r and one start's share of its budget, 3,000 evaluations), seed 1, on 01022500 tiled to the record length, run from `vardex._core`'s
engines exactly as `vardex.calibrate` steps them. "full" keeps a sample log, which runs every evaluation to the
end (what `keep="all"` does); "cut" is the default. Both must give the same best parameters, simulation and
scores: the script checks it. CPU time (process time), both sides alternating, best of the rounds.
"""
from __future__ import annotations

import argparse
import os
import time
from typing import Any

import numpy as np


def forcing(years: int, snow: bool) -> tuple[Any, ...]:
    import vardex
    from vardex.simulation import default_bands

    from scale import tiled

    c = tiled(vardex.load_camels("01022500"), 365 * years)
    return (c.precipitation, c.temperature if snow else None, c.pet, c.day_of_year if snow else None,
            default_bands(c) if snow else None, float(c.median_elevation) if snow else None, c.observed, 365)


def one_run(optimiser: str, model: str, snow: bool, objective: str, transformation: str, full: bool,
            f: tuple[Any, ...]) -> tuple[float, Any, int, tuple[int, int]]:
    from vardex import _core
    from vardex.settings import Settings

    settings = Settings.build(optimiser=optimiser, objective=objective, transformation=transformation, seeds=1)
    args, _ = settings.engine_arguments(model, snow, settings.max_evaluations // settings.starts)    # one start
    engine = (_core.Sce if optimiser == "sce" else _core.Dds)(*args)
    started = time.process_time()
    if full:
        engine.keep_samples()
    engine.init(*f)
    chunk = 50 if optimiser == "dds" else 1
    while True:
        _, last = engine.run_steps(*f, chunk)
        if last[0]:
            break
    spent = time.process_time() - started
    return spent, last, engine.evaluations, engine.early_stops


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--objective", default="nse", choices=["nse", "rmse"])
    parser.add_argument("--transformation", default="none", choices=["none", "log", "sqrt"])
    parser.add_argument("--years", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--no-snow", action="store_true")
    parser.add_argument("--models", nargs="*")
    a = parser.parse_args()
    from vardex.models import MODELS

    snow = not a.no_snow
    f = forcing(a.years, snow)
    models = a.models or MODELS
    print(f"{a.objective}, {a.transformation}, {a.years}-year record (01022500 tiled), snow {'on' if snow else 'off'}, "
          f"best of {a.rounds} rounds, CPU s; load average {os.getloadavg()[0]:.2f} at start")
    print("| model | optimiser | evaluations | stopped early | days not run | full s | cut s | gain |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    totals = {"sce": [0.0, 0.0], "dds": [0.0, 0.0]}
    for optimiser in ("sce", "dds"):
        for model in models:
            best = {True: float("inf"), False: float("inf")}
            results: dict[bool, Any] = {}
            for _ in range(a.rounds):
                for full in (True, False):
                    spent, last, evaluations, stops = one_run(optimiser, model, snow, a.objective,
                                                              a.transformation, full, f)
                    best[full] = min(best[full], spent)
                    results[full] = (last, evaluations, stops)
            (lf, ef, _), (lc, ec, (stopped, skipped)) = results[True], results[False]
            same = ef == ec and lf[0] == lc[0] and all(np.array_equal(x, y) for x, y in zip(lf[1:], lc[1:]))
            if not same:
                raise SystemExit(f"{model} {optimiser}: the cut-off changed the result")
            days = ec * len(f[0])
            totals[optimiser][0] += best[True]
            totals[optimiser][1] += best[False]
            print(f"| {model} | {optimiser.upper()} | {ec} | {stopped / ec:.0%} | {skipped / days:.0%} | "
                  f"{best[True]:.3f} | {best[False]:.3f} | {best[True] / best[False]:.2f}× |", flush=True)
    for optimiser, (full_s, cut_s) in totals.items():
        print(f"{optimiser.upper()}, all models: {full_s:.2f} → {cut_s:.2f} s, {full_s / cut_s:.2f}×")


if __name__ == "__main__":
    main()
