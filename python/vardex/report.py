"""Summaries of a results file: the scores' distributions across catchments, a ranking, parameter spreads.

The file is read by the reader a resumed batch uses (`vardex.results.iter_rows`), as a stream: one row per task,
the last one winning. Each catchment counts once per model configuration: of the seeds run, the one with the best calibration
objective, i.e. the parameter set a user would keep. Everything here is linear in the number of rows.
"""
from __future__ import annotations

import dataclasses
import math
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterable

import numpy as np

from vardex import _files
from vardex.results import PARAM_COLUMNS, ResultsError, iter_rows

__all__ = ["Summary", "Run", "summarize", "ranking", "diagnostics_table", "parameter_spread", "pinned",
           "signature_errors", "write_report", "median"]

METRICS = ("kge", "nse")
_PERIODS = {"calibration": "", "validation": "val_"}


@dataclass(frozen=True)
class Run:
    """One successful calibration of the file. ``model`` carries ``+snow`` when CemaNeige ran in front (and the
    forcing when the file compares several)."""

    gauge: str
    model: str
    seed: int
    objective: str
    scores: dict[str, dict[str, float]]     # period ("calibration", "validation") -> metric -> value
    params: dict[str, float]
    diagnostics: dict[str, float] = dataclasses.field(default_factory=dict)   # KGE components, bias, water
    at_bounds: tuple[str, ...] = ()         # parameters within 0.5 % of a bound

    @property
    def key(self) -> float:
        """The calibration objective as a quantity to maximise (non-finite last)."""
        value = self.scores["calibration"].get(self.objective, math.nan)
        if not math.isfinite(value):
            return -math.inf
        return -value if self.objective == "rmse" else value


@dataclass(frozen=True)
class Summary:
    path: Path
    runs: list[Run]
    failed: dict[str, int]                  # model configuration -> tasks whose row holds an error
    has_validation: bool


def _float(value: Any) -> float:
    return math.nan if value is None else float(value)


def _label(model: str, snow: bool, forcing: str, several_forcings: bool) -> str:
    return model + ("+snow" if snow else "") + (f" ({forcing or '?'})" if several_forcings else "")


def _failed_snow(task: Any, ran: dict[tuple[str, str, str], bool], usual: dict[str, bool]) -> bool:
    """Whether a failed task's configuration is the one with CemaNeige: as the same catchment's other runs of that
    model, else as its snow mode says, else ("auto" on a catchment with no successful run) as most runs of
    the model in the file."""
    known = ran.get((task.gauge, task.forcing, task.model))
    if known is not None:
        return known
    if task.snow_mode in ("on", "off"):
        return bool(task.snow_mode == "on")
    return usual.get(task.model, False)


@dataclass(frozen=True)
class _Kept:
    """What the summary needs of one task's last row."""

    gauge: str
    forcing: str
    model: str
    seed: int
    error: bool
    snow: bool
    snow_mode: str
    objective: str
    scores: dict[str, float]
    params: dict[str, float]
    at_bounds: str


_SCORES = tuple(prefix + m for prefix in _PERIODS.values() for m in METRICS + ("rmse",))
# What the diagnostics table summarises per model, from the calibration period's columns.
_DIAGNOSTICS = ("kge_r", "kge_alpha", "kge_beta", "pbias", "created_water", "lost_water", "aet_pet", "fhv", "flv",
                "fms", "bfi_error")


