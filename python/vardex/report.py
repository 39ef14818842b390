"""Summaries of a batch results file: the scores' distributions across catchments, a ranking, parameter spreads.

The file is read by column name, so that files of older and newer versions (with or without the validation
columns ``val_nse``/``val_kge``) are read alike. Each catchment counts once per model: of the seeds run, the one
with the best calibration objective, i.e. the parameter set a user would keep.
"""
from __future__ import annotations

import csv
import io
import math
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterable, Iterator

import numpy as np

from vardex import _files

__all__ = ["ReportError", "Results", "Run", "read_results", "ranking", "parameter_spread", "write_report", "median"]

METRICS = ("kge", "nse")
_REQUIRED = ("gauge", "model", "nse", "kge")
_SNOW_PARAMS = ("ctg", "kf", "qnbv")
_PERIODS = {"calibration": "", "validation": "val_"}


class ReportError(ValueError):
    """The results file is missing, unreadable or not a vardex results file; the message names it."""


@dataclass(frozen=True)
class Run:
    """One successful calibration of the file. ``model`` carries ``+snow`` when CemaNeige ran in front."""

    gauge: str
    model: str
    seed: str
    objective: str
    scores: dict[str, dict[str, float]]     # period ("calibration", "validation") -> metric -> value
    params: dict[str, float]

    @property
    def key(self) -> float:
        """The calibration objective as a quantity to maximise (non-finite last)."""
        value = self.scores["calibration"].get(self.objective, math.nan)
        if not math.isfinite(value):
            return -math.inf
        return -value if self.objective == "rmse" else value


@dataclass(frozen=True)
class Results:
    path: Path
    runs: list[Run]
    failed: dict[str, int]                  # model -> runs whose row holds an error
    has_validation: bool


def _float(text: str | None) -> float:
    try:
        return float(text) if text not in (None, "") else math.nan
    except ValueError:
        return math.nan


def _lines(f: Iterable[str]) -> Iterator[str]:
    return (line for line in f if not line.startswith("#"))


def read_results(path: str | Path) -> Results:
    """Read a results file written by ``vardex batch``/``calibrate_many``; ``ReportError`` when it is not one."""
    path = Path(path)
    try:
        text = _files.read_regular(path).decode("utf-8")    # a FIFO or a device is refused, never read
        reader = csv.DictReader(_lines(io.StringIO(text, newline="")))
        columns = reader.fieldnames or []
        missing = [c for c in _REQUIRED if c not in columns]
        if missing:
            raise ReportError(f"{path}: not a vardex results file (no column {', '.join(missing)})")
        rows = list(reader)
    except _files.NotRegularFile as err:
        raise ReportError(f"{path}: cannot read the results file: {err}") from None
    except (OSError, UnicodeDecodeError, csv.Error) as err:
        reason = err.strerror if isinstance(err, OSError) and err.strerror else str(err)
        raise ReportError(f"{path}: cannot read the results file: {reason}") from None
    has_validation = all(f"val_{m}" in columns for m in METRICS)
    params = [c for c in columns if c in _SNOW_PARAMS or (c[:1] == "x" and c[1:].isdigit())]
    runs: list[Run] = []
    failed: dict[str, int] = {}
    # A file that compares forcings keeps them apart: each forcing is a model configuration of its own.
    several_forcings = len({row.get("forcing") or "" for row in rows}) > 1
    for row in rows:
        model = (row.get("model") or "") + ("+snow" if (row.get("snow") or "").lower() == "true" else "")
        if several_forcings:
            model += f" ({row.get('forcing') or '?'})"
        if not row.get("gauge") or not row.get("model"):
            raise ReportError(f"{path}: not a vardex results file (a row without gauge or model)")
        if row.get("error"):
            failed[model] = failed.get(model, 0) + 1
            continue
        scores = {period: {m: _float(row.get(prefix + m)) for m in METRICS + ("rmse",)}
                  for period, prefix in _PERIODS.items() if period == "calibration" or has_validation}
        values = {p: _float(row[p]) for p in params}
        runs.append(Run(gauge=row["gauge"], model=model, seed=row.get("seed") or "", objective=(
            row.get("objective") or "nse").lower(), scores=scores,
            params={p: v for p, v in values.items() if math.isfinite(v)}))
        failed.setdefault(model, 0)
    if not failed:
        raise ReportError(f"{path}: the results file has no rows")
    return Results(path, runs, failed, has_validation and any(
        math.isfinite(r.scores["validation"]["kge"]) for r in runs))


