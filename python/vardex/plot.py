"""Figures (needs matplotlib): of a calibration (hydrograph, flow duration curves, convergence and dotty plots)
and of a results file's summary (score distributions, parameter spreads), the latter from plain data.

Each function draws a new figure, writes it to ``path`` when given and returns it. A figure is written whole
through a temporary file, in the format its extension names, to a regular file only (checked when it is
written). The periods drawn are the ones the result was scored on: its warm-up, calibration period and
validation period (when it has one).
"""
from __future__ import annotations

import io
import math
import os
from dataclasses import dataclass
from typing import Any

import numpy as np

from vardex import _files
from vardex._optional import optional_import

__all__ = ["hydrograph", "flow_duration", "convergence", "dotty", "score_cdf", "parameter_spread", "sensitivity",
           "check_format", "pyplot"]

_OBSERVED = "black"
_SIMULATED = "tab:red"
_SHADES = {"warm-up": "0.88", "calibration": "#dbe9f6", "validation": "#fde7cf"}
_DPI = 120


def pyplot() -> Any:
    matplotlib = optional_import("matplotlib", "plotting", '"vardex_rs[plot]" (or pip install matplotlib)')
    if matplotlib.get_backend().lower() not in ("agg", "pdf", "svg", "ps") and not _has_display():
        matplotlib.use("Agg")
    return optional_import("matplotlib.pyplot", "plotting", '"vardex_rs[plot]"')


def check_format(path: str) -> str:
    """The format of the figure ``path`` names, once it is known to be writable as named: matplotlib installed,
    the extension one of its formats (without one, matplotlib would add ".png" and write a file the user did not
    name), and an empty figure drawn in it (a format that needs a missing tool, such as pgf without LaTeX,
    fails here and not after the computation)."""
    plt = pyplot()
    fig = plt.figure(figsize=(1, 1))
    try:
        formats = fig.canvas.get_supported_filetypes()
        suffix = os.path.splitext(path)[1].lstrip(".").lower()
        if suffix not in formats:
            raise ValueError(f"{path}: name the figure with one of the extensions "
                             f"{', '.join('.' + f for f in sorted(formats))}")
        fig.text(0.5, 0.5, "vardex")    # text is what needs an outside tool, such as LaTeX for pgf
        try:
            fig.savefig(io.BytesIO(), format=suffix)
        except Exception as exc:
            raise ValueError(f"{path}: matplotlib cannot write .{suffix} figures here ({exc})") from None
    finally:
        plt.close(fig)
    return suffix


def _has_display() -> bool:
    import os

    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def _plain_log(ax: Any) -> None:
    """A log flow axis labelled 0.1, 1, 10 rather than in powers of ten."""
    from matplotlib.ticker import FuncFormatter

    ax.set_yscale("log")
    ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))


def _finish(fig: Any, path: str | None, *, follow_links: bool = True) -> Any:
    if path:
        suffix = check_format(path)

        def draw(stream: Any) -> None:
            try:
                fig.savefig(stream, format=suffix, dpi=_DPI, bbox_inches="tight")
            except Exception as exc:
                raise ValueError(f"{path}: matplotlib cannot write this figure as .{suffix} ({exc})") from None
        _files.replace_bytes(path, draw, follow_links=follow_links)
    return fig


@dataclass(frozen=True)
class _Run:
    """One simulated window of a result, as indices into the catchment's days."""

    name: str                   # "calibration" or "validation"
    start: int                  # first simulated day (the warm-up's first)
    first: int                  # first scored day
    last: int                   # last scored day, inclusive
    simulation: np.ndarray      # days start ... last
    metrics: dict[str, float]

    @property
    def scored(self) -> np.ndarray:
        return self.simulation[self.first - self.start:]


