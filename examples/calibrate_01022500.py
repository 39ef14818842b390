"""Calibrate CemaNeige + GR4J on CAMELS 01022500 with SCE-UA and with DDS.

Oudin PET, three snow layers around the mean elevation, the first year as warm-up, missing observations as NaN.
"""
from __future__ import annotations

import sys
import time
from typing import TypedDict

import numpy as np
import numpy.typing as npt

import vardex
import vardex_rs
from vardex_rs.calibration.dds import Dds
from vardex_rs.calibration.sce import Sce

GAUGE = "01022500"
WARMUP = 365

Array = npt.NDArray[np.float64]


class CalibrationInputs(TypedDict):
    """The keyword arguments of the optimisers' init and step."""

    precipitation: Array
    temperature: Array
    pet: Array
    day_of_year: npt.NDArray[np.uint64]
    elevation_bands: Array
    median_elevation: float
    observations: Array
    warmup_steps: int


def calibration_inputs(gauge: str = GAUGE) -> CalibrationInputs:
    c = vardex.load_camels(gauge)
    return {
        "precipitation": c.precipitation,
        "temperature": c.temperature,
        "pet": c.pet,
        "day_of_year": c.day_of_year,
        "elevation_bands": c.median_elevation + np.array([-50.0, 0.0, 50.0]),
        "median_elevation": c.median_elevation,
        "observations": c.observed,
        "warmup_steps": WARMUP,
    }


def calibrate(optimiser: Sce | Dds, inputs: CalibrationInputs, max_steps: int) -> tuple[int, Array, Array, Array]:
    """Drive the optimiser until it reports done; returns (steps, params, simulation, [rmse, nse, kge])."""
    optimiser.init(**inputs)
    for step in range(1, max_steps + 1):
        done, params, simulation, scores = optimiser.step(**inputs)
        if done:
            break
    return step, params, simulation, scores


def main(seed: int = 1) -> dict[str, tuple[float, float]]:
    inputs = calibration_inputs()
    names = ["ctg", "kf", "qnbv"] + vardex_rs.hydro.gr4j.param_names
    runs: dict[str, tuple[Sce | Dds, int]] = {
        "SCE-UA": (Sce("gr4j", "cemaneige", "nse", "none", 5, 10, 0.01, 0.001, 20000, seed), 2000),
        "DDS": (Dds("gr4j", "cemaneige", "nse", "none", 0.2, 2000, seed), 2000),
    }
    results: dict[str, tuple[float, float]] = {}
    for label, (optimiser, max_steps) in runs.items():
        start = time.perf_counter()
        steps, params, simulation, scores = calibrate(optimiser, inputs, max_steps)
        window = slice(WARMUP, None)
        keep = np.isfinite(inputs["observations"][window])
        obs, sim = inputs["observations"][window][keep], simulation[window][keep]
        nse = vardex_rs.metrics.calculate_nse(obs, sim)
        kge = vardex_rs.metrics.calculate_kge(obs, sim)
        results[label] = (nse, kge)
        print(f"{label}: {steps} steps in {time.perf_counter() - start:.1f} s; "
              f"NSE {nse:.3f}, KGE {kge:.3f}, RMSE {scores[0]:.3f} mm/d")
        print("   ", ", ".join(f"{n}={v:.4g}" for n, v in zip(names, params)))
    return results


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1)