def summarize(path: str | Path) -> Summary:
    """The runs and failures of a results file, read as a stream (only what the summary needs of each task is
    kept); `ResultsError` when it cannot be read or has no rows."""
    kept: dict[tuple[str, str, str, int], _Kept] = {}
    for row in iter_rows(path):
        kept[row["gauge"], row["forcing"], row["model"], row["seed"]] = _Kept(
            row["gauge"], row["forcing"], row["model"], row["seed"], bool(row["error"]), bool(row["snow"]),
            row["snow_mode"], row["objective"], {k: _float(row[k]) for k in _SCORES + _DIAGNOSTICS},
            {p: float(row[p]) for p in PARAM_COLUMNS if row[p] is not None and math.isfinite(row[p])},
            row["at_bounds"] or "")
    if not kept:
        raise ResultsError(f"{path}: the results file has no rows")
    tasks = list(kept.values())
    several_forcings = len({t.forcing for t in tasks}) > 1
    has_validation = any(math.isfinite(t.scores["val_kge"]) for t in tasks if not t.error)
    runs: list[Run] = []
    ran: dict[tuple[str, str, str], bool] = {}
    votes: dict[str, Counter[bool]] = {}
    for t in tasks:
        if t.error:
            continue
        ran[t.gauge, t.forcing, t.model] = t.snow
        votes.setdefault(t.model, Counter())[t.snow] += 1
        scores = {period: {m: t.scores[prefix + m] for m in METRICS + ("rmse",)}
                  for period, prefix in _PERIODS.items() if period == "calibration" or has_validation}
        runs.append(Run(gauge=t.gauge, model=_label(t.model, t.snow, t.forcing, several_forcings), seed=t.seed,
                        objective=t.objective, scores=scores, params=t.params,
                        diagnostics={k: t.scores[k] for k in _DIAGNOSTICS},
                        at_bounds=tuple(p.split("=")[0] for p in t.at_bounds.split(";") if p)))
    usual = {model: count.most_common(1)[0][0] for model, count in votes.items()}
    failed: dict[str, int] = {run.model: 0 for run in runs}
    for t in tasks:
        if t.error:
            label = _label(t.model, _failed_snow(t, ran, usual), t.forcing, several_forcings)
            failed[label] = failed.get(label, 0) + 1
    return Summary(Path(path), runs, failed, has_validation)


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
    finite = [v for v in values if v is not None and math.isfinite(v)]
    return float(np.median(finite)) if finite else math.nan


def _cell(value: float) -> str:
    if not math.isfinite(value):
        return "–"
    return f"{value:.3f}" if value == 0.0 or 1e-3 <= abs(value) < 1e6 else f"{value:.3g}"


def _markdown(text: str) -> str:
    """Text that stays in its table cell: no line break, no unescaped column bar."""
    return " ".join(text.split()).replace("\\", "\\\\").replace("|", "\\|")


def _best_first(models: Iterable[str], value: Callable[[str], float]) -> list[str]:
    """``models`` by ``value`` descending, those without a finite value last, ties in the order given."""
    def key(model: str) -> float:
        v = value(model)
        return -v if math.isfinite(v) else math.inf

    return sorted(models, key=key)


def _rank_metric(summary: Summary) -> tuple[str, str]:
    """(period, metric) the ranking goes by: the objective's efficiency (NSE for RMSE), on validation if any."""
    objectives = {r.objective for r in summary.runs}
    metric = objectives.pop() if len(objectives) == 1 and objectives <= set(METRICS) else "nse"
    return ("validation" if summary.has_validation else "calibration"), metric


