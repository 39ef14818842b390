"""What a calibration says beyond its score: the untransformed scores with KGE's components and the bias, the
parameters that ended at a bound, and why the optimiser stopped."""
from __future__ import annotations

import math
from typing import Sequence

import numpy as np

from vardex.simulation import METRIC_NAMES, param_bounds, score

__all__ = ["scores", "at_bounds", "stop_reason", "BOUND_SHARE", "SCORE_KEYS"]

# A parameter within this share of its range from a bound counts as at that bound.
BOUND_SHARE = 0.005
# The keys of `scores`, in order.
SCORE_KEYS = METRIC_NAMES + ("kge_r", "kge_alpha", "kge_beta", "pbias")


def scores(observed: np.ndarray, simulated: np.ndarray,
           triple: Sequence[float] | np.ndarray | None = None) -> dict[str, float]:
    """rmse, nse, kge of the flows as they are (no transformation), KGE's correlation ``kge_r``, variability ratio
    ``kge_alpha`` (σ sim / σ obs) and bias ratio ``kge_beta`` (mean sim / mean obs), and the percent bias
    ``pbias`` = 100 Σ(sim − obs) / Σ obs, all on the days with an observation. ``triple`` is the calibrators'
    own [rmse, nse, kge] of these flows, when already known."""
    out = dict(zip(METRIC_NAMES, (float(v) for v in triple))) if triple is not None else score(observed, simulated)
    kept = np.isfinite(observed)
    obs, sim = observed[kept], simulated[kept]
    nan = math.nan
    with np.errstate(all="ignore"):
        finite = bool(np.isfinite(sim).all()) and obs.size > 1
        std_obs, std_sim = (float(np.std(obs)), float(np.std(sim))) if finite else (nan, nan)
        mean_obs, mean_sim = (float(np.mean(obs)), float(np.mean(sim))) if finite else (nan, nan)
        r = float(np.corrcoef(obs, sim)[0, 1]) if finite and std_obs > 0 and std_sim > 0 else nan
        total = float(np.sum(obs)) if finite else nan
        out.update(kge_r=r, kge_alpha=std_sim / std_obs if finite and std_obs > 0 else nan,
                   kge_beta=mean_sim / mean_obs if finite and mean_obs != 0 else nan,
                   pbias=100.0 * float(np.sum(sim - obs)) / total if finite and total != 0 else nan)
    return out


def at_bounds(model: str, snow: bool, params: dict[str, float]) -> dict[str, str]:
    """The parameters within `BOUND_SHARE` of their range from a bound: name -> "lower" or "upper"."""
    found: dict[str, str] = {}
    for (name, value), (lo, hi) in zip(params.items(), param_bounds(model, snow).tolist()):
        margin = BOUND_SHARE * (hi - lo)
        if value <= lo + margin:
            found[name] = "lower"
        elif value >= hi - margin:
            found[name] = "upper"
    return found


def _percentage_change(history: Sequence[float], k: int) -> float:
    """The optimiser's percentage-change criterion over the last ``k`` best values (inf where it cannot fire)."""
    window = list(history[-k:])
    if len(window) < k or not all(math.isfinite(v) for v in window):
        return math.inf
    mean = sum(abs(v) for v in window) / k
    return 0.0 if mean <= 1e-10 else abs(window[-1] - window[0]) * 100 / mean


def stop_reason(*, optimiser: str, done: bool, interrupted: bool, steps: int, max_steps: int | None,
                history: Sequence[float], options: dict[str, float], engine_evaluations: int,
                engine_budget: int) -> str:
    """Why a run stopped: ``interrupted``, ``max_steps``, ``budget`` or ``converged: ...`` naming SCE's
    criterion (the best objective changed less than p % over k_stop cycles, or the population shrank below the
    geometric range; ``converged`` alone where the history cannot tell which)."""
    if interrupted:
        return "interrupted"
    if not done:
        return "max_steps" if max_steps is not None and steps >= max_steps else "interrupted"
    if optimiser == "dds" or engine_evaluations > engine_budget:
        return "budget"
    k = int(options["k_stop"])
    if steps + 1 <= k:
        # The optimiser's window reaches its initial best, which is not returned: when it is shorter than k,
        # only the parameter range can have fired.
        return "converged: parameter range" if steps + 1 < k else "converged"
    if _percentage_change(history, k) < options["p_convergence_threshold"]:
        return "converged: objective change"
    return "converged: parameter range"
