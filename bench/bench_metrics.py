"""NSE, KGE and RMSE on 36,500 values: Python `calculate_*` and the core (native harness) against a bare C++ loop
with the core's summation order.

Usage: python bench/bench_metrics.py [--rounds N] [--samples N] [--markdown]

Observations: CAMELS 01022500 streamflow (2000-2002 repeated); simulations: GR4J at its default parameters on the
matching forcing. Rounds alternate the harness and a fresh Python worker; best of every round. Goal: within 20 %
of the bare loop.
"""
from __future__ import annotations

import time

import benchlib
from benchlib import Table, fmt, goal, keep_best

METRICS = ("nse", "kge", "rmse")
REPS = 20


def worker(args: list[str]) -> dict[str, float]:
    import vardex_rs

    samples = int(args[0])
    s = benchlib.series()
    gr4j = vardex_rs.hydro.gr4j
    obs, sim = s["observed"], gr4j.simulate(gr4j.init()[0], s["precipitation"], s["pet"])
    out = {}
    for name in METRICS:
        fn = getattr(vardex_rs.metrics, f"calculate_{name}")
        fn(obs, sim)
        best = float("inf")
        for _ in range(samples):
            start = time.perf_counter()
            for _ in range(REPS):
                fn(obs, sim)
            best = min(best, (time.perf_counter() - start) / REPS)
        out[name] = best * 1e6
    return out


def measure(rounds: int, samples: int) -> list[Table]:
    core: dict[str, float] = {}
    bare: dict[str, float] = {}
    python: dict[str, float] = {}
    identical = True
    for _ in range(rounds):
        for r in benchlib.run_harness("metrics", samples):
            if r["case"] == "metric":
                keep_best(core, r["metric"], r["core_us"])
                keep_best(bare, r["metric"], r["bare_us"])
                identical = identical and r["identical"]
        for name, us in benchlib.run_worker(__file__, str(samples)).items():
            keep_best(python, name, us)

    table = Table(f"metrics, us per call on {benchlib.DAYS:,} values (best of {rounds} rounds x {samples} x {REPS} "
                  "calls)", ["metric", "bare loop", "core", "core/bare", "Python", "Python/bare", "within 20 %"])
    for name in METRICS:
        c, b, p = core[name], bare[name], python[name]
        table.rows.append([name.upper(), fmt(b), fmt(c), fmt(c / b, 2), fmt(p), fmt(p / b, 2),
                           goal(c / b <= 1.2 and p / b <= 1.2)])
    table.notes.append("core: `metrics::nse/kge/rmse` (length and finiteness checks included); Python: "
                       "`vardex_rs.metrics.calculate_*`; bare loop: the core's sums in the same order, no checks; "
                       f"results bit-identical: {'yes' if identical else '**no**'}. The goal is checked on both.")
    return [table]


if __name__ == "__main__":
    benchlib.main_for(measure, worker, __doc__, rounds=5, samples=10)