def ranking(summary: Summary) -> str:
    """A Markdown table of the models ranked by their median score across catchments, best first."""
    best = best_of_seeds(summary.runs)
    periods = ["calibration", "validation"] if summary.has_validation else ["calibration"]
    by_period, by_metric = _rank_metric(summary)
    medians = {model: {(p, m): median(r.scores[p][m] for r in gauges.values()) for p in periods for m in METRICS}
               for model, gauges in best.items()}
    order = _best_first(summary.failed, lambda model: medians[model][by_period, by_metric] if model in medians
                        else math.nan)
    seeds = max(Counter((r.model, r.gauge) for r in summary.runs).values(), default=0)
    lines = [f"Ranked by the median {by_period} {by_metric.upper()} across catchments; each catchment counts once "
             f"per model, with the best calibration of its seeds (up to {seeds}).", "",
             "| rank | model | catchments | failed runs | " + " | ".join(
                 f"{p} {m.upper()} (median)" for p in periods for m in METRICS) + " |",
             "|---:|---|---:|---:|" + "---:|" * (len(periods) * len(METRICS))]
    for rank, model in enumerate(order, 1):
        cells = [str(rank), _markdown(model), str(len(best.get(model, {}))), str(summary.failed[model])]
        cells += [_cell(medians[model][p, m]) if model in medians else "–" for p in periods for m in METRICS]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def diagnostics_table(summary: Summary) -> str:
    """A Markdown table per model: how far its seeds disagree (median over catchments of best minus worst
    calibration objective), the medians of KGE's components, the bias, the water the runs leaned on and the
    flow-duration errors and baseflow-index error (best seed per catchment), and the share of runs with a
    parameter at a bound."""
    best = best_of_seeds(summary.runs)
    spreads: dict[str, list[float]] = {}
    for run in summary.runs:
        spreads.setdefault(run.model, [])
    groups: dict[tuple[str, str], list[float]] = {}
    for run in summary.runs:
        groups.setdefault((run.model, run.gauge), []).append(run.key)
    for (model, _), keys in groups.items():
        finite = [k for k in keys if math.isfinite(k)]
        if len(keys) > 1 and finite:
            spreads[model].append(max(finite) - min(finite))
    lines = ["Seed spread: best minus worst calibration objective of a catchment's seeds (median over catchments). "
             "The other columns: medians over the catchments of the best seed's calibration; water shares in % of "
             "the precipitation; at a bound: runs with a parameter within 0.5 % of a bound.", "",
             "| model | seed spread | KGE r | KGE alpha | KGE beta | bias (%) | created water (%) | lost water (%) | "
             "AET/PET | FHV (%) | FLV (%) | FMS (%) | BFI error | at a bound |", "|---|" + "---:|" * 13]
    for model, gauges in best.items():
        runs = [r for r in summary.runs if r.model == model]
        med = {k: median(r.diagnostics.get(k, math.nan) for r in gauges.values()) for k in _DIAGNOSTICS}
        cells = [_cell(median(spreads[model])), _cell(med["kge_r"]), _cell(med["kge_alpha"]),
                 _cell(med["kge_beta"]), _cell(med["pbias"]), _cell(100 * med["created_water"]),
                 _cell(100 * med["lost_water"]), _cell(med["aet_pet"]), _cell(med["fhv"]), _cell(med["flv"]),
                 _cell(med["fms"]), _cell(med["bfi_error"]), f"{sum(bool(r.at_bounds) for r in runs)} of {len(runs)}"]
        lines.append(f"| {_markdown(model)} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def signature_errors(summary: Summary) -> dict[str, dict[str, list[float]]]:
    """model -> flow-duration errors and baseflow-index error (the diagnostics table's) -> the finite value of each
    catchment's best seed, models in the ranking's order of the calibration objective."""
    best = best_of_seeds(summary.runs)
    order = _best_first(best, lambda model: median(r.key for r in best[model].values()))
    keys = ("fhv", "flv", "fms", "bfi_error")
    return {model: {k: [v for r in best[model].values() if math.isfinite(v := r.diagnostics.get(k, math.nan))]
                    for k in keys} for model in order}


def _bounds(model: str) -> dict[str, tuple[float, float]] | None:
    """Each parameter's (lower, upper) bound, None for a model this installation does not know."""
    from vardex.models import MODELS
    from vardex.simulation import param_bounds, param_names

    name, _, snow = model.split(" ")[0].partition("+")
    if name not in MODELS:
        return None
    return {p: (lo, hi) for p, (lo, hi) in zip(param_names(name, bool(snow)),
                                              param_bounds(name, bool(snow)).tolist())}


def pinned(summary: Summary) -> dict[str, dict[str, int]]:
    """model -> parameter -> the runs that ended with it within 0.5 % of a bound."""
    out: dict[str, dict[str, int]] = {}
    for run in summary.runs:
        for name in run.at_bounds:
            out.setdefault(run.model, {}).setdefault(name, 0)
            out[run.model][name] += 1
    return out


def parameter_spread(summary: Summary) -> dict[str, dict[str, list[float]]]:
    """model -> parameter -> the range (max − min) across seeds in % of the parameter's bounds, one per catchment.

    Only catchments run with two seeds or more count; models unknown to this installation are left out.
    """
    groups: dict[tuple[str, str], list[Run]] = {}
    for run in summary.runs:
        groups.setdefault((run.model, run.gauge), []).append(run)
    spread: dict[str, dict[str, list[float]]] = {}
    bounds_of: dict[str, dict[str, tuple[float, float]] | None] = {}
    for (model, _), runs in groups.items():
        if model not in bounds_of:
            bounds_of[model] = _bounds(model)
        bounds = bounds_of[model]
        if len(runs) < 2 or bounds is None:
            continue
        mine = spread.setdefault(model, {p: [] for p in bounds})
        for p, (lo, hi) in bounds.items():
            values = [r.params[p] for r in runs if p in r.params]
            if len(values) >= 2 and hi > lo:
                mine[p].append(100.0 * (max(values) - min(values)) / (hi - lo))
    return spread


def _spread_table(spread: dict[str, dict[str, list[float]]], at_bound: dict[str, dict[str, int]]) -> str:
    lines = ["Range of each calibrated parameter across seeds, in % of its bounds: median and largest over the "
             "catchments; runs that ended with it within 0.5 % of a bound (a narrow range there is a pinned "
             "parameter, not a well identified one).", "",
             "| model | parameter | catchments | median range (%) | largest range (%) | runs at a bound |",
             "|---|---|---:|---:|---:|---:|"]
    for model, params in spread.items():
        for p, ranges in params.items():
            if ranges:
                lines.append(f"| {_markdown(model)} | {p} | {len(ranges)} | {median(ranges):.1f} | "
                             f"{max(ranges):.1f} | {at_bound.get(model, {}).get(p, 0)} |")
    return "\n".join(lines) + "\n"


def _score_curves(summary: Summary, metric: str) -> dict[str, dict[str, list[float]]]:
    """model -> period -> the metric of each catchment's best seed."""
    periods = ["calibration", "validation"] if summary.has_validation else ["calibration"]
    return {model: {p: [r.scores[p][metric] for r in gauges.values()] for p in periods}
            for model, gauges in best_of_seeds(summary.runs).items()}


def _text(content: str) -> Callable[[Any], None]:
    return lambda stream: stream.write(content)


def write_report(results_path: str | Path, out: str | Path) -> str:
    """Write the report of a results file into directory ``out`` (created if needed); returns a summary.

    Files: ``ranking.md``, ``diagnostics.md`` (seed spread, KGE components, bias, water leaned on, signature
    errors, parameters at a bound), ``kge_cdf.png`` and ``nse_cdf.png`` (calibration, and validation when the file
    has it), ``signature_errors.png`` (when the file has signature errors), and, when some catchment was run with
    several seeds, ``parameter_spread.md`` and ``parameter_spread.png``. Each is a regular file written whole
    through a temporary file: a symlink, FIFO or device planted at one of these names is refused. Nothing is written
    when the file cannot be read or matplotlib is missing.
    """
    from vardex import plot

    summary = summarize(results_path)
    plot.pyplot()
    directory = _files.output_directory(out)
    table = ranking(summary)
    spread = parameter_spread(summary)
    name = _markdown(summary.path.name)
    catchments = len({r.gauge for r in summary.runs})
    outputs: list[tuple[str, Any]] = [
        ("ranking.md", f"# Models of {name}\n\n{table}"),
        ("diagnostics.md", f"# How the models of {name} fit\n\n{diagnostics_table(summary)}")]
    def cdf(metric: str) -> Callable[[str], Any]:
        title = (f"{metric.upper()} across {catchments} catchments, best of the seeds per catchment "
                 f"({summary.path.name})")
        return lambda path: plot.score_cdf(_score_curves(summary, metric), metric, title, path=path,
                                           follow_links=False)

    for metric in METRICS:
        outputs.append((f"{metric}_cdf.png", cdf(metric)))
    errors = signature_errors(summary)
    if any(any(values) for by_key in errors.values() for values in by_key.values()):
        title = (f"Signature errors on the calibration period across {catchments} catchments, best of the seeds "
                 f"per catchment ({summary.path.name}); red: median")
        outputs.append(("signature_errors.png", lambda path: plot.signature_errors(errors, title, path=path,
                                                                                   follow_links=False)))
    if any(any(params.values()) for params in spread.values()):
        at_bound = pinned(summary)
        outputs.append(("parameter_spread.md", f"# Parameters of {name}\n\n{_spread_table(spread, at_bound)}"))
        outputs.append(("parameter_spread.png", lambda path: plot.parameter_spread(spread, at_bound, path=path,
                                                                                   follow_links=False)))
    for file, _ in outputs:     # every name checked before anything is written
        _files.destination(directory / file, follow_links=False)
    written = []
    for file, content in outputs:
        path = directory / file
        if isinstance(content, str):
            _files.replace(path, _text(content), follow_links=False)
        else:
            content(str(path))
        written.append(path)
    return table + "\nwritten: " + ", ".join(str(p) for p in written)