def _runs(catchment: Any, result: Any) -> list[_Run]:
    """The calibration run and, when the result has one, the validation run, checked against the catchment."""
    if result.gauge != catchment.gauge:
        raise ValueError(f"the result was calibrated on {result.gauge}, not on {catchment.gauge}")
    windows = [("calibration", result.window, result.period, result.simulation, result.metrics)]
    if result.validation_window is not None:
        windows.append(("validation", result.validation_window, result.validation_period,
                        result.validation_simulation, result.validation))
    runs = []
    for name, window, period, simulation, metrics in windows:
        if window.stop > len(catchment) or catchment.dates[window.first] != period[0]:
            raise ValueError(f"the {name} period {period[0]}:{period[1]} is not where the result has it in the "
                             f"record of {catchment.gauge}")
        run = _Run(name, window.start, window.first, window.stop - 1, np.asarray(simulation, dtype=np.float64),
                   dict(metrics))
        if len(run.simulation) != window.stop - window.start:
            raise ValueError(f"the {name} simulation ({len(run.simulation)} days) does not cover its warm-up "
                             f"and period on the record of {catchment.gauge}")
        runs.append(run)
    return runs


def _scores(metrics: dict[str, float]) -> str:
    return "  ".join(f"{k.upper()} {metrics[k]:.2f}" for k in ("nse", "kge") if k in metrics)


def _model_label(result: Any) -> str:
    return f"CemaNeige + {result.model}" if result.snow else str(result.model)


def _inside_other(run: Any, runs: list[Any]) -> bool:
    """Whether ``run``'s warm-up overlaps the period another run scored (it is then that period on the plot)."""
    return any(o.first < run.first and o.last >= run.start for o in runs if o is not run)


