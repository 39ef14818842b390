"""Calibrating the ``vardex_rs`` models on a catchment: one model (`calibrate`) or several side by side (`compare`)."""
from __future__ import annotations

import contextvars
import math
import sys
import threading
import time
import dataclasses
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Literal, Mapping, cast, overload

import numpy as np
import numpy.typing as npt
import vardex_rs

import vardex._core as _core
from vardex import _convert, balance, diagnostics, flow_signatures, periods
from vardex.data import Catchment, load_camels
from vardex.periods import Window
from vardex.settings import DEFAULT_OPTIMISER, Settings
from vardex.simulation import METRIC_NAMES, default_bands, param_names, score_window, window_forcing

__all__ = ["CalibrationResult", "calibrate", "compare", "run", "run_seeds", "run_all", "ENGINES"]

# The calibrators by optimiser name: vardex_rs's Sce and Dds with their evaluation count; they step identically.
ENGINES: Mapping[str, Any] = {"sce": _core.Sce, "dds": _core.Dds}

# Set by compare while it shows its bar over models: each calibration's bar then sits below it and is
# cleared when done.
_NESTED_PROGRESS: contextvars.ContextVar[bool] = contextvars.ContextVar("nested_progress", default=False)

# What one optimiser step returns: (done, best parameters, best simulation, [rmse, nse, kge]).
_Step = tuple[bool, np.ndarray, np.ndarray, np.ndarray]


