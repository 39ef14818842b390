"""Calibrating the ``vardex_rs`` models on a catchment: one model (`calibrate`) or several side by side (`compare`)."""
from __future__ import annotations

import contextvars
import math
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any, Iterable, Literal, cast, overload

import numpy as np
import numpy.typing as npt

from vardex import _convert, _core, periods
from vardex.data import Catchment, load_camels
from vardex.models import MODELS, canonical_model
from vardex.periods import METRIC_NAMES as _METRIC_NAMES
from vardex.periods import Window
from vardex.simulation import Forcing, default_bands, param_names, run

__all__ = ["CalibrationResult", "calibrate", "compare"]

# vardex_rs's Sce and Dds with their evaluation count; they step identically. Looked up at call time so
# that tests can wrap them.
_OPTIMISERS: dict[str, Any] = {"sce": _core.Sce, "dds": _core.Dds}

# Chosen by measurement (bench/defaults.py, BENCHMARKS.md): five complexes and 3000 DDS evaluations reach a
# better median score, with a far smaller spread between seeds, than two complexes and 1000 evaluations.
SCE_DEFAULTS = {"n_complexes": 5, "k_stop": 10, "p_convergence_threshold": 0.1,
                "geometric_range_threshold": 1e-3}
DDS_DEFAULTS = {"r": 0.2}
DEFAULT_BUDGET = {"sce": 10000, "dds": 3000}

# Set by compare while it shows its bar over models: each calibration's bar then sits below it and is
# cleared when done.
_NESTED_PROGRESS: contextvars.ContextVar[bool] = contextvars.ContextVar("nested_progress", default=False)

# What one optimiser step returns: (done, best parameters, best simulation, [rmse, nse, kge]).
_Step = tuple[bool, np.ndarray, np.ndarray, np.ndarray]


@dataclass(frozen=True)
class CalibrationResult:
    """The outcome of one calibration run.

    ``params`` maps parameter names to values: CemaNeige's ``ctg``, ``kf``, ``qnbv`` first when ``snow`` is set,
    then the hydrological model's ``x1`` … ``xN``. ``metrics`` holds ``rmse``, ``nse`` and ``kge`` on the
    calibration ``period`` (first and last day scored; missing observations dropped, after the transformation).
    ``simulation`` runs from ``warmup`` days before ``period[0]`` (the days actually simulated before it, spin-up
    repetitions not included) to ``period[1]``, so ``simulation[warmup:]`` is the period. The ``validation_*``
    fields describe the validation period in the same way (all None without one). ``spinup`` is the number of
    extra runs of each warm-up window. ``history`` is the best objective value after every step.
    ``evaluations`` counts the model evaluations made, the initial ones included; with ``keep="all"``,
    ``samples`` holds every evaluated parameter set (one array per name of ``params``, in evaluation order) and
    ``"score"``, the objective's value of each. ``done`` is true when the optimiser itself reported convergence
    or an exhausted budget; ``interrupted`` when the run was stopped by Ctrl-C.
    """

    model: str
    snow: bool
    optimiser: str
    objective: str
    transformation: str
    seed: int
    params: dict[str, float]
    metrics: dict[str, float]
    simulation: np.ndarray
    history: list[float]
    evaluations: int
    steps: int
    seconds: float
    done: bool
    interrupted: bool
    gauge: str
    forcing: str
    warmup: int
    period: tuple[np.datetime64, np.datetime64]
    spinup: int
    validation_period: tuple[np.datetime64, np.datetime64] | None = None
    validation: dict[str, float] | None = None
    validation_warmup: int | None = None
    validation_simulation: np.ndarray | None = None
    samples: dict[str, np.ndarray] | None = None
    elevation_bands: np.ndarray | None = None    # CemaNeige's, with snow
    requested_warmup: int = 365                  # the warm-up asked for; `warmup` is shorter near the record's start

    @property
    def score(self) -> float:
        """The value of the calibration objective."""
        return self.metrics[self.objective]

    @overload
    def evaluate(self, catchment: Catchment, period: periods.Period | None = None, *, objective: None = None,
                 warmup: int | None = None, spinup: int | None = None) -> dict[str, float]: ...
    @overload
    def evaluate(self, catchment: Catchment, period: periods.Period | None = None, *, objective: str,
                 warmup: int | None = None, spinup: int | None = None) -> float: ...

    def evaluate(self, catchment: Catchment, period: periods.Period | None = None, *, objective: str | None = None,
                 warmup: int | None = None, spinup: int | None = None) -> dict[str, float] | float:
        """rmse, nse and kge of these parameters on ``period`` of ``catchment`` (or only ``objective``'s value),
        by the calibration's rule: simulated from ``warmup`` days before (default: the warm-up this calibration
        asked for) with ``spinup`` (default: this calibration's), scored on the period after this calibration's
        transformation. ``period=None`` is the whole record after the warm-up."""
        if objective is not None and objective.lower() not in _METRIC_NAMES:
            raise ValueError(f"Unknown objective function '{objective}'. Valid options: nse, kge, rmse")
        warmup = self.requested_warmup if warmup is None else _convert.count(warmup, "warmup")
        spinup = self.spinup if spinup is None else _convert.count(spinup, "spinup")
        win = _window(catchment, period, warmup, spinup, "period")
        bands = snow_bands(self, catchment)
        values = np.array(list(self.params.values()), dtype=np.float64)
        metrics, _ = _score_window(catchment, self.model, values, win, bands, self.transformation)
        return metrics if objective is None else metrics[objective.lower()]