def hydrograph(catchment: Any, result: Any, *, log: bool = False, band: Any = None, path: str | None = None) -> Any:
    """Precipitation (inverted bars, top) and observed against simulated streamflow (mm/day, below).

    The warm-up, calibration and validation periods of ``result`` are shaded, the latter two labelled with their
    dates, NSE, KGE and the number of days scored (those observed); the simulated warm-up is drawn paler.
    ``log`` puts the flow on a log axis. The time axis spans the days the result simulated. ``band`` (a
    `vardex.uncertainty.GlueResult`) draws its 5-95 % prediction band and its coverage.
    """
    plt = pyplot()
    runs = _runs(catchment, result)
    dates = catchment.dates
    begin, end = min(r.start for r in runs), max(r.last for r in runs)
    fig, (ax_p, ax_q) = plt.subplots(2, 1, sharex=True, figsize=(12, 5.6),
                                     gridspec_kw={"height_ratios": [1, 3], "hspace": 0.05})
    days = slice(begin, end + 1)
    ax_p.fill_between(dates[days], catchment.precipitation[days], step="mid", color="tab:blue", lw=0)
    ax_p.set_ylim(1.05 * max(float(np.max(catchment.precipitation[days])), 1.0), 0)
    ax_p.set_ylabel("precipitation\n(mm/day)")

    if band is not None:
        ax_q.fill_between(band.dates, band.lower, band.upper, color=_SIMULATED, alpha=0.25, lw=0, step="mid",
                          label=f"GLUE 5-95 % band ({100 * band.coverage:.0f} % of observations inside)")
    ax_q.plot(dates[days], catchment.observed[days], lw=0.8, color=_OBSERVED, label="observed")
    labelled: set[str] = set()
    for i, run in enumerate(runs):
        sim_dates = dates[run.start:run.last + 1]
        warm = run.first - run.start
        ax_q.plot(sim_dates[warm:], run.scored, lw=0.8, color=_SIMULATED,
                  label=f"simulated ({_model_label(result)})" if i == 0 else None)
        # A warm-up inside the other run's scored period is not drawn: one simulated line per day.
        if warm and not _inside_other(run, runs):
            ax_q.plot(sim_dates[:warm + 1], run.simulation[:warm + 1], lw=0.8, color=_SIMULATED, alpha=0.4,
                      label="simulated, warm-up" if "simulated, warm-up" not in labelled else None)
            labelled.add("simulated, warm-up")

    # Warm-ups first, so that a period scored by the other run is never drawn as warm-up.
    for ax in (ax_p, ax_q):
        for run in runs:
            if run.first > run.start:
                ax.axvspan(dates[run.start], dates[run.first], color=_SHADES["warm-up"], lw=0, zorder=0)
        for run in runs:
            ax.axvspan(dates[run.first], dates[run.last], color=_SHADES[run.name], lw=0, zorder=0)
    at_top = ax_q.get_xaxis_transform()
    for run in runs:
        observed = int(np.count_nonzero(np.isfinite(catchment.observed[run.first:run.last + 1])))
        ax_q.text(dates[run.first], 0.97, f" {run.name} {dates[run.first]} to {dates[run.last]}\n "
                  f"{_scores(run.metrics)} on {observed} days observed", transform=at_top, va="top", ha="left",
                  fontsize=8)
        if run.first > run.start and not _inside_other(run, runs):
            spinup = f"\n +{int(result.spinup)} spin-up" if result.spinup else ""
            ax_q.text(dates[run.start], 0.97, f" warm-up\n {run.first - run.start} d{spinup}", transform=at_top,
                      va="top", ha="left", fontsize=8, color="0.3")
    ax_q.set_xlim(dates[begin], dates[end])
    if log:
        positive = catchment.observed[days][catchment.observed[days] > 0]
        _plain_log(ax_q)
        if positive.size:
            ax_q.set_ylim(bottom=0.5 * float(np.min(positive)))
    else:
        ax_q.set_ylim(bottom=0)
    top = np.nanmax(np.concatenate([catchment.observed[days]] + [r.simulation for r in runs]))
    if np.isfinite(top) and top > 0:
        ax_q.set_ylim(top=float(top) * (4.0 if log else 1.25))    # room for the period labels
    ax_q.set_ylabel("streamflow (mm/day)")
    ax_q.set_xlabel("date")
    # Below the axes: inside, it would cover the period labels or the flows.
    ax_q.legend(loc="upper center", bbox_to_anchor=(0.5, -0.14), ncol=3, fontsize=8, frameon=False)
    settings = f"{result.optimiser.upper()}, objective {result.objective.upper()}"
    if result.transformation != "none":
        settings += f" of {result.transformation}(Q)"
    ax_p.set_title(f"{catchment.gauge} {catchment.name}: {_model_label(result)} ({settings}, seed {result.seed})",
                   fontsize=10)
    fig.align_ylabels([ax_p, ax_q])
    fig.subplots_adjust(left=0.07, right=0.98, top=0.94, bottom=0.09)
    return _finish(fig, path)


