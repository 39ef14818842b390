"""CemaNeige alone: CPU ns per day of `vardex_rs.snow.cemaneige.simulate`, for comparing two builds.

Usage:
    python bench/snow.py                                    # this build
    python bench/snow.py --versus /other/venv/bin/python --rounds 5   # the two builds alternating

The two sample catchments tiled to 10-year records with their default elevation bands (median -200, 0, +200 m),
--sets random parameter sets (seed 1) over the whole box, every set run on both; process time, the best of
--rounds. A call also checks its inputs and scans its output, a few percent of a 10-year run. --versus runs the
other build's interpreter and this one in turn, a fresh process each, and prints old / new (above 1: the build
running now is faster).
"""
from __future__ import annotations

import argparse
import json
import os
import time

from benchlib import in_turn
from scale import tiled


def measure(rounds: int, sets: int) -> float:
    import numpy as np

    import vardex
    import vardex_rs
    from vardex.simulation import default_bands

    snow = vardex_rs.snow.cemaneige
    box = snow.init()[1]
    params = box[:, 0] + np.random.default_rng(1).random((sets, 3)) * (box[:, 1] - box[:, 0])
    inputs = []
    for gauge in ("01022500", "03015500"):
        c = tiled(vardex.load_camels(gauge), 3650)
        inputs.append((np.ascontiguousarray(c.precipitation, dtype=np.float64),
                       np.ascontiguousarray(c.temperature, dtype=np.float64),
                       np.ascontiguousarray(c.day_of_year, dtype=np.uint64),
                       default_bands(c), float(c.median_elevation)))
    days = sum(len(i[0]) for i in inputs) * sets
    best = float("inf")
    for _ in range(rounds):
        started = time.process_time()
        for x in params:
            for p, t, d, bands, median in inputs:
                snow.simulate(x, p, t, d, bands, median)
        best = min(best, time.process_time() - started)
    return best / days * 1e9


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--sets", type=int, default=500)
    parser.add_argument("--versus", metavar="PYTHON", help="another build's interpreter, run in turn with this one")
    parser.add_argument("--json", help="write the ns/day here")
    a = parser.parse_args()
    if not a.versus:
        ns = measure(a.rounds, a.sets)
        if a.json:
            with open(a.json, "w") as f:
                json.dump(ns, f)
        print(f"CemaNeige: {ns:.2f} ns/day (best of {a.rounds}; load average {os.getloadavg()[0]:.2f})")
        return
    best = [float("inf"), float("inf")]
    for side, ns in in_turn(__file__, ["--rounds", "1", "--sets", str(a.sets)], a.versus, a.rounds):
        best[side] = min(best[side], ns)
    print(f"CemaNeige, ns/day, best of {a.rounds} alternating rounds: the other build {best[1]:.2f}, this one "
          f"{best[0]:.2f}: {best[1] / best[0]:.2f}× (load average {os.getloadavg()[0]:.2f})")


if __name__ == "__main__":
    main()
