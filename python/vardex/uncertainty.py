"""Uncertainty by GLUE (Beven & Binley 1992): a seeded Latin hypercube over the parameter bounds, the behavioural
sets by a threshold on the objective, and likelihood-weighted prediction bands on the validation period."""
from __future__ import annotations

import concurrent.futures as cf
import math
import os
from dataclasses import dataclass
from typing import Any

import numpy as np

from vardex import periods
from vardex.data import Catchment
from vardex.settings import Settings
from vardex.simulation import default_bands, param_bounds, param_names, score_window

__all__ = ["GlueResult", "glue", "glue_samples", "latin_hypercube", "weighted_quantile"]


@dataclass(frozen=True)
class GlueResult:
    """``params`` (one row per sample, columns ``names``) and their ``scores`` (the objective on the calibration
    period); ``behavioural`` marks the sets at or beyond ``threshold``, ``weights`` their likelihoods (objective
    minus threshold, the other way round for RMSE; normalised to 1). ``lower`` and ``upper`` are the weighted 5 and
    95 % flows of the behavioural simulations on each day of the validation period (``dates``), and ``coverage``
    the share of that period's observations inside the band."""

    model: str
    snow: bool
    names: list[str]
    params: np.ndarray
    scores: np.ndarray
    behavioural: np.ndarray
    weights: np.ndarray
    threshold: float
    objective: str
    dates: np.ndarray
    lower: np.ndarray
    upper: np.ndarray
    coverage: float


def latin_hypercube(bounds: np.ndarray, n: int, seed: int) -> np.ndarray:
    """``n`` points in the box ``bounds`` (rows lower, upper), one in each of ``n`` equal strata of every
    parameter, the strata paired at random (NumPy's generator seeded with ``seed``)."""
    rng = np.random.default_rng(seed)
    k = len(bounds)
    strata = np.column_stack([rng.permutation(n) for _ in range(k)])
    unit = (strata + rng.random((n, k))) / n
    points: np.ndarray = bounds[:, 0] + unit * (bounds[:, 1] - bounds[:, 0])
    return points


def weighted_quantile(values: np.ndarray, weights: np.ndarray, q: float) -> np.ndarray:
    """The weighted ``q`` quantile of each column of ``values`` (rows: members, weights summing to 1): the
    smallest value whose cumulative weight reaches ``q``."""
    order = np.argsort(values, axis=0, kind="stable")
    sorted_values = np.take_along_axis(values, order, axis=0)
    cumulative = np.cumsum(weights[order], axis=0)
    at = np.argmax(cumulative >= q - 1e-12, axis=0)
    picked: np.ndarray = sorted_values[at, np.arange(values.shape[1])]
    return picked


def glue(catchment: Catchment, model: str, *, n: int = 1000, threshold: float = 0.5, objective: str = "nse",
         period: periods.Period | None = None, validation: periods.Period | None = None, warmup: int = 365,
         snow: bool | str = "auto", seed: int = 1, workers: int | None = None) -> GlueResult:
    """GLUE for ``model`` on ``catchment``: ``n`` parameter sets by Latin hypercube (seeded), scored by
    ``objective`` on ``period`` (default: the record after the warm-up), behavioural where the score is at least
    ``threshold`` (at most, for RMSE), and their weighted 5–95 % band on ``validation`` (default: ``period``).
    The runs go to ``workers`` threads (default: one per CPU); the result is the same for any number."""
    settings = Settings.build(models=model, objective=objective, warmup=warmup, snow=snow, seeds=seed,
                              period=period, validation=validation)
    if settings.transformation != "none":
        raise ValueError("GLUE scores the flows as they are")
    n = int(n)
    if n < 2:
        raise ValueError(f"n must be at least 2, got {n}")
    model = settings.models[0]
    use_snow = settings.uses_snow(catchment.precipitation, catchment.temperature)
    bands = default_bands(catchment, settings.elevation_bands) if use_snow else None
    cal = periods.period_window(catchment.dates, period, warmup)
    val = cal if validation is None else periods.window(catchment.dates, validation, warmup)
    samples = latin_hypercube(param_bounds(model, use_snow), n, settings.seed)

    def score(row: np.ndarray) -> float:
        metrics, _ = score_window(catchment, model, row, cal, bands, "none")
        return metrics[settings.objective]

    with cf.ThreadPoolExecutor(workers or len(os.sched_getaffinity(0))) as pool:
        scores = np.array(list(pool.map(score, samples)))
    return _band(catchment, model, use_snow, bands, samples, scores, float(threshold), settings.objective, val,
                 workers)