def _duration_curve(flow: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Exceedance probability (%, Weibull plotting position i / (n + 1)) and the flows sorted high to low."""
    ordered = np.sort(flow)[::-1]
    return 100.0 * np.arange(1, len(ordered) + 1) / (len(ordered) + 1), ordered


def flow_duration(catchment: Any, result: Any, *, path: str | None = None) -> Any:
    """Observed and simulated flow duration curves of each scored period, on a log flow axis.

    Only days with an observation enter either curve, so that both describe the same days.
    """
    plt = pyplot()
    fig, ax = plt.subplots(figsize=(6.5, 4.8))
    for run, style in zip(_runs(catchment, result), ("-", "--")):
        observed = catchment.observed[run.first:run.last + 1]
        kept = np.isfinite(observed)
        dates = f"{catchment.dates[run.first]} to {catchment.dates[run.last]}"
        ax.plot(*_duration_curve(observed[kept]), style, color=_OBSERVED, lw=1.2, label=f"observed, {run.name}")
        ax.plot(*_duration_curve(run.scored[kept]), style, color=_SIMULATED, lw=1.2,
                label=f"simulated, {run.name} ({dates})")
    _plain_log(ax)
    ax.set_xlim(0, 100)
    ax.set_xlabel("exceedance probability (%)")
    ax.set_ylabel("streamflow (mm/day)")
    ax.grid(True, which="both", color="0.9", lw=0.5)
    ax.legend(fontsize=8)
    ax.set_title(f"{catchment.gauge} {catchment.name}: {_model_label(result)}", fontsize=10)
    fig.tight_layout()
    return _finish(fig, path)


def _better(objective: str) -> Any:
    """The running best of an objective: minimum for RMSE, maximum for the efficiencies."""
    return np.fmin.accumulate if objective == "rmse" else np.fmax.accumulate


def _objective_label(result: Any) -> str:
    name = result.objective.upper()
    return name if result.transformation == "none" else f"{name} of {result.transformation}(Q)"


def convergence(result: Any, *, path: str | None = None) -> Any:
    """The best objective after each optimiser step and, when the result kept its samples, after each evaluation.

    The evaluation panel also shows every evaluated set's score (points), as far as the best score's axis range
    allows.
    """
    plt = pyplot()
    samples = result.samples
    fig, axes = plt.subplots(1, 2 if samples is not None else 1, figsize=(11 if samples is not None else 6, 4),
                             squeeze=False)
    ax = axes[0, 0]
    steps = np.arange(1, len(result.history) + 1)
    ax.plot(steps, result.history, marker=".", color="tab:green")
    ax.set_xlabel("optimiser step" + ("" if samples is not None else f" ({result.evaluations} evaluations in all)"))
    ax.set_ylabel(f"best {_objective_label(result)}")
    if samples is not None:
        score = np.asarray(samples["score"], dtype=np.float64)
        count = np.arange(1, len(score) + 1)
        best = _better(result.objective)(score)
        ax = axes[0, 1]
        ax.plot(count, score, ".", ms=1.5, color="0.6", label="each evaluated set", rasterized=True)
        ax.plot(count, best, color="tab:green", label="best so far")
        finite = best[np.isfinite(best)]
        if finite.size:
            lo, hi = float(np.min(finite)), float(np.max(finite))
            pad = 0.1 * (hi - lo) or 0.1 * abs(hi) or 0.1
            ax.set_ylim(lo - pad, hi + pad)
        ax.set_xlabel("model evaluations")
        ax.set_ylabel(_objective_label(result))
        ax.legend(fontsize=8)
    fig.suptitle(f"{_model_label(result)} ({result.optimiser.upper()}, seed {result.seed}): "
                 f"{result.evaluations} evaluations, {len(result.history)} steps", fontsize=10)
    fig.tight_layout()
    return _finish(fig, path)


def _describe(result: Any, name: str) -> str:
    """``x1: Production store capacity (mm)``, CemaNeige's parameters included; the bare name for one without."""
    import textwrap

    from vardex.models import describe

    described = describe(result.model, bool(result.snow))
    return textwrap.fill(f"{name}: {described[name]}", 40) if name in described else name


def dotty(result: Any, *, path: str | None = None) -> Any:
    """The score of every evaluated parameter set against each parameter, the calibrated set marked.

    Needs a result calibrated with ``keep="all"``. NSE and KGE below -1 (RMSE above its 90th percentile) are
    left off the axes so that the well-performing sets can be read; the title says how many.
    """
    samples = result.samples
    if samples is None:
        raise ValueError('dotty plots need the evaluated parameter sets: calibrate(..., keep="all")')
    plt = pyplot()
    score = np.asarray(samples["score"], dtype=np.float64)
    names = list(result.params)
    finite = score[np.isfinite(score)]
    if result.objective == "rmse":
        limit = float(np.quantile(finite, 0.9)) if finite.size else np.inf
        shown = score <= limit
        off = f"RMSE above {limit:.3g}"
    else:
        limit = -1.0
        shown = score >= limit
        off = f"{result.objective.upper()} below {limit:g}"
    columns = min(len(names), 4)
    rows = -(-len(names) // columns)
    fig, axes = plt.subplots(rows, columns, figsize=(3.0 * columns, 2.6 * rows), sharey=True, squeeze=False)
    for ax, name in zip(axes.flat, names):
        ax.plot(np.asarray(samples[name])[shown], score[shown], ".", ms=2, color="tab:blue", alpha=0.5,
                rasterized=True)
        ax.plot([result.params[name]], [result.score], "*", ms=11, color=_SIMULATED, mec="black", mew=0.5,
                label="calibrated")
        ax.set_xlabel(_describe(result, name), fontsize=8)
    for ax in axes.flat[len(names):]:
        ax.set_visible(False)
    for ax in axes[:, 0]:
        ax.set_ylabel(_objective_label(result))
    axes.flat[0].legend(fontsize=8, loc="lower left")
    hidden = int(np.count_nonzero(~shown))
    fig.suptitle(f"{_model_label(result)} ({result.optimiser.upper()}, seed {result.seed}): {len(score)} sets"
                 + (f", {hidden} with {off} not shown" if hidden else ""), fontsize=10)
    fig.tight_layout()
    return _finish(fig, path)


# --- figures of a results file's summary, from plain data --------------------------------------------------------

def score_cdf(curves: dict[str, dict[str, list[float]]], metric: str, title: str, *, path: str | None = None,
              follow_links: bool = True) -> Any:
    """The distribution across catchments of ``metric`` for each model: ``curves`` maps a model to its values per
    period ("calibration", "validation"), one panel per period, models ordered by their median calibration
    value."""
    plt = pyplot()
    periods = list(next(iter(curves.values()), {"calibration": []}))
    fig, axes = plt.subplots(1, len(periods), figsize=(5.5 * len(periods), 4.6), sharex=True, sharey=True,
                             squeeze=False)
    colours = plt.get_cmap("tab10" if len(curves) <= 10 else "tab20").colors

    def middle(values: list[float]) -> float:
        finite = [v for v in values if math.isfinite(v)]
        return float(np.median(finite)) if finite else math.nan

    medians = {model: middle(values["calibration"]) for model, values in curves.items()}
    order = sorted(curves, key=lambda m: -medians[m] if math.isfinite(medians[m]) else math.inf)
    lowest = 0.0
    for ax, period in zip(axes[0], periods):
        for i, model in enumerate(order):
            values = np.sort([v for v in curves[model][period] if math.isfinite(v)])
            if not values.size:
                continue
            fraction = np.arange(1, values.size + 1) / values.size
            # A step up at each catchment's score, flat to the best possible score of 1 after the last.
            ax.step(np.concatenate([values[:1], values, [1.0]]), np.concatenate([[0.0], fraction, [1.0]]),
                    where="post", color=colours[i % len(colours)], ls="-" if i < len(colours) else "--", lw=1.4,
                    label=f"{model} (median {np.median(values):.2f}, n={values.size})")
            lowest = min(lowest, float(values[0]))
        ax.set_xlim(max(lowest, -1.0) - 0.02, 1.0)
        ax.set_ylim(0, 1.0)
        ax.set_xlabel(f"{period} {metric.upper()} (–)")
        ax.set_title(period, fontsize=10)
        ax.grid(True, color="0.9", lw=0.5)
        ax.legend(fontsize=7, loc="upper left")
    axes[0, 0].set_ylabel("fraction of catchments (–)")
    fig.suptitle(title + ("; values below −1 lie left of the axis" if lowest < -1.0 else ""), fontsize=10)
    fig.tight_layout()
    _finish(fig, path, follow_links=follow_links)
    return fig


def signatures(flow: Any, dates: Any, *, title: str = "", path: str | None = None) -> Any:
    """A flow series' signatures drawn: its flow-duration curve with the segments of the diagnostic errors (top
    2 %, 20-70 %, bottom 30 % of the time) and Q5/Q95, and its hydrograph with the Lyne–Hollick base flow of each
    gap-free stretch, the baseflow index in the legend."""
    from vardex.flow_signatures import signatures as values_of, stretch_baseflow

    plt = pyplot()
    q = np.asarray(flow, dtype=np.float64)
    days = np.asarray(dates).astype("datetime64[D]")
    values = values_of(q, days)
    fig, (fdc, hydro) = plt.subplots(1, 2, figsize=(12, 4.2), gridspec_kw={"width_ratios": [1, 1.6]})
    observed = np.sort(q[np.isfinite(q)])[::-1]
    exceedance = 100.0 * np.arange(1, observed.size + 1) / observed.size
    for (lo, hi), colour, label in (((0, 2), "tab:red", "high (FHV)"), ((20, 70), "tab:green", "middle (FMS)"),
                                    ((70, 100), "tab:blue", "low (FLV)")):
        fdc.axvspan(lo, hi, color=colour, alpha=0.12, lw=0, label=f"{label}: {lo}-{hi} %")
    fdc.plot(exceedance, observed, color="k", lw=1.2)
    for name, share in (("q95", 5.0), ("q5", 95.0)):
        fdc.plot([share], [values[name]], "o", ms=5, color="tab:orange")
        fdc.annotate(f"{name.upper()} {values[name]:.3g}", (share, values[name]), textcoords="offset points",
                     xytext=(6, 4), fontsize=8)
    fdc.set_yscale("log")
    _plain_log(fdc)
    fdc.set_xlim(0, 100)
    fdc.set_xlabel("time the flow is exceeded (%)")
    fdc.set_ylabel("flow (mm/day)")
    fdc.set_title(f"flow-duration curve (slope 33-66 %: {values['fdc_slope']:.2f})", fontsize=9)
    fdc.legend(fontsize=7, loc="upper right")
    base = stretch_baseflow(q)
    hydro.plot(days, q, color="k", lw=0.8, label="flow")
    hydro.fill_between(days, 0, base, color="tab:blue", alpha=0.35, lw=0,
                       label=f"base flow (baseflow index {values['baseflow_index']:.2f})")
    hydro.set_ylabel("flow (mm/day)")
    hydro.set_title(f"mean flow {values['mean_flow']:.2f} mm/day, half-flow date {values['half_flow_date']:.0f}; "
                    f"high flows {values['high_flow_freq']:.1f}/yr, low flows {values['low_flow_freq']:.0f} d/yr",
                    fontsize=9)
    hydro.legend(fontsize=8, loc="upper right")
    hydro.grid(True, color="0.9", lw=0.5)
    if title:
        fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    return _finish(fig, path)


SIGNATURE_ERRORS = {"fhv": "FHV: high-flow volume bias (top 2 %), %", "flv": "FLV: low-flow bias (bottom 30 %, "
                    "log), %", "fms": "FMS: bias of the mid-segment slope (20-70 %), %",
                    "bfi_error": "baseflow index, simulated minus observed (–)"}


def signature_errors(errors: dict[str, dict[str, list[float]]], title: str, *, path: str | None = None,
                     follow_links: bool = True) -> Any:
    """The signature errors of each model across catchments (``errors``: model -> error key of
    `SIGNATURE_ERRORS` -> one value per catchment), one panel per error: a box per model, or its points where
    there are fewer than five, the median marked; models in the order given, no error at the dashed line."""
    plt = pyplot()
    models = list(errors)
    fig, axes = plt.subplots(1, len(SIGNATURE_ERRORS), figsize=(3.4 * len(SIGNATURE_ERRORS),
                                                                 1.2 + 0.28 * max(len(models), 4)),
                             sharey=True, squeeze=False)
    for ax, (key, label) in zip(axes[0], SIGNATURE_ERRORS.items()):
        for i, model in enumerate(models):
            values = [v for v in errors[model].get(key, []) if v is not None and math.isfinite(v)]
            if not values:
                continue
            if len(values) < 5:
                ax.plot(values, [i] * len(values), "o", ms=3.5, color="tab:blue", alpha=0.8)
            else:
                ax.boxplot([values], positions=[i], vert=False, widths=0.6, showfliers=True,
                           flierprops={"ms": 2.5})
            ax.plot([float(np.median(values))], [i], "|", ms=10, mew=2, color="tab:red")
        ax.axvline(0.0, color="0.4", ls="--", lw=0.8)
        ax.set_title(label, fontsize=8.5)
        ax.grid(True, axis="x", color="0.9", lw=0.5)
    axes[0, 0].set_yticks(range(len(models)), models, fontsize=8)
    axes[0, 0].set_ylim(len(models) - 0.5, -0.5)
    fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    _finish(fig, path, follow_links=follow_links)
    return fig


def parameter_spread(spread: dict[str, dict[str, list[float]]], at_bound: dict[str, dict[str, int]] | None = None,
                     *, path: str | None = None, follow_links: bool = True) -> Any:
    """Each parameter's range across seeds (% of its bounds, one value per catchment), per model: box plots,
    or the points themselves where there are fewer than five; a parameter that ended at a bound in some run
    is marked with an asterisk and drawn in red."""
    plt = pyplot()
    models = [m for m, params in spread.items() if any(params.values())]
    columns = max(min(len(models), 4), 1)
    rows = max(-(-len(models) // columns), 1)
    fig, axes = plt.subplots(rows, columns, figsize=(3.6 * columns, 3.0 * rows), sharey=True, squeeze=False)
    for ax, model in zip(axes.flat, models):
        names = [p for p, ranges in spread[model].items() if ranges]
        marked = (at_bound or {}).get(model, {})
        for i, p in enumerate(names, 1):
            values = spread[model][p]
            colour = "tab:red" if marked.get(p) else "tab:blue"
            if len(values) < 5:
                ax.plot([i] * len(values), values, "o", ms=4, color=colour)
            else:
                ax.boxplot([values], positions=[i], showfliers=True, widths=0.6,
                           boxprops={"color": colour}, medianprops={"color": colour})
        ax.set_xticks(range(1, len(names) + 1), [p + ("*" if marked.get(p) else "") for p in names], fontsize=8,
                      rotation=90 if len(names) > 6 else 0)
        ax.set_xlim(0.4, len(names) + 0.6)
        ax.set_title(model, fontsize=9)
        ax.set_ylim(0, 100)
        ax.grid(True, axis="y", color="0.9", lw=0.5)
    for ax in axes.flat[len(models):]:
        ax.set_visible(False)
    for ax in axes[:, 0]:
        ax.set_ylabel("range across seeds\n(% of bounds)")
    fig.suptitle("Spread of the calibrated parameters across seeds (one value per catchment; * ended at a bound in "
                 "some run)", fontsize=10)
    fig.tight_layout()
    _finish(fig, path, follow_links=follow_links)
    return fig


def sensitivity(result: Any, *, path: str | None = None) -> Any:
    """Bars of each parameter's sensitivity indices (Sobol': first-order and total with their confidence
    intervals; Morris: mu* with its interval, and sigma), parameters labelled with their descriptions."""
    plt = pyplot()
    names = list(result.indices)
    keys = ["S1", "ST"] if result.method == "sobol" else ["mu_star", "sigma"]
    fig, ax = plt.subplots(figsize=(max(6.0, 0.9 * len(names) + 2), 4.2))
    x = np.arange(len(names))
    for i, key in enumerate(keys):
        values = [result.indices[n][key] for n in names]
        conf = [result.indices[n].get(f"{key}_conf", 0.0) for n in names]
        ax.bar(x + (i - 0.5) * 0.38, values, 0.38, yerr=conf, capsize=3, label=key)
    ax.set_xticks(x, [_describe(result, n).split(":")[0] for n in names])
    ax.set_ylabel("index (-)" if result.method == "sobol" else f"elementary effect on {result.objective.upper()}")
    ax.legend(fontsize=8)
    ax.grid(True, axis="y", color="0.9", lw=0.5)
    ax.set_title(f"{_model_label(result)}: {result.method} sensitivity of {result.objective.upper()} "
                 f"({result.runs} runs)", fontsize=10)
    fig.tight_layout()
    return _finish(fig, path)
