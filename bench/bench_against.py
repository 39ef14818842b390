"""The installed build against another build of vardex_rs, side by side, on the calls that shortcuts in the
arithmetic's bookkeeping should speed up without changing a bit: Oudin PET, the unit-hydrograph models'
simulate and 1-day call, and GR4J calibrations.

Usage:
    python bench/bench_against.py --against DIR [--rounds N] [--samples N] [--markdown]

DIR holds the other build's vardex_rs*.so (copy it out of site-packages before installing the new tree).
Each round runs a fresh Python process per build, alternating, so both share the machine's noise; every figure
is the best of its rounds, and the ratio is against / installed (above 1: the installed build is faster). Times
are the process's CPU time (time.process_time: all its threads), not wall time: on a machine shared by many
processes the wall time of a call mostly measures the wait for a core.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

import benchlib
from benchlib import Table, fmt

ONE_DAY_CALLS = 5000
UH_MODELS = ("gr4j", "mordor", "mohyse", "bucket")  # bucket: a call with no ordinates, the floor


def best_of(samples: int, call) -> float:
    call()    # warm: the first call pays for lazy set-up
    return benchlib.best_cpu_time(call, samples)


def worker(samples: int) -> dict[str, float]:
    import numpy as np

    import bench_calibration
    import vardex_rs

    s = benchlib.series()
    p, pet, t, doy = s["precipitation"], s["pet"], s["temperature"], s["day_of_year"]
    days = len(p)
    out: dict[str, float] = {}
    oudin = vardex_rs.pet.oudin.simulate
    out["oudin ns/day"] = best_of(samples, lambda: oudin(t, doy, 44.6)) / days * 1e9
    p1, pet1 = np.array([5.0]), np.array([1.0])
    for name in UH_MODELS:
        module = getattr(vardex_rs.hydro, name)
        params = module.init()[0]
        out[f"{name} ns/day"] = best_of(samples, lambda: module.simulate(params, p, pet)) / days * 1e9

        def one_day() -> None:
            for _ in range(ONE_DAY_CALLS):
                module.simulate(params, p1, pet1)

        out[f"{name} 1-day us"] = best_of(3, one_day) / ONE_DAY_CALLS * 1e6
    for opt, snow in (("sce", False), ("dds", False), ("sce", True)):
        f = bench_calibration.forcing(10, snow)
        out[f"{opt}{' + snow' if snow else ''} s"] = best_of(
            max(1, samples // 5), lambda: bench_calibration.calibrate(opt, snow, f))
    return out


def run_build(path: str | None, samples: int) -> dict[str, float]:
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = os.pathsep.join([str(Path(path).resolve()), env.get("PYTHONPATH", "")])
    proc = subprocess.run([sys.executable, __file__, "--worker", str(samples)], env=env, check=True,
                          capture_output=True, text=True, cwd=Path(__file__).parent)
    return json.loads(proc.stdout)


LABELS = {
    "oudin ns/day": ("Oudin PET, 36,500 days", "ns/day"),
    "gr4j ns/day": ("GR4J simulate, 36,500 days", "ns/day"),
    "mordor ns/day": ("MORDOR simulate, 36,500 days", "ns/day"),
    "mohyse ns/day": ("MOHYSE simulate, 36,500 days", "ns/day"),
    "bucket ns/day": ("bucket simulate (unchanged code), 36,500 days", "ns/day"),
    "gr4j 1-day us": ("GR4J 1-day call", "us"),
    "mordor 1-day us": ("MORDOR 1-day call", "us"),
    "mohyse 1-day us": ("MOHYSE 1-day call", "us"),
    "bucket 1-day us": ("bucket 1-day call (no ordinates: the floor of a call)", "us"),
    "sce s": ("SCE-UA calibration of GR4J, 10 years", "s"),
    "dds s": ("DDS calibration of GR4J (1000 evaluations), 10 years", "s"),
    "sce + snow s": ("SCE-UA calibration of GR4J + CemaNeige, 10 years", "s"),
}


def measure(against: str, rounds: int, samples: int) -> tuple[Table, list[str]]:
    builds = {"installed": None, "against": against}
    best: dict[str, dict[str, float]] = {b: {} for b in builds}
    loads = [benchlib.load()]
    for _ in range(rounds):
        for build, path in builds.items():
            for key, value in run_build(path, samples).items():
                benchlib.keep_best(best[build], key, value)
        loads.append(benchlib.load())
    table = Table(f"installed build against {Path(against).name or against} (best of {rounds} alternating "
                  f"rounds, fresh process each, CPU time)",
                  ["call", "unit", "before", "after", "before/after"])
    for key, (label, unit) in LABELS.items():
        before, after = best["against"][key], best["installed"][key]
        digits = 3 if unit == "s" else (2 if unit == "us" else 1)
        table.rows.append([label, unit, fmt(before, digits), fmt(after, digits), f"{before / after:.2f}"])
    return table, loads


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--against", metavar="DIR", help="directory holding the other build's vardex_rs*.so")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--samples", type=int, default=10)
    parser.add_argument("--markdown", action="store_true")
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(args.worker)))
        return
    if not args.against:
        parser.error("--against DIR is required")
    table, loads = measure(args.against, args.rounds, args.samples)
    print(table.markdown() if args.markdown else table.text())
    print(f"\nload (1/5/15 min) at start and after each round: {' | '.join(loads)}")


if __name__ == "__main__":
    main()