def snow_bands(result: CalibrationResult, catchment: Catchment) -> np.ndarray | None:
    """The elevation bands to run ``result``'s CemaNeige on ``catchment``: the calibration's own on its own
    catchment, the receiving catchment's default ones on another (parameters transferred between basins)."""
    if not result.snow:
        return None
    if catchment.gauge == result.gauge and result.elevation_bands is not None:
        return result.elevation_bands
    return default_bands(catchment)


def _window(catchment: Catchment, period: periods.Period | None, warmup: int, spinup: int, name: str) -> Window:
    if period is None:
        return periods.whole_record(len(catchment), warmup, spinup)
    return periods.window(catchment.dates, period, warmup, spinup, name)


def _forcing(catchment: Catchment, win: Window) -> Forcing:
    return Forcing(win.series(catchment.precipitation), win.series(catchment.temperature), win.series(catchment.pet),
                   win.series(catchment.day_of_year))


def _score_window(catchment: Catchment, model: str, params: np.ndarray, win: Window, bands: np.ndarray | None,
                  transformation: str) -> tuple[dict[str, float], np.ndarray]:
    """(metrics on the period, simulation from the window's start) of one parameter set."""
    simulation = run(model, params, _forcing(catchment, win), bands, float(catchment.median_elevation))
    simulation = simulation[win.repeated:]
    metrics = periods.score(catchment.observed[win.first:win.stop], simulation[win.warmup:], transformation)
    return metrics, simulation


# With snow="auto", CemaNeige runs when at least this share of the days has a mean temperature below 0 °C.
SNOW_AUTO_FROST_SHARE = 0.05


def as_catchment(catchment: object) -> Catchment:
    """A `Catchment` as given, or the bundled/CAMELS catchment of a gauge id (``load_camels(gauge)``)."""
    if isinstance(catchment, Catchment):
        return catchment
    if isinstance(catchment, str):
        return load_camels(catchment)
    raise TypeError(f"catchment must be a Catchment (e.g. from vardex.load_camels) or a gauge id, got "
                    f"{type(catchment).__name__}")


