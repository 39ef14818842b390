"""Hydrological signatures of a daily flow series, and the diagnostic errors of a simulation against observations.

The definitions are those of large-sample studies (CAMELS: Addor et al. 2017/2018; the diagnostic errors of Yilmaz
et al. 2008), stated where a choice is made:

- ``runoff_ratio``: mean flow over mean precipitation, over the days with a flow (needs the precipitation).
- ``baseflow_index``: base flow over total flow, the base flow from the Lyne–Hollick filter as Ladson et al.
  (2013) standardised it (the one CAMELS used): parameter 0.925, three passes (forward, backward, forward), each on
  the base flow of the one before, 30 days mirrored at each end of a stretch to warm the filter up; the quick flow
  runs unclamped from the first day's flow less the stretch's minimum, and the base flow is the flow less the
  quick flow where that is positive (at least 0). Missing days split the series into stretches filtered apart.
- ``fdc_slope``: slope of the flow-duration curve between the flows exceeded 33 % and 66 % of the time, in
  natural logarithms: (ln Q33 − ln Q66) / (0.66 − 0.33); NaN where either flow is 0.
- ``q5``, ``q95``: the 5 % (low) and 95 % (high) quantiles of the daily flow.
- ``mean_flow``: mean daily flow.
- ``half_flow_date``: the day of the water year (1 October = day 1) on which the flow accumulated since 1 October
  reaches half of the year's flow, averaged over the complete water years (every day observed).
- ``high_flow_freq`` / ``high_flow_dur``: days per year with a flow above 9 × the median flow, and the mean length
  of runs of such days; ``low_flow_freq`` / ``low_flow_dur`` likewise below 0.2 × the mean flow. A missing day ends
  a run.
- ``fhv``, ``flv``, ``fms`` (`diagnostic_errors`): percent bias of the flow-duration curve's high segment (top 2 %),
  of its low segment (bottom 30 %, in logarithms, relative to the segment's minimum) and of its middle slope
  (between 20 % and 70 % exceedance, in logarithms), simulated against observed.

Missing observations (NaN) are left out, as the scores leave them out: a simulation is compared on the days with
an observation only.
"""
from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["signatures", "diagnostic_errors", "baseflow", "stretch_baseflow", "LYNE_HOLLICK", "SIGNATURE_KEYS",
           "ERROR_KEYS"]

LYNE_HOLLICK = 0.925
REFLECTED = 30
SIGNATURE_KEYS = ("runoff_ratio", "baseflow_index", "fdc_slope", "q5", "q95", "mean_flow", "half_flow_date",
                  "high_flow_freq", "high_flow_dur", "low_flow_freq", "low_flow_dur")
ERROR_KEYS = ("fhv", "flv", "fms")
_LOG_FLOOR = 1e-6    # flows of 0 in the logarithmic segments


_BLOCK = 64    # days of the filter's recursion formed at once