@dataclass(frozen=True)
class CalibrationResult:
    """The outcome of one calibration run.

    ``params`` maps parameter names to values: CemaNeige's ``ctg``, ``kf``, ``qnbv`` first when ``snow`` is set,
    then the hydrological model's ``x1`` … ``xN``. ``metrics`` holds ``rmse``, ``nse`` and ``kge`` of the flows
    as they are (whatever the transformation), KGE's components ``kge_r``, ``kge_alpha``, ``kge_beta`` and the
    percent bias ``pbias``, on the calibration ``period`` (first and last day scored; missing observations
    dropped); ``objective_value`` (`score`) is the objective as optimised, on transformed flows.
    ``simulation`` runs from ``warmup`` days before ``period[0]`` (the days actually simulated before it, spin-up
    repetitions not included) to ``period[1]``, so ``simulation[warmup:]`` is the period. The ``validation_*``
    fields describe the validation period in the same way (all None without one). ``spinup`` is the number of
    extra runs of each warm-up window. ``history`` is the best objective value after every step.
    ``evaluations`` counts the model evaluations made, the initial ones included; with ``keep="all"``,
    ``samples`` holds every evaluated parameter set (one array per name of ``params``, in evaluation order) and
    ``"score"``, the objective's value of each. ``done`` is true when the optimiser itself reported convergence
    or an exhausted budget; ``interrupted`` when the run was stopped by Ctrl-C. ``window`` and
    ``validation_window`` are the day indices of the periods in the catchment's record.
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
    source: str = ""                             # the identity of the catchment it was calibrated on (`origin`)
    observed_period: tuple[np.datetime64, np.datetime64] | None = None   # first and last observed day of `period`
    objective_value: float = math.nan            # the objective as optimised: on transformed flows
    validation_objective: float | None = None    # the same on the validation period
    at_bounds: dict[str, str] | None = None      # parameters within 0.5 % of a bound: name -> "lower" / "upper"
    stop_reason: str = ""                        # interrupted, max_steps, budget, converged: <criterion>
    starts: int = 1                              # independent optimiser starts the run made
    water: dict[str, float] | None = None        # what the run leaned on over `period` (`vardex.balance.leaning`)
    signature_errors: dict[str, float] | None = None     # fhv, flv, fms (%) and each signature sim - obs
    validation_signature_errors: dict[str, float] | None = None
    seed_scores: dict[int, float] | None = None  # with several seeds: each seed's objective (this is the best)
    seed_spread: float | None = None             # best minus worst of them
    validation_water: dict[str, float] | None = None
    window: Window | None = None                 # where the calibration period sits in the catchment's record
    validation_window: Window | None = None

    @property
    def score(self) -> float:
        """The value of the calibration objective, as optimised (on transformed flows with a transformation)."""
        return self.objective_value

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
        if objective is not None:
            objective = Settings.build(objective=objective).objective
        warmup = self.requested_warmup if warmup is None else _convert.count(warmup, "warmup")
        spinup = self.spinup if spinup is None else _convert.count(spinup, "spinup")
        win = periods.period_window(catchment.dates, period, warmup, spinup)
        values = np.array(list(self.params.values()), dtype=np.float64)
        metrics, _ = score_window(catchment, self.model, values, win, self.bands_on(catchment), self.transformation)
        return metrics if objective is None else metrics[objective]

    def balance(self, catchment: Catchment, period: str = "calibration") -> dict[str, float]:
        """The water balance (mm) of these parameters over the ``"calibration"`` or ``"validation"`` period of
        ``catchment``, simulated as the calibration simulated it, CemaNeige in front when it ran (its pack change
        and melt as terms); see `vardex.balance.period_balance`."""
        win = {"calibration": self.window, "validation": self.validation_window}.get(period)
        if win is None:
            raise ValueError(f"period must be 'calibration' or 'validation' (a period of this result), got {period!r}")
        return balance.period_balance(catchment, self.model, self.params, self.snow, self.bands_on(catchment), win)

    def to_pandas(self, catchment: Catchment) -> Any:
        """A pandas DataFrame by date over the days this result simulated on ``catchment``: ``precipitation``,
        ``pet``, ``observed`` and ``simulated`` flow (mm/day), and ``period``, what each day was to the run:
        "warm-up", "calibration" or "validation" (a scored day wins over a warm-up day of the other run)."""
        from vardex._optional import optional_import

        pd = optional_import("pandas", "to_pandas", "pandas")
        runs = [(self.window, self.simulation, "calibration")]
        if self.validation_window is not None and self.validation_simulation is not None:
            runs.append((self.validation_window, self.validation_simulation, "validation"))
        if any(w is None for w, _, _ in runs) or (catchment.origin, catchment.gauge) != (self.source, self.gauge):
            raise ValueError(f"this result was calibrated on other data than {catchment.gauge}'s ({catchment.origin})")
        start = min(w.start for w, _, _ in runs if w is not None)
        stop = max(w.stop for w, _, _ in runs if w is not None)
        simulated = np.full(stop - start, np.nan)
        label = np.full(stop - start, "", dtype=object)
        for scored in (False, True):    # warm-ups first, so that scored days win
            for w, flow, name in runs:
                assert w is not None
                days = slice(w.first if scored else w.start, w.stop if scored else w.first)
                simulated[days.start - start:days.stop - start] = flow[days.start - w.start:days.stop - w.start]
                label[days.start - start:days.stop - start] = name if scored else "warm-up"
        days = slice(start, stop)
        return pd.DataFrame({"precipitation": catchment.precipitation[days], "pet": catchment.pet[days],
                             "observed": catchment.observed[days], "simulated": simulated, "period": label},
                            index=pd.DatetimeIndex(catchment.dates[days].astype("datetime64[ns]"), name="date"))

    def bands_on(self, catchment: Catchment) -> np.ndarray | None:
        """The elevation bands to run this result's CemaNeige on ``catchment``: the calibration's own on the
        catchment it was calibrated on (same data), the receiving catchment's default ones on any other
        (parameters transferred between basins)."""
        if not self.snow:
            return None
        if catchment.origin == self.source and catchment.gauge == self.gauge and self.elevation_bands is not None:
            return self.elevation_bands
        return default_bands(catchment)


def as_catchment(catchment: object) -> Catchment:
    """A `Catchment` as given, or the bundled/CAMELS catchment of a gauge id (``load_camels(gauge)``)."""
    if isinstance(catchment, Catchment):
        return catchment
    if isinstance(catchment, str):
        return load_camels(catchment)
    raise TypeError(f"catchment must be a Catchment (e.g. from vardex.load_camels) or a gauge id, got "
                    f"{type(catchment).__name__}")


def calibrate(catchment: Catchment | str, model: str = "gr4j", *, snow: bool | str = "auto",
              optimiser: str = DEFAULT_OPTIMISER,
              objective: str = "nse", transformation: str = "none", period: periods.Period | None = None,
              validation: periods.Period | None = None, warmup: int = 365, spinup: int = 0,
              keep: Literal["all"] | None = None, seed: int = 1, seeds: Iterable[int] | None = None,
              max_steps: int | None = None, max_evaluations: int | None = None, progress: bool = True,
              elevation_bands: npt.ArrayLike | None = None, stop: threading.Event | None = None,
              settings: Mapping[str, float] | None = None, starts: int | None = None, restart: bool = True,
              **options: float) -> CalibrationResult:
    """Calibrate ``model`` (optionally behind CemaNeige) on ``catchment`` and return the best candidate found.

    ``catchment`` is a `Catchment` or a gauge id of the bundled sample (``load_camels(gauge)``); ``model`` a
    name of `MODELS` in any letter case. ``snow`` True or False runs CemaNeige in front of the model or not;
    ``"auto"`` runs it when at least 10 % of the catchment's precipitation falls on days with a mean temperature
    below 0 °C (CAMELS' ``frac_snow``). The
    result's ``snow`` says which was used.

    ``optimiser`` is ``"dds"`` (setting ``r`` 0.2) or ``"sce"`` (settings ``n_complexes`` 5, ``k_stop`` 20,
    ``p_convergence_threshold`` 0.01, ``geometric_range_threshold`` 1e-3); keyword arguments or a ``settings``
    mapping (as `calibrate_many` takes them) override these.
    ``objective`` (rmse, nse, kge) and ``transformation`` (none, log, sqrt) are scored on ``period`` (start, end:
    inclusive dates, ISO texts or datetime64; default: the whole record after the first ``warmup`` days), which
    is simulated from ``warmup`` days before its start (from the record's first day when fewer precede it, with
    a `vardex.periods.WarmupWarning`). ``validation`` is another such period, scored after the calibration by
    the same rule. ``spinup=k`` runs each warm-up window k more times in front of it, so slow stores settle.
    ``keep="all"`` keeps every evaluated parameter set (`CalibrationResult.samples`).
    The run steps the optimiser until it reports done, or ``max_steps`` steps were made.

    ``seeds`` (instead of ``seed``) runs the calibration once per seed and returns the best, with every seed's
    objective in ``seed_scores`` and their ``seed_spread`` (best minus worst).
    ``starts=k`` makes k independent optimiser starts (each seeded from ``seed``) share the budget, and
    ``restart`` (default True) hands what a start leaves unused to a further start (README, "Seeds and starts").
    By default DDS makes one start per 3,000 evaluations of the budget and SCE one.

    ``max_evaluations`` is the total budget of model evaluations, initial ones included (default 9000 for
    DDS, three starts, and 10000 for SCE), and is never exceeded. DDS spends it exactly. SCE evaluates a population of
    s = n_complexes × (2n + 1) points (n the parameter count), then s to 3s per cycle, and stops only at the
    end of a cycle, so it is given the budget minus the population and minus one worst-case cycle: it then
    ends within the budget, at most 3s short of it, and needs a budget of at least 4s (n counting CemaNeige's
    three parameters unless ``snow=False``).

    Every option is checked (`vardex.settings.Settings`) before anything runs. With snow, ``elevation_bands``
    (m) default to the catchment's median elevation − 200, ± 0 and + 200.

    Progress is shown on stderr (``progress=False`` shows nothing). Ctrl-C stops the run and returns the best
    result so far with ``interrupted`` set; before the first step has finished it propagates. Setting ``stop``
    (from another thread) has the same effect, checked before every step.
    """
    record = Settings.build(models=model, snow=snow, elevation_bands=elevation_bands, optimiser=optimiser,
                            settings=settings, objective=objective, transformation=transformation, warmup=warmup,
                            period=period, validation=validation, spinup=spinup, max_evaluations=max_evaluations,
                            max_steps=max_steps, seeds=_seeds(seed, seeds), keep=keep, starts=starts, restart=restart,
                            **options)
    return run_seeds(as_catchment(catchment), record, progress=progress, stop=stop)


def _seeds(seed: Any, seeds: Any) -> Any:
    if seeds is None:
        return seed
    if not (isinstance(seed, int) and seed == 1):
        raise TypeError("give seed or seeds, not both")
    return seeds


# Seeds whose objectives differ by more than this are flagged: the calibration has not found one answer.
SEED_SPREAD_FLAG = 0.05


def _series(call: Callable[[Any], CalibrationResult], items: Iterable[Any]) -> list[CalibrationResult]:
    """``call`` for each item in order, until one is interrupted or Ctrl-C comes (which propagates before the
    first result: there is nothing to return)."""
    results: list[CalibrationResult] = []
    for item in items:
        try:
            result = call(item)
        except KeyboardInterrupt:
            if not results:
                raise
            break
        results.append(result)
        if result.interrupted:
            break
    return results


def run_seeds(catchment: Catchment, settings: Settings, *, progress: bool = False,
              stop: threading.Event | None = None, engines: Mapping[str, Any] = ENGINES) -> CalibrationResult:
    """`run` once per seed of ``settings``: the best result, with every seed's objective (``seed_scores``) and
    their spread. One seed: `run` itself."""
    if len(settings.seeds) == 1:
        return run(catchment, settings, progress=progress, stop=stop, engines=engines)
    results = _series(lambda seed: run(catchment, settings.with_model(settings.models[0], seed), progress=progress,
                                       stop=stop, engines=engines), settings.seeds)
    best = min(results, key=_rank_key)
    scores = {r.seed: r.score for r in results}
    finite = [v for v in scores.values() if math.isfinite(v)]
    spread = (max(finite) - min(finite)) if finite else math.nan
    return dataclasses.replace(best, seed_scores=scores, seed_spread=spread,
                               interrupted=any(r.interrupted for r in results) or len(results) < len(settings.seeds),
                               seconds=sum(r.seconds for r in results))


def run(catchment: Catchment, settings: Settings, *, progress: bool = False, stop: threading.Event | None = None,
        engines: Mapping[str, Any] = ENGINES) -> CalibrationResult:
    """The calibration of ``settings``' first model with its first seed on ``catchment``: the step loop.

    ``engines`` maps the optimiser names to the calibrator classes that run them (`ENGINES`)."""
    model = settings.models[0]
    snow = settings.uses_snow(catchment.precipitation, catchment.temperature)
    cal = periods.period_window(catchment.dates, settings.period, settings.warmup, settings.spinup)
    val = (None if settings.validation is None
           else periods.window(catchment.dates, settings.validation, settings.warmup, settings.spinup, "validation"))
    if val is not None and val.first < cal.stop and cal.first < val.stop:
        raise ValueError(periods.overlap_message(cal.dates(catchment.dates), val.dates(catchment.dates))
                         + ("; give period= as well" if settings.period is None else ""))
    if val is not None and not np.isfinite(catchment.observed[val.first:val.stop]).any():
        raise ValueError("no streamflow observations in the validation period (every day is missing)")

    names = param_names(model, snow)

    # The calibration window's series, the spin-up in front: the optimiser scores after both warm-ups.
    series = window_forcing(catchment, cal)
    bands = default_bands(catchment, settings.elevation_bands) if snow else None
    forcing: tuple[Any, ...]
    if snow:
        forcing = (series.precipitation, series.temperature, series.pet, series.day_of_year, bands,
                   float(catchment.median_elevation), cal.observations(catchment.observed), cal.repeated + cal.warmup)
    else:
        forcing = (series.precipitation, None, series.pet, None, None, None, cal.observations(catchment.observed),
                   cal.repeated + cal.warmup)

    obj = settings.objective
    at = METRIC_NAMES.index(obj)
    max_steps = settings.max_steps
    history: list[float] = []
    runs: list[_Start] = []
    interrupted = False
    started = time.perf_counter()
    bar = None
    remaining, smallest = settings.max_evaluations, settings.smallest_start(model, snow)
    try:
        if progress:
            from tqdm import tqdm
            nested = _NESTED_PROGRESS.get()
            bar = tqdm(total=max_steps, desc=f"{model}{'+snow' if snow else ''} {settings.optimiser}", unit="step",
                       file=sys.stderr, position=1 if nested else None, leave=not nested)
        # Planned starts share the budget; with restart, what a start leaves unused goes to further starts.
        while remaining >= smallest and (len(runs) < settings.starts or (settings.restart and runs)):
            planned = max(settings.starts - len(runs), 1)
            budget = remaining // planned if len(runs) < settings.starts else remaining
            args, population = settings.engine_arguments(model, snow, budget, start_seed(settings.seed, len(runs)))
            chunk = _CHUNK if settings.optimiser == "dds" else max(1, _CHUNK_EVALUATIONS // population)
            start = _Start(engines[settings.optimiser](*args), population, int(args[-2]), chunk)
            runs.append(start)
            start.run(forcing, settings.keep == "all", max_steps, stop, history, at, bar, obj, runs)
            remaining -= start.evaluations
            if start.last is None or (max_steps is not None and sum(r.steps for r in runs) >= max_steps):
                break
    except KeyboardInterrupt:
        if not runs or runs[0].last is None:
            raise
        interrupted = True
    finally:
        if bar is not None:
            bar.close()
    seconds = time.perf_counter() - started

    best_run = min((r for r in runs if r.last is not None),
                   key=lambda r: _objective_key(obj, float(cast(_Step, r.last)[3][at])))
    steps = sum(r.steps for r in runs)
    done, best, simulation, triple = cast(_Step, best_run.last)
    done = all(r.done for r in runs if r.last is not None) and not interrupted
    engine = best_run.engine
    plain = settings.transformation == "none"
    validated: dict[str, Any] = {}
    if val is not None:
        transformed, val_simulation = score_window(catchment, model, best, val, bands, settings.transformation)
        val_metrics = diagnostics.scores(catchment.observed[val.first:val.stop], val_simulation[val.warmup:],
                                         list(transformed.values()) if plain else None)
        validated = {"validation_period": val.dates(catchment.dates), "validation": val_metrics,
                     "validation_warmup": val.warmup, "validation_simulation": val_simulation,
                     "validation_window": val, "validation_objective": transformed[obj],
                     "validation_water": _leaning(catchment, model, names, best, snow, bands, val),
                     "validation_signature_errors": _signature_errors(catchment, val, val_simulation)}
    simulation = simulation[cal.repeated:]
    metrics = diagnostics.scores(catchment.observed[cal.first:cal.stop], simulation[cal.warmup:],
                                 triple if plain else None)
    params = dict(zip(names, (float(v) for v in best)))
    reason = diagnostics.stop_reason(optimiser=settings.optimiser, done=done, interrupted=interrupted, steps=steps,
                                     max_steps=max_steps, history=best_run.history, options=dict(settings.options),
                                     engine_evaluations=engine.evaluations, engine_budget=best_run.budget)
    return CalibrationResult(
        model=model, snow=snow, optimiser=settings.optimiser, objective=obj, transformation=settings.transformation,
        seed=settings.seed, params=params, metrics=metrics, simulation=simulation,
        history=history, evaluations=sum(r.evaluations for r in runs), starts=len(runs),
        steps=steps, seconds=seconds, done=done, interrupted=interrupted, gauge=catchment.gauge,
        forcing=catchment.forcing, warmup=cal.warmup, period=cal.dates(catchment.dates), spinup=settings.spinup,
        samples=_samples([r.engine for r in runs], names, obj) if settings.keep == "all" else None,
        elevation_bands=bands,
        requested_warmup=settings.warmup, source=catchment.origin, window=cal,
        observed_period=cal.observed(catchment.dates, catchment.observed),
        objective_value=float(triple[METRIC_NAMES.index(obj)]), at_bounds=diagnostics.at_bounds(model, snow, params),
        stop_reason=reason, water=_leaning(catchment, model, names, best, snow, bands, cal),
        signature_errors=_signature_errors(catchment, cal, simulation), **validated)


def _signature_errors(catchment: Catchment, win: Window, simulation: np.ndarray) -> dict[str, float]:
    """The diagnostic errors of the simulation over the window's period, and each signature simulated minus
    observed (on the days with an observation)."""
    observed = catchment.observed[win.first:win.stop]
    simulated = np.where(np.isfinite(observed), simulation[win.warmup:], np.nan)
    dates, rain = catchment.dates[win.first:win.stop], catchment.precipitation[win.first:win.stop]
    errors = flow_signatures.diagnostic_errors(observed, simulated)
    sim, obs = flow_signatures.signatures(simulated, dates, rain), flow_signatures.signatures(observed, dates, rain)
    errors.update({k: sim[k] - obs[k] for k in flow_signatures.SIGNATURE_KEYS})
    return errors


def _leaning(catchment: Catchment, model: str, names: list[str], values: np.ndarray, snow: bool,
             bands: np.ndarray | None, win: Window) -> dict[str, float] | None:
    """What a run leaned on over a window; None where its water cannot be accounted for (a store overflowed)."""
    try:
        return balance.leaning(balance.period_balance(catchment, model, dict(zip(names, (float(v) for v in values))),
                                                      snow, bands, win))
    except (vardex_rs.VardexNumericalError, vardex_rs.VardexValidationError):
        return None


def _samples(engines: list[Any], names: list[str], objective: str) -> dict[str, np.ndarray]:
    """Every evaluated parameter set by name, and its objective value as ``"score"``, start after start."""
    rows, triples = zip(*(engine.samples() for engine in engines))
    table, scores = np.concatenate(rows), np.concatenate(triples)
    kept = {name: np.ascontiguousarray(table[:, j]) for j, name in enumerate(names)}
    kept["score"] = np.ascontiguousarray(scores[:, METRIC_NAMES.index(objective)])
    return kept


def start_seed(seed: int, start: int) -> int:
    """The seed of a run's ``start``-th optimiser start: the run's own for the first, then a fixed stride away."""
    return (seed + start * 0x9E3779B97F4A7C15) % 2**64


def _objective_key(objective: str, value: float) -> tuple[int, float]:
    """Best first: finite values, then ascending RMSE or descending efficiency."""
    if not math.isfinite(value):
        return (1, 0.0)
    return (0, value if objective == "rmse" else -value)


# Steps handed to the core per call: DDS steps are one evaluation each, so the call's own cost (a copy of the
# forcing, its checks, the interpreter, the best's simulation) would be a large share of them; 50 keep Ctrl-C
# answered within milliseconds. An SCE-UA step evaluates at least its population: small ones go a few at a time,
# about 200 evaluations a call.
_CHUNK = 50
_CHUNK_EVALUATIONS = 200


class _Start:
    """One optimiser start of a run: its engine, stepped until done, the step limit or an interrupt."""

    def __init__(self, engine: Any, population: int, budget: int, chunk: int = 1) -> None:
        self.engine, self.population, self.budget, self.chunk = engine, population, budget, chunk
        self.last: _Step | None = None
        self.history: list[float] = []
        self.steps = 0
        self.done = False

    @property
    def evaluations(self) -> int:
        return int(self.population + self.engine.evaluations)

    def run(self, forcing: tuple[Any, ...], keep: bool, max_steps: int | None, stop: threading.Event | None,
            history: list[float], at: int, bar: Any, objective: str, runs: list[_Start]) -> None:
        """Step until done; ``history`` (the run's) gets the best objective over all starts after every step."""
        if keep:
            self.engine.keep_samples()
        self.engine.init(*forcing)
        taken = sum(r.steps for r in runs if r is not self)
        # Cheap steps (DDS: one evaluation each) go to the core many at a time, on one copy of the forcing.
        batched = getattr(self.engine, "run_steps", None) if self.chunk > 1 else None
        while not self.done and (max_steps is None or taken + self.steps < max_steps):
            if stop is not None and stop.is_set():
                raise KeyboardInterrupt
            if batched is not None:
                count = self.chunk if max_steps is None else min(self.chunk, max_steps - taken - self.steps)
                triples, last = batched(*forcing, count)
                values = [float(v) for v in triples[:, at]]
            else:
                last = self.engine.step(*forcing)
                values = [float(last[3][at])]
            done, best, simulation, triple = last
            self.steps += len(values)
            self.done = bool(done)
            self.last = (self.done, best, simulation, triple)
            for value in values:
                self.history.append(value)
                history.append(value if not history or _objective_key(objective, value) <= _objective_key(
                    objective, history[-1]) else history[-1])
            if bar is not None:
                bar.set_postfix({objective: f"{history[-1]:.4f}",
                                 "evals": sum(r.evaluations for r in runs)}, refresh=False)
                bar.update(len(values))


def _rank_key(result: CalibrationResult) -> tuple[int, float]:
    return _objective_key(result.objective, result.score)


def compare(catchment: Catchment | str, models: Iterable[str] | str | None = None,
            **kwargs: Any) -> list[CalibrationResult]:
    """Calibrate each of ``models`` (default: all twenty) with the same `calibrate` arguments (``period``,
    ``validation``, ``spinup``, ``seeds`` included: each model then keeps its best seed).

    Returns the results ranked best first by the calibration score (the objective on the calibration period;
    the validation scores are in each result); non-finite scores last, ties in ``models`` order.
    Ctrl-C stops the series: the model being calibrated keeps its best result so far, later models are skipped.
    """
    progress = kwargs.pop("progress", True)
    stop = kwargs.pop("stop", None)
    seeds = _seeds(kwargs.pop("seed", 1), kwargs.pop("seeds", None))
    return run_all(as_catchment(catchment), Settings.build(models=models, seeds=seeds, **kwargs), progress=progress,
                   stop=stop)


def run_all(catchment: Catchment, settings: Settings, *, progress: bool = False, stop: threading.Event | None = None,
            engines: Mapping[str, Any] = ENGINES) -> list[CalibrationResult]:
    """`compare` of a settings record: each of its models with its best seed, ranked best first."""
    names = settings.models
    bar = None
    if progress and names:
        from tqdm import tqdm
        bar = tqdm(total=len(names), desc="compare", unit="model", file=sys.stderr)
    token = _NESTED_PROGRESS.set(bar is not None)
    try:
        def one(name: str) -> CalibrationResult:
            if bar is not None:
                bar.set_postfix_str(name)
            result = run_seeds(catchment, settings.with_model(name), progress=progress, stop=stop, engines=engines)
            if bar is not None:
                bar.update(1)
            return result

        results = _series(one, names)
    finally:
        _NESTED_PROGRESS.reset(token)
        if bar is not None:
            bar.close()
    return sorted(results, key=_rank_key)