def snow_setting(snow: object) -> bool | str:
    """``True``, ``False`` or ``"auto"``, checked."""
    if isinstance(snow, (bool, np.bool_)):
        return bool(snow)
    if isinstance(snow, str) and snow.lower() == "auto":
        return "auto"
    raise ValueError(f"snow must be True, False or 'auto', got {snow!r}")


def snow_mode(snow: bool | str) -> str:
    """How a results file and the provenance record a snow setting: auto, on or off."""
    return "auto" if snow == "auto" else ("on" if snow else "off")


def uses_snow(catchment: Catchment, snow: object) -> bool:
    """Whether a calibration with ``snow`` runs CemaNeige on ``catchment``; "auto" decides on its frost days."""
    setting = snow_setting(snow)
    if setting != "auto":
        return bool(setting)
    temperature = np.asarray(catchment.temperature)
    return bool(temperature.size) and float(np.mean(temperature < 0.0)) >= SNOW_AUTO_FROST_SHARE


def _sce_cycle_bounds(n_params: int, n_complexes: int) -> tuple[int, int]:
    """(population size, most evaluations of one cycle) for SCE."""
    population = n_complexes * (2 * n_params + 1)
    return population, 3 * population


def calibrate(catchment: Catchment | str, model: str = "gr4j", *, snow: bool | str = "auto", optimiser: str = "sce",
              objective: str = "nse", transformation: str = "none", period: periods.Period | None = None,
              validation: periods.Period | None = None, warmup: int = 365, spinup: int = 0,
              keep: Literal["all"] | None = None, seed: int = 1,
              max_steps: int | None = None, max_evaluations: int | None = None, progress: bool = True,
              elevation_bands: npt.ArrayLike | None = None, stop: threading.Event | None = None,
              **settings: float) -> CalibrationResult:
    """Calibrate ``model`` (optionally behind CemaNeige) on ``catchment`` and return the best candidate found.

    ``catchment`` is a `Catchment` or a gauge id of the bundled sample (``load_camels(gauge)``); ``model`` a
    name of `MODELS` in any letter case. ``snow`` True or False runs CemaNeige in front of the model or not;
    ``"auto"`` runs it when at least 5 % of the catchment's days have a mean temperature below 0 °C. The
    result's ``snow`` says which was used.

    ``optimiser`` is ``"sce"`` (settings ``n_complexes`` 5, ``k_stop`` 10, ``p_convergence_threshold`` 0.1,
    ``geometric_range_threshold`` 1e-3) or ``"dds"`` (setting ``r`` 0.2); ``**settings`` override these.
    ``objective`` (rmse, nse, kge) and ``transformation`` (none, log, sqrt) are scored on ``period`` (start, end:
    inclusive dates, ISO texts or datetime64; default: the whole record after the first ``warmup`` days), which
    is simulated from ``warmup`` days before its start (from the record's first day when fewer precede it, with
    a `vardex.periods.WarmupWarning`). ``validation`` is another such period, scored after the calibration by
    the same rule. ``spinup=k`` runs each warm-up window k more times in front of it, so slow stores settle.
    ``keep="all"`` keeps every evaluated parameter set (`CalibrationResult.samples`).
    The run steps the optimiser until it reports done, or ``max_steps`` steps were made.

    ``max_evaluations`` is the total budget of model evaluations, initial ones included (default 10000 for
    SCE, 3000 for DDS), and is never exceeded. DDS spends it exactly. SCE evaluates a population of
    s = n_complexes × (2n + 1) points (n the parameter count), then s to 3s per cycle, and stops only at the
    end of a cycle, so it is given the budget minus the population and minus one worst-case cycle: it then
    ends within the budget, at most 3s short of it, and needs a budget of at least 4s.

    With ``snow``, ``elevation_bands`` (m) default to the catchment's median elevation − 200, ± 0 and + 200.

    Progress is shown on stderr (``progress=False`` shows nothing). Ctrl-C stops the run and returns the best
    result so far with ``interrupted`` set; before the first step has finished it propagates. Setting ``stop``
    (from another thread) has the same effect, checked before every step.
    """
    catchment = as_catchment(catchment)
    model = canonical_model(model)
    snow = uses_snow(catchment, snow)
    if optimiser not in _OPTIMISERS:
        raise ValueError(f"Unknown optimiser '{optimiser}'. Valid options: sce, dds")
    if max_steps is not None and max_steps < 1:
        raise ValueError(f"max_steps must be at least 1, got {max_steps}")
    if keep not in (None, "all"):
        raise ValueError(f"keep must be None or 'all', got {keep!r}")
    warmup, seed = _convert.count(warmup, "warmup"), _convert.count(seed, "seed")
    spinup = _convert.count(spinup, "spinup")
    cal = _window(catchment, period, warmup, spinup, "period")
    val = None if validation is None else _window(catchment, validation, warmup, spinup, "validation")
    if val is not None and val.first < cal.stop and cal.first < val.stop:
        c, v = cal.dates(catchment.dates), val.dates(catchment.dates)
        raise ValueError(f"the validation period {v[0]}:{v[1]} overlaps the calibration period {c[0]}:{c[1]}: "
                         "a validation scores days the calibration did not see"
                         + ("; give period= as well" if period is None else ""))
    if val is not None and not np.isfinite(catchment.observed[val.first:val.stop]).any():
        raise ValueError("no streamflow observations in the validation period (every day is missing)")

    names = param_names(model, snow)
    budget = DEFAULT_BUDGET[optimiser] if max_evaluations is None else int(max_evaluations)
    snow_model = "cemaneige" if snow else None

    args: tuple[Any, ...]
    if optimiser == "sce":
        unknown = set(settings) - set(SCE_DEFAULTS)
        options = {**SCE_DEFAULTS, **settings}
        population, worst_cycle = _sce_cycle_bounds(len(names), int(options["n_complexes"]))
        if budget < population + worst_cycle:
            raise ValueError(f"max_evaluations must be at least {population + worst_cycle} for SCE with "
                             f"{len(names)} parameters and {options['n_complexes']} complexes, got {budget}")
        args = (model, snow_model, objective, transformation, options["n_complexes"], options["k_stop"],
                options["p_convergence_threshold"], options["geometric_range_threshold"],
                budget - population - worst_cycle, seed)
    else:
        unknown = set(settings) - set(DDS_DEFAULTS)
        options = {**DDS_DEFAULTS, **settings}
        population = 0    # Dds counts its initial evaluation itself
        args = (model, snow_model, objective, transformation, options["r"], budget, seed)
    if unknown:
        raise TypeError(f"Unknown {optimiser} settings: {', '.join(sorted(unknown))}")

    # The calibration window's series, the spin-up in front: the optimiser scores after both warm-ups.
    series = _forcing(catchment, cal)
    bands = default_bands(catchment, elevation_bands) if snow else None
    forcing: tuple[Any, ...]
    if snow:
        forcing = (series.precipitation, series.temperature, series.pet, series.day_of_year, bands,
                   float(catchment.median_elevation), cal.observations(catchment.observed), cal.repeated + cal.warmup)
    else:
        forcing = (series.precipitation, None, series.pet, None, None, None, cal.observations(catchment.observed),
                   cal.repeated + cal.warmup)

    obj = objective.lower()
    history: list[float] = []
    last: _Step | None = None
    steps = 0
    interrupted = False
    started = time.perf_counter()
    bar = None
    try:
        engine = _OPTIMISERS[optimiser](*args)
        if keep == "all":
            engine.keep_samples()
        if progress:
            from tqdm import tqdm
            nested = _NESTED_PROGRESS.get()
            bar = tqdm(total=max_steps, desc=f"{model}{'+snow' if snow else ''} {optimiser}", unit="step",
                       file=sys.stderr, position=1 if nested else None, leave=not nested)
        engine.init(*forcing)
        done = False
        while not done and (max_steps is None or steps < max_steps):
            if stop is not None and stop.is_set():
                raise KeyboardInterrupt
            done, best, simulation, triple = engine.step(*forcing)
            steps += 1
            last = (bool(done), best, simulation, triple)
            history.append(float(triple[_METRIC_NAMES.index(obj)]))
            if bar is not None:
                bar.set_postfix({obj: f"{history[-1]:.4f}",
                                 "evals": population + engine.evaluations},
                                refresh=False)
                bar.update(1)
    except KeyboardInterrupt:
        if last is None:
            raise
        interrupted = True
    finally:
        if bar is not None:
            bar.close()
    seconds = time.perf_counter() - started

    done, best, simulation, triple = cast(_Step, last)
    validated: dict[str, Any] = {}
    if val is not None:
        metrics, val_simulation = _score_window(catchment, model, best, val, bands, transformation)
        validated = {"validation_period": val.dates(catchment.dates), "validation": metrics,
                     "validation_warmup": val.warmup, "validation_simulation": val_simulation}
    return CalibrationResult(
        model=model, snow=snow, optimiser=optimiser, objective=obj, transformation=transformation.lower(),
        seed=seed, params=dict(zip(names, (float(v) for v in best))),
        metrics=dict(zip(_METRIC_NAMES, (float(v) for v in triple))), simulation=simulation[cal.repeated:],
        history=history, evaluations=population + engine.evaluations,
        steps=steps, seconds=seconds, done=done, interrupted=interrupted, gauge=catchment.gauge,
        forcing=catchment.forcing, warmup=cal.warmup, period=cal.dates(catchment.dates), spinup=spinup,
        samples=_samples(engine, names, obj) if keep == "all" else None, elevation_bands=bands,
        requested_warmup=warmup, **validated)