def _quick(flow: np.ndarray, alpha: float) -> np.ndarray:
    """The filter's quick flow: q[0] = flow[0] − min(flow), q[t] = alpha q[t − 1] + (1 + alpha) / 2 (flow[t] −
    flow[t − 1]), formed a block of days at a time (the sum of alpha^(t − i) times each input within the block,
    plus the block's carry decayed): equal to the day-by-day recursion up to rounding."""
    n = len(flow)
    inputs = np.zeros(-(-n // _BLOCK) * _BLOCK)
    inputs[0] = flow[0] - np.min(flow)
    inputs[1:n] = (1 + alpha) / 2 * np.diff(flow)
    lag = np.arange(_BLOCK)[:, None] - np.arange(_BLOCK)[None, :]
    kernel = np.where(lag >= 0, alpha ** np.maximum(lag, 0), 0.0)
    quick = inputs.reshape(-1, _BLOCK) @ kernel.T
    decay = alpha ** np.arange(1, _BLOCK + 1)
    for b in range(1, len(quick)):
        quick[b] += decay * quick[b - 1, -1]
    return quick.ravel()[:n]


def _pass(flow: np.ndarray, alpha: float) -> np.ndarray:
    """One pass of the Lyne–Hollick filter: the base flow of ``flow``."""
    quick = _quick(flow, alpha)
    return np.where(quick > 0, flow - quick, flow)


def baseflow(flow: npt.ArrayLike, alpha: float = LYNE_HOLLICK, passes: int = 3,
             reflected: int = REFLECTED) -> np.ndarray:
    """The base flow of a complete flow series (no NaN): the Lyne–Hollick filter run forward, backward, forward
    on the series with ``reflected`` days mirrored at each end (see the module text)."""
    q = np.asarray(flow, dtype=np.float64)
    pad = min(reflected, len(q) - 1)
    base = np.pad(q, pad, mode="reflect") if pad > 0 else q
    for k in range(passes):
        base = _pass(base, alpha) if k % 2 == 0 else _pass(base[::-1], alpha)[::-1]
    return np.maximum(base[pad:len(base) - pad], 0.0)


def stretch_baseflow(flow: np.ndarray) -> np.ndarray:
    """The base flow of a series with missing days (NaN): the filter runs on each gap-free stretch of two days or
    more; NaN elsewhere."""
    base = np.full_like(flow, np.nan)
    kept = np.isfinite(flow)
    for stretch in np.split(np.arange(flow.size), np.flatnonzero(~kept)):
        stretch = stretch[kept[stretch]]
        if stretch.size > 1:
            base[stretch] = baseflow(flow[stretch])
    return base


def _runs(mask: np.ndarray) -> list[int]:
    """The lengths of the runs of True in ``mask``, in order."""
    edges = np.diff(np.concatenate([[0], np.asarray(mask, dtype=np.int8), [0]]))
    lengths: list[int] = (np.flatnonzero(edges == -1) - np.flatnonzero(edges == 1)).tolist()
    return lengths


def _half_flow_dates(flow: np.ndarray, dates: np.ndarray) -> list[int]:
    """Per complete water year (1 October to 30 September, every day present and observed), the day on which
    the flow accumulated since 1 October reaches half of the year's."""
    years = (dates.astype("datetime64[M]").astype(np.int64) + 3) // 12    # years since 1970 of the water year's end
    found = []
    for year in np.unique(years):
        days = np.flatnonzero(years == year)
        start, end = np.datetime64(f"{1969 + int(year)}-10-01"), np.datetime64(f"{1970 + int(year)}-10-01")
        values = flow[days]
        if len(days) != int((end - start).astype(np.int64)) or not np.isfinite(values).all() or values.sum() <= 0:
            continue
        found.append(int(np.argmax(np.cumsum(values) >= values.sum() / 2)) + 1)
    return found


def signatures(series: npt.ArrayLike, dates: npt.ArrayLike, precipitation: npt.ArrayLike | None = None
               ) -> dict[str, float]:
    """The signatures of a daily flow series (mm/day, NaN where missing) on consecutive ``dates``; see the module
    text for each definition. ``runoff_ratio`` is NaN without ``precipitation``."""
    flow = np.asarray(series, dtype=np.float64)
    days = np.asarray(dates).astype("datetime64[D]")
    if flow.ndim != 1 or days.shape != flow.shape:
        raise ValueError(f"series and dates must be one-dimensional and of one length, got {flow.shape} and "
                         f"{days.shape}")
    kept = np.isfinite(flow)
    if not kept.any():
        raise ValueError("no flow value in the series (every day is missing)")
    q = flow[kept]
    out: dict[str, float] = dict.fromkeys(SIGNATURE_KEYS, math.nan)
    out["mean_flow"] = float(np.mean(q))
    if precipitation is not None:
        rain = np.asarray(precipitation, dtype=np.float64)
        if rain.shape != flow.shape:
            raise ValueError(f"precipitation has {rain.shape} values, the series {flow.shape}")
        mean_rain = float(np.mean(rain[kept]))
        out["runoff_ratio"] = out["mean_flow"] / mean_rain if mean_rain > 0 else math.nan
    base = stretch_baseflow(flow)
    filtered = np.isfinite(base)
    total = float(np.sum(flow[filtered]))
    out["baseflow_index"] = float(np.sum(base[filtered])) / total if total > 0 else math.nan
    q33, q66 = np.quantile(q, 1 - 0.33), np.quantile(q, 1 - 0.66)
    out["fdc_slope"] = float((math.log(q33) - math.log(q66)) / (0.66 - 0.33)) if q33 > 0 and q66 > 0 else math.nan
    out["q5"], out["q95"] = float(np.quantile(q, 0.05)), float(np.quantile(q, 0.95))
    years = len(q) / 365.25
    high = np.where(kept, flow > 9 * np.median(q), False)
    low = np.where(kept, flow < 0.2 * np.mean(q), False)
    for name, mask in (("high", high), ("low", low)):
        runs = _runs(mask)
        out[f"{name}_flow_freq"] = float(np.count_nonzero(mask)) / years
        out[f"{name}_flow_dur"] = float(np.mean(runs)) if runs else 0.0
    dates_found = _half_flow_dates(flow, days)
    out["half_flow_date"] = float(np.mean(dates_found)) if dates_found else math.nan
    return out


def _fdc(values: np.ndarray) -> np.ndarray:
    return np.sort(values)[::-1]    # highest first: index i is exceeded (i + 1) / n of the time


def diagnostic_errors(observed: npt.ArrayLike, simulated: npt.ArrayLike) -> dict[str, float]:
    """``fhv``, ``flv`` and ``fms`` (%) of ``simulated`` against ``observed`` on the days with an observation."""
    obs_all, sim_all = np.asarray(observed, dtype=np.float64), np.asarray(simulated, dtype=np.float64)
    kept = np.isfinite(obs_all)
    obs, sim = _fdc(obs_all[kept]), _fdc(sim_all[kept])
    n = len(obs)
    out: dict[str, float] = dict.fromkeys(ERROR_KEYS, math.nan)
    if n < 2 or not np.isfinite(sim).all():
        return out
    top = max(int(round(0.02 * n)), 1)
    high_obs = float(np.sum(obs[:top]))
    if high_obs > 0:
        out["fhv"] = 100.0 * float(np.sum(sim[:top] - obs[:top])) / high_obs
    bottom = max(int(round(0.3 * n)), 1)
    log_obs = np.log(np.maximum(obs[n - bottom:], _LOG_FLOOR))
    log_sim = np.log(np.maximum(sim[n - bottom:], _LOG_FLOOR))
    low_obs = float(np.sum(log_obs - log_obs.min()))
    if low_obs > 0:
        out["flv"] = -100.0 * (float(np.sum(log_sim - log_sim.min())) - low_obs) / low_obs
    m1, m2 = int(round(0.2 * n)), int(round(0.7 * n))
    slope_obs = math.log(max(obs[m1], _LOG_FLOOR)) - math.log(max(obs[m2], _LOG_FLOOR))
    if slope_obs != 0:
        slope_sim = math.log(max(sim[m1], _LOG_FLOOR)) - math.log(max(sim[m2], _LOG_FLOOR))
        out["fms"] = 100.0 * (slope_sim - slope_obs) / slope_obs
    return out


def describe(values: dict[str, Any]) -> str:
    """One line per signature, for a terminal."""
    return "\n".join(f"{k:16s} {v:.4g}" if isinstance(v, float) and math.isfinite(v) else f"{k:16s} –"
                     for k, v in values.items())
