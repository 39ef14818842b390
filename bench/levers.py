"""CPU seconds of one `vardex.calibrate` per model at fixed optimiser settings, for comparing two builds.

Usage:
    python bench/levers.py --optimiser dds                 # DDS, r 0.2, 3,000 evaluations
    python bench/levers.py --optimiser sce                 # SCE-UA, 5 complexes, k_stop 20, 0.01 %, no restart
    /other/venv/bin/python bench/levers.py --optimiser dds --json before.json   # an older build, then compare:
    python bench/levers.py --optimiser dds --against before.json
    python bench/levers.py --optimiser sce --versus /other/venv/bin/python --rounds 3   # the two builds alternating

Only the public `vardex.calibrate` of the build it runs in is used, so the script runs unchanged against an older
installation. The two sample catchments tiled to 10-year records, seed 1, snow on and off, process time, the best
of --rounds; --against prints the ratio per model (old / new: above 1, the build running now is faster).
--versus runs the other build's interpreter and this one in turn, a fresh process each, round after round (the
machine's drift falls on both alike), and keeps each model's best.
"""
from __future__ import annotations

import argparse
import inspect
import json
import os
import tempfile
import time
from typing import Any

from benchlib import in_turn, keep_best
from scale import tiled

SETTINGS: dict[str, dict[str, Any]] = {
    "dds": {"max_evaluations": 3000, "r": 0.2},
    "sce": {"max_evaluations": 10000, "n_complexes": 5, "k_stop": 20, "p_convergence_threshold": 0.01,
            "geometric_range_threshold": 0.001},
}


def measure(optimiser: str, rounds: int, models: list[str] | None) -> dict[str, float]:
    import vardex

    catchments = [tiled(vardex.load_camels(g), 3650) for g in ("01022500", "03015500")]
    extra = dict(SETTINGS[optimiser])
    if "restart" in inspect.signature(vardex.calibrate).parameters:
        extra["restart"] = False     # one start, as older builds make
    cost: dict[str, float] = {}
    for snow in (True, False):
        for model in models or vardex.MODELS:
            best = float("inf")
            for _ in range(rounds):
                started = time.process_time()
                for c in catchments:
                    vardex.calibrate(c, model, snow=snow, optimiser=optimiser, progress=False, warmup=365, seed=1,
                                     **extra)
                best = min(best, (time.process_time() - started) / len(catchments))
            cost[f"{model} {'snow' if snow else 'no snow'}"] = best
    return cost


def alternate(optimiser: str, rounds: int, models: list[str] | None,
              other_python: str) -> tuple[dict[str, float], dict[str, float]]:
    """(this build's, the other's) best seconds per model over ``rounds`` rounds of one fresh process each, the
    two builds in turn."""
    best: list[dict[str, float]] = [{}, {}]
    args = ["--optimiser", optimiser, "--rounds", "1"] + (["--models", *models] if models else [])
    for side, cost in in_turn(__file__, args, other_python, rounds):
        for key, seconds in cost.items():
            keep_best(best[side], key, seconds)
    return best[0], best[1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--optimiser", choices=sorted(SETTINGS), default="dds")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--models", nargs="*")
    parser.add_argument("--json", help="write the per-model seconds here")
    parser.add_argument("--against", help="a --json file of another build: print old / new per model")
    parser.add_argument("--versus", metavar="PYTHON", help="another build's interpreter, run in turn with this one")
    a = parser.parse_args()
    if a.versus:
        cost, other = alternate(a.optimiser, a.rounds, a.models, a.versus)
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
            json.dump(other, f)
        a.against = f.name
    else:
        cost = measure(a.optimiser, a.rounds, a.models)
    if a.json:
        with open(a.json, "w") as f:
            json.dump(cost, f)
    print(f"{a.optimiser.upper()} {SETTINGS[a.optimiser]}, one start, 10-year records, CPU s per calibration, best "
          f"of {a.rounds}; load average {os.getloadavg()[0]:.2f} at the end")
    old = json.load(open(a.against)) if a.against else {}
    print("| model | snow | CPU s | " + ("before | gain |" if old else "") + "\n|---|---|---:|"
          + ("---:|---:|" if old else ""))
    for key, seconds in cost.items():
        model, _, snow = key.partition(" ")
        cells = f"| {model} | {snow} | {seconds:.3f} |"
        if key in old:
            cells += f" {old[key]:.3f} | {old[key] / seconds:.2f}× |"
        print(cells)
    if old:
        for snow in ("snow", "no snow"):
            keys = [k for k in cost if k in old and k.split(" ", 1)[1] == snow]
            before, after = sum(old[k] for k in keys), sum(cost[k] for k in keys)
            print(f"all models, {snow}: {before:.2f} → {after:.2f} s, {before / after:.2f}×")


if __name__ == "__main__":
    main()