def best_of_seeds(runs: Iterable[Run]) -> dict[str, dict[str, Run]]:
    """model -> gauge -> the run of the best calibration objective among the seeds (the first of equals)."""
    best: dict[str, dict[str, Run]] = {}
    for run in runs:
        mine = best.setdefault(run.model, {})
        if run.gauge not in mine or run.key > mine[run.gauge].key:
            mine[run.gauge] = run
    return best


def median(values: Iterable[float]) -> float:
    """The median of the finite values, NaN when there is none."""
    finite = [v for v in values if math.isfinite(v)]
    return float(np.median(finite)) if finite else math.nan


def _cell(value: float) -> str:
    return f"{value:.3f}" if math.isfinite(value) else "–"


def _rank_metric(results: Results) -> tuple[str, str]:
    """(period, metric) the ranking goes by: the objective's efficiency (NSE for RMSE), on validation if any."""
    objectives = {r.objective for r in results.runs}
    metric = objectives.pop() if len(objectives) == 1 and objectives <= set(METRICS) else "nse"
    return ("validation" if results.has_validation else "calibration"), metric


def ranking(results: Results) -> str:
    """A Markdown table of the models ranked by their median score across catchments, best first."""
    best = best_of_seeds(results.runs)
    periods = ["calibration", "validation"] if results.has_validation else ["calibration"]
    by_period, by_metric = _rank_metric(results)
    medians = {model: {(p, m): median(r.scores[p][m] for r in gauges.values()) for p in periods for m in METRICS}
               for model, gauges in best.items()}
    order = sorted(results.failed, key=lambda model: (
        -medians[model][by_period, by_metric] if model in medians and math.isfinite(
            medians[model][by_period, by_metric]) else math.inf))
    seeds = max((len({r.seed for r in results.runs if r.model == m and r.gauge == g})
                 for m, gauges in best.items() for g in gauges), default=0)
    lines = [f"Ranked by the median {by_period} {by_metric.upper()} across catchments; each catchment counts once "
             f"per model, with the best calibration of its seeds (up to {seeds}).", "",
             "| rank | model | catchments | failed runs | " + " | ".join(
                 f"{p} {m.upper()} (median)" for p in periods for m in METRICS) + " |",
             "|---:|---|---:|---:|" + "---:|" * (len(periods) * len(METRICS))]
    for rank, model in enumerate(order, 1):
        cells = [str(rank), model, str(len(best.get(model, {}))), str(results.failed[model])]
        cells += [_cell(medians[model][p, m]) if model in medians else "–" for p in periods for m in METRICS]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def _bounds(model: str) -> dict[str, tuple[float, float]] | None:
    """Each parameter's (lower, upper) bound, None for a model this installation does not know."""
    import vardex_rs.hydro
    import vardex_rs.snow.cemaneige

    name, _, snow = model.split(" ")[0].partition("+")
    hydro = getattr(vardex_rs.hydro, name, None)
    if hydro is None or not hasattr(hydro, "param_names"):
        return None
    modules = ([vardex_rs.snow.cemaneige] if snow else []) + [hydro]
    return {p: (float(lo), float(hi)) for m in modules for p, (lo, hi) in zip(m.param_names, m.init()[1])}


def parameter_spread(results: Results) -> dict[str, dict[str, list[float]]]:
    """model -> parameter -> the range (max − min) across seeds in % of the parameter's bounds, one per catchment.

    Only catchments run with two seeds or more count; models unknown to this installation are left out.
    """
    groups: dict[tuple[str, str], list[Run]] = {}
    for run in results.runs:
        groups.setdefault((run.model, run.gauge), []).append(run)
    spread: dict[str, dict[str, list[float]]] = {}
    for (model, _), runs in groups.items():
        bounds = _bounds(model)
        if len(runs) < 2 or bounds is None:
            continue
        mine = spread.setdefault(model, {p: [] for p in bounds})
        for p, (lo, hi) in bounds.items():
            values = [r.params[p] for r in runs if p in r.params]
            if len(values) >= 2 and hi > lo:
                mine[p].append(100.0 * (max(values) - min(values)) / (hi - lo))
    return spread


