"""Plots of a calibration: observed against simulated flow, and the convergence curve (needs matplotlib)."""
from __future__ import annotations

from typing import Any

import numpy as np


def _pyplot() -> Any:
    try:
        import matplotlib

        if matplotlib.get_backend().lower() not in ("agg", "pdf", "svg", "ps") and not _has_display():
            matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as err:
        raise ImportError('plotting needs matplotlib: pip install "vardex_rs[plot]" (or pip install matplotlib)') \
            from err
    return plt


def _has_display() -> bool:
    import os

    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def hydrograph(catchment: Any, result: Any, warmup: int = 365, path: str | None = None, ax: Any = None) -> Any:
    """Observed (points) and simulated (line) streamflow in mm/day against the dates, the warm-up shaded.

    The simulation and its warm-up are placed by the result's own ``period`` and ``warmup`` (the ``warmup``
    argument is ignored). Writes the figure to ``path`` when given; returns the axes.
    """
    plt = _pyplot()
    if ax is None:
        _, ax = plt.subplots(figsize=(11, 4))
    dates = catchment.dates
    start = int(np.searchsorted(dates, result.period[0])) - result.warmup
    simulated = dates[start:start + len(result.simulation)]
    ax.plot(dates, catchment.observed, ".", ms=2.5, color="0.35", label="observed")
    ax.plot(simulated, result.simulation, lw=1.0, color="tab:blue", label=f"{result.model} (simulated)")
    if result.warmup > 0:
        ax.axvspan(simulated[0], simulated[result.warmup - 1], color="0.9", zorder=0, label="warm-up")
    metrics = ", ".join(f"{k.upper()} {v:.3f}" for k, v in result.metrics.items())
    ax.set_title(f"{catchment.gauge} {catchment.name}: {metrics}", fontsize=10)
    ax.set_ylabel("streamflow (mm/day)")
    ax.legend(loc="upper right", fontsize=8)
    if path:
        ax.figure.tight_layout()
        ax.figure.savefig(path, dpi=120)
    return ax


def convergence(result: Any, path: str | None = None, ax: Any = None) -> Any:
    """The best objective after every step of a calibration; writes to ``path`` when given."""
    plt = _pyplot()
    if ax is None:
        _, ax = plt.subplots(figsize=(6, 4))
    steps = np.arange(1, len(result.history) + 1)
    ax.plot(steps, result.history, marker=".", color="tab:green")
    ax.set_xlabel("step")
    ax.set_ylabel(f"best {result.objective.upper()}")
    ax.set_title(f"{result.model} ({result.optimiser}, seed {result.seed}): {result.evaluations} evaluations",
                 fontsize=10)
    if path:
        ax.figure.tight_layout()
        ax.figure.savefig(path, dpi=120)
    return ax