def glue_samples(result: Any, catchment: Catchment, *, threshold: float, validation: periods.Period | None = None,
                 workers: int | None = None) -> GlueResult:
    """GLUE on the parameter sets a calibration evaluated (``keep="all"``), scored by its objective. They are not
    a random sample: the optimiser crowds them near its optimum, so the band says where it searched, not how
    uncertain the parameters are (a `UserWarning` says so)."""
    import warnings

    if result.samples is None:
        raise ValueError('GLUE on a calibration needs its evaluated parameter sets: calibrate(..., keep="all")')
    if result.transformation != "none":
        raise ValueError("GLUE scores the flows as they are: calibrate without a transformation")
    warnings.warn("the sets an optimiser evaluated are not a random sample of the parameters: the band shows "
                  "where the optimiser searched, not the parameters' uncertainty", UserWarning, stacklevel=2)
    names = list(result.params)
    rows = np.column_stack([np.asarray(result.samples[name], dtype=np.float64) for name in names])
    if validation is None:
        val = result.validation_window or result.window
    else:
        val = periods.window(catchment.dates, validation, result.requested_warmup)
    return _band(catchment, result.model, result.snow, result.bands_on(catchment), rows,
                 np.asarray(result.samples["score"], dtype=np.float64), float(threshold), result.objective, val,
                 workers)


def _band(catchment: Catchment, model: str, snow: bool, bands: np.ndarray | None, rows: np.ndarray,
          scores: np.ndarray, threshold: float, objective: str, val: periods.Window, workers: int | None
          ) -> GlueResult:
    """The behavioural sets of ``rows`` by their ``scores``, their likelihood weights and their weighted 5-95 %
    band on ``val``, with its coverage."""
    rmse = objective == "rmse"
    with np.errstate(invalid="ignore"):
        behavioural = np.isfinite(scores) & ((scores <= threshold) if rmse else (scores >= threshold))
    if not behavioural.any():
        best = np.nanmin(scores) if rmse else np.nanmax(np.where(np.isfinite(scores), scores, np.nan))
        raise ValueError(f"no behavioural set: no {objective} {'at most' if rmse else 'at least'} {threshold} among "
                         f"{len(scores)} samples (best {best:.3g})")
    likelihood = np.where(behavioural, (threshold - scores) if rmse else (scores - threshold), 0.0)
    if likelihood.sum() <= 0:    # every behavioural set exactly at the threshold: equal weights
        likelihood = behavioural.astype(np.float64)
    weights = likelihood / likelihood.sum()

    def flow(row: np.ndarray) -> np.ndarray:
        _, simulation = score_window(catchment, model, row, val, bands, "none")
        kept: np.ndarray = simulation[val.warmup:]
        return kept

    with cf.ThreadPoolExecutor(workers or len(os.sched_getaffinity(0))) as pool:
        flows = np.vstack(list(pool.map(flow, rows[behavioural])))
    w = weights[behavioural]
    lower, upper = weighted_quantile(flows, w, 0.05), weighted_quantile(flows, w, 0.95)
    observed = catchment.observed[val.first:val.stop]
    seen = np.isfinite(observed)
    inside = (observed[seen] >= lower[seen]) & (observed[seen] <= upper[seen])
    coverage = float(np.mean(inside)) if seen.any() else math.nan
    return GlueResult(model=model, snow=snow, names=param_names(model, snow), params=rows, scores=scores,
                      behavioural=behavioural, weights=weights, threshold=threshold, objective=objective,
                      dates=catchment.dates[val.first:val.stop], lower=lower, upper=upper, coverage=coverage)