def _spread_table(spread: dict[str, dict[str, list[float]]]) -> str:
    lines = ["Range of each calibrated parameter across seeds, in % of its bounds: median and largest over the "
             "catchments.", "", "| model | parameter | catchments | median range (%) | largest range (%) |",
             "|---|---|---:|---:|---:|"]
    for model, params in spread.items():
        for p, ranges in params.items():
            if ranges:
                lines.append(f"| {model} | {p} | {len(ranges)} | {median(ranges):.1f} | {max(ranges):.1f} |")
    return "\n".join(lines) + "\n"


def _cdf_figure(plt: Any, results: Results, metric: str, path: Path) -> None:
    best = best_of_seeds(results.runs)
    periods = ["calibration", "validation"] if results.has_validation else ["calibration"]
    fig, axes = plt.subplots(1, len(periods), figsize=(5.5 * len(periods), 4.6), sharex=True, sharey=True,
                             squeeze=False)
    colours = plt.get_cmap("tab10" if len(best) <= 10 else "tab20").colors
    medians = {model: median(r.scores["calibration"][metric] for r in gauges.values())
               for model, gauges in best.items()}
    order = sorted(best, key=lambda m: -medians[m] if math.isfinite(medians[m]) else math.inf)
    lowest = 0.0
    for ax, period in zip(axes[0], periods):
        for i, model in enumerate(order):
            values = np.sort([v for v in (r.scores[period][metric] for r in best[model].values())
                              if math.isfinite(v)])
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
    fig.suptitle(f"{metric.upper()} across {len({r.gauge for r in results.runs})} catchments, best of the seeds "
                 f"per catchment ({results.path.name})" + ("; values below −1 lie left of the axis"
                                                           if lowest < -1.0 else ""), fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def _spread_figure(plt: Any, spread: dict[str, dict[str, list[float]]], path: Path) -> None:
    models = [m for m, params in spread.items() if any(params.values())]
    columns = min(len(models), 4)
    rows = -(-len(models) // columns)
    fig, axes = plt.subplots(rows, columns, figsize=(3.6 * columns, 3.0 * rows), sharey=True,
                             squeeze=False)
    for ax, model in zip(axes.flat, models):
        names = [p for p, ranges in spread[model].items() if ranges]
        ax.boxplot([spread[model][p] for p in names], showfliers=True, widths=0.6)
        ax.set_xticks(range(1, len(names) + 1), names, fontsize=8, rotation=90 if len(names) > 6 else 0)
        ax.set_title(model, fontsize=9)
        ax.set_ylim(0, 100)
        ax.grid(True, axis="y", color="0.9", lw=0.5)
    for ax in axes.flat[len(models):]:
        ax.set_visible(False)
    for ax in axes[:, 0]:
        ax.set_ylabel("range across seeds\n(% of bounds)")
    fig.suptitle("Spread of the calibrated parameters across seeds (one value per catchment)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def write_report(results_path: str | Path, out: str | Path) -> str:
    """Write the report of a results file into directory ``out`` (created if needed); returns a summary.

    Files: ``ranking.md``, ``kge_cdf.png`` and ``nse_cdf.png`` (calibration, and validation when the file has
    it), and, when some catchment was run with several seeds, ``parameter_spread.md`` and
    ``parameter_spread.png``. Nothing is written when the file cannot be read or matplotlib is missing.
    """
    from vardex.plot import _pyplot

    results = read_results(results_path)
    plt = _pyplot()
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    table = ranking(results)
    written = [out / "ranking.md"]
    written[0].write_text(f"# Models of {results.path.name}\n\n{table}", encoding="utf-8")
    for metric in METRICS:
        written.append(out / f"{metric}_cdf.png")
        _cdf_figure(plt, results, metric, written[-1])
    spread = parameter_spread(results)
    if any(any(params.values()) for params in spread.values()):
        written.append(out / "parameter_spread.md")
        written[-1].write_text(f"# Parameters of {results.path.name}\n\n{_spread_table(spread)}", encoding="utf-8")
        written.append(out / "parameter_spread.png")
        _spread_figure(plt, spread, written[-1])
    return table + "\nwritten: " + ", ".join(str(p) for p in written)
