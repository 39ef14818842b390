"""Which parameters matter: Sobol' indices or Morris elementary effects of a model's objective on a catchment, with
SALib's samplers and analysers, the runs on a thread pool."""
from __future__ import annotations

import concurrent.futures as cf
import math
import os
import sys
from dataclasses import dataclass
from typing import Any

import numpy as np

from vardex import periods
from vardex._optional import optional_import
from vardex.data import Catchment
from vardex.settings import Settings
from vardex.simulation import default_bands, param_bounds, param_names, score_window

__all__ = ["SensitivityResult", "sensitivity", "sample", "analyse", "runs_needed", "METHODS"]

METHODS = ("sobol", "morris")
_MORRIS_LEVELS = 4


@dataclass(frozen=True)
class SensitivityResult:
    """``indices`` maps each parameter to its indices: Sobol' ``S1`` and ``ST`` (first-order and total) with their
    95 % confidence half-widths ``S1_conf``, ``ST_conf``; Morris ``mu_star`` (mean absolute elementary effect),
    ``mu_star_conf`` and ``sigma``. ``runs`` is the number of model runs made; ``replaced`` counts the runs whose
    objective was not finite and that entered the analysis with the worst finite value."""

    model: str
    snow: bool
    method: str
    objective: str
    names: list[str]
    runs: int
    replaced: int
    indices: dict[str, dict[str, float]]


def sample(method: str, problem: dict[str, Any], n: int, seed: int) -> np.ndarray:
    """SALib's sample of ``problem`` for ``method``: Sobol' (first and total order) or Morris trajectories."""
    if method == "sobol":
        from SALib.sample import sobol as sampler

        points: np.ndarray = sampler.sample(problem, n, calc_second_order=False, seed=seed)
    else:
        from SALib.sample import morris as sampler

        points = sampler.sample(problem, n, num_levels=_MORRIS_LEVELS, seed=seed)
    return points


def analyse(method: str, problem: dict[str, Any], samples: np.ndarray, values: np.ndarray,
            seed: int) -> dict[str, dict[str, float]]:
    """Each parameter's indices from the function's ``values`` at ``samples`` (SALib's analysers)."""
    if method == "sobol":
        from SALib.analyze import sobol as analyser

        found = analyser.analyze(problem, values, calc_second_order=False, seed=seed, print_to_console=False)
        keys: tuple[str, ...] = ("S1", "S1_conf", "ST", "ST_conf")
    else:
        from SALib.analyze import morris as analyser

        found = analyser.analyze(problem, samples, values, num_levels=_MORRIS_LEVELS, seed=seed,
                                 print_to_console=False)
        keys = ("mu_star", "mu_star_conf", "sigma")
    return {name: {k: float(np.asarray(found[k], dtype=np.float64)[j]) for k in keys}
            for j, name in enumerate(problem["names"])}


def runs_needed(method: str, n: int, parameters: int) -> int:
    """Model runs of an analysis: Sobol' (first and total order) N (k + 2), Morris N (k + 1) trajectories."""
    return n * (parameters + 2) if method == "sobol" else n * (parameters + 1)


def sensitivity(catchment: Catchment, model: str, *, method: str = "sobol", n: int = 256, objective: str = "nse",
                period: periods.Period | None = None, warmup: int = 365, snow: bool | str = "auto", seed: int = 1,
                workers: int | None = None, progress: bool = True) -> SensitivityResult:
    """Sensitivity of ``objective`` on ``period`` to each parameter of ``model`` (CemaNeige's included when it
    runs): ``method`` "sobol" (``n`` a power of two: N (k + 2) runs) or "morris" (``n`` trajectories: N (k + 1)
    runs), sampled with ``seed``. The cost is said on stderr before the runs start, with their progress
    (``progress=False``: nothing). The runs go to ``workers`` threads (default one per CPU); the result is the
    same for any number. Needs SALib (pip install "vardex_rs[analysis]")."""
    optional_import("SALib", "sensitivity analysis", "'vardex_rs[analysis]' (or pip install SALib)")
    method = method.lower() if isinstance(method, str) else method
    if method not in METHODS:
        raise ValueError(f"Unknown method '{method}'. Valid options: sobol, morris")
    settings = Settings.build(models=model, objective=objective, warmup=warmup, snow=snow, seeds=seed, period=period)
    n = int(n)
    if n < 2 or (method == "sobol" and n & (n - 1)):
        raise ValueError(f"n must be {'a power of two' if method == 'sobol' else 'at least 2'}, got {n}")
    model = settings.models[0]
    use_snow = settings.uses_snow(catchment.precipitation, catchment.temperature)
    names = param_names(model, use_snow)
    problem = {"num_vars": len(names), "names": names, "bounds": param_bounds(model, use_snow).tolist()}
    samples = sample(method, problem, n, settings.seed)
    win = periods.period_window(catchment.dates, period, warmup)
    bands = default_bands(catchment, settings.elevation_bands) if use_snow else None
    bar = None
    if progress:
        from tqdm import tqdm

        print(f"{method} sensitivity of {model}{' + CemaNeige' if use_snow else ''}: {len(samples)} runs",
              file=sys.stderr)
        bar = tqdm(total=len(samples), unit="run", file=sys.stderr, desc="sensitivity")

    def one(row: np.ndarray) -> float:
        metrics, _ = score_window(catchment, model, row, win, bands, "none")
        if bar is not None:
            bar.update(1)
        return metrics[settings.objective]

    try:
        with cf.ThreadPoolExecutor(workers or len(os.sched_getaffinity(0))) as pool:
            scores = np.array(list(pool.map(one, samples)))
    finally:
        if bar is not None:
            bar.close()
    finite = np.isfinite(scores)
    if not finite.any():
        raise ValueError(f"no run of {model} gave a finite {settings.objective}")
    worst = float(np.max(scores[finite]) if settings.objective == "rmse" else np.min(scores[finite]))
    values = np.where(finite, scores, worst)
    indices = analyse(method, problem, samples, values, settings.seed)
    return SensitivityResult(model=model, snow=use_snow, method=method, objective=settings.objective, names=names,
                             runs=len(samples), replaced=int(np.count_nonzero(~finite)), indices=indices)


def table(result: SensitivityResult) -> str:
    """The indices as a Markdown table, parameters in order."""
    keys = list(next(iter(result.indices.values())))
    lines = ["| parameter | " + " | ".join(keys) + " |", "|---|" + "---:|" * len(keys)]
    for name, values in result.indices.items():
        lines.append(f"| {name} | " + " | ".join(f"{values[k]:.3f}" if math.isfinite(values[k]) else "–"
                                                 for k in keys) + " |")
    return "\n".join(lines)
