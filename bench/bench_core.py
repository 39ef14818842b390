"""Throughput of the core operations on a synthetic 100-year daily series (not a test).

Usage: python bench/bench_core.py [repeats]
"""
import sys
import time

import numpy as np

import vardex_rs
from vardex_rs.calibration.dds import Dds
from vardex_rs.calibration.sce import Sce


def best_of(repeats, fn):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main(repeats=5):
    n = 36500
    rng = np.random.default_rng(0)
    p = rng.gamma(0.6, 6.0, n)
    t = 8.0 + 12.0 * np.sin((np.arange(n) - 100) * 2 * np.pi / 365) + rng.normal(0, 3, n)
    doy = (np.arange(n) % 365 + 1).astype(np.uint64)
    pet = vardex_rs.pet.oudin.simulate(t, doy, 45.0)
    params = vardex_rs.hydro.gr4j.init()[0]
    obs = vardex_rs.hydro.gr4j.simulate(np.array([300.0, -0.5, 90.0, 2.0]), p, pet)
    snow = vardex_rs.snow.cemaneige.init()[0]
    layers = np.array([200.0, 400.0, 600.0, 800.0, 1000.0])

    cases = {
        "gr4j.simulate": lambda: vardex_rs.hydro.gr4j.simulate(params, p, pet),
        "cemaneige.simulate (5 layers)": lambda: vardex_rs.snow.cemaneige.simulate(snow, p, t, doy, layers, 600.0),
        "oudin.simulate": lambda: vardex_rs.pet.oudin.simulate(t, doy, 45.0),
        "calculate_kge": lambda: vardex_rs.metrics.calculate_kge(obs, obs * 1.1),
    }
    print(f"series of {n} days, best of {repeats}")
    for name, fn in cases.items():
        sec = best_of(repeats, fn)
        print(f"  {name:32s} {sec * 1e3:8.2f} ms  ({n / sec / 1e6:6.1f} M days/s)")

    f = (p[:3650], None, pet[:3650], None, None, None, obs[:3650], 365)

    def sce_run():
        s = Sce("gr4j", None, "nse", "none", 4, 5, 0.01, 0.001, 3000, 1)
        s.init(*f)
        while not s.step(*f)[0]:
            pass

    def dds_run():
        d = Dds("gr4j", None, "nse", "none", 0.2, 1000, 1)
        d.init(*f)
        while not d.step(*f)[0]:
            pass

    print("calibration on 3650 days")
    print(f"  SCE-UA (4 complexes, <= ~3000 evaluations) {best_of(repeats, sce_run):8.3f} s")
    print(f"  DDS (1000 evaluations)                     {best_of(repeats, dds_run):8.3f} s")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 5)