def _samples(engine: Any, names: list[str], objective: str) -> dict[str, np.ndarray]:
    """Every evaluated parameter set by name, and its objective value as ``"score"``."""
    rows, triples = engine.samples()
    kept = {name: np.ascontiguousarray(rows[:, j]) for j, name in enumerate(names)}
    kept["score"] = np.ascontiguousarray(triples[:, _METRIC_NAMES.index(objective)])
    return kept


def _rank_key(result: CalibrationResult) -> tuple[int, float]:
    value = result.score
    if not math.isfinite(value):
        return (1, 0.0)
    return (0, value if result.objective == "rmse" else -value)


def compare(catchment: Catchment | str, models: Iterable[str] | str | None = None,
            **kwargs: Any) -> list[CalibrationResult]:
    """Calibrate each of ``models`` (default: all twenty) with the same `calibrate` arguments (``period``,
    ``validation``, ``spinup`` included).

    Returns the results ranked best first by the calibration score (the objective on the calibration period;
    the validation scores are in each result); non-finite scores last, ties in ``models`` order.
    Ctrl-C stops the series: the model being calibrated keeps its best result so far, later models are skipped.
    """
    catchment = as_catchment(catchment)
    names = MODELS if models is None else tuple(canonical_model(m) for m in ([models] if isinstance(models, str)
                                                                          else models))
    results: list[CalibrationResult] = []
    bar = None
    if kwargs.get("progress", True) and names:
        from tqdm import tqdm
        bar = tqdm(total=len(names), desc="compare", unit="model", file=sys.stderr)
    token = _NESTED_PROGRESS.set(bar is not None)
    try:
        for name in names:
            if bar is not None:
                bar.set_postfix_str(name)
            try:
                result = calibrate(catchment, name, **kwargs)
            except KeyboardInterrupt:
                if not results:
                    raise
                break
            results.append(result)
            if bar is not None:
                bar.update(1)
            if result.interrupted:
                break
    finally:
        _NESTED_PROGRESS.reset(token)
        if bar is not None:
            bar.close()
    return sorted(results, key=_rank_key)
