"""Everything that can change a calibration's result, checked once: the `Settings` record.

`calibrate`, `compare`, `calibrate_many` and every command of the command line build one, so that an option is
refused the same way wherever it is given, and before any work starts. The optimiser defaults and the snow rule
live here and nowhere else.
"""
from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass, field
from typing import Any, Iterable, Mapping

import numpy as np
import vardex_rs
import vardex_rs.hydro
import vardex_rs.snow.cemaneige

from vardex import periods
from vardex._convert import U64_MAX, count
from vardex.data.catchment import check_product
from vardex.models import MODELS, canonical_model

__all__ = ["Settings", "SCE_DEFAULTS", "DDS_DEFAULTS", "DEFAULT_BUDGET", "DEFAULT_OPTIMISER", "DDS_START",
           "default_starts", "SNOW_AUTO_SHARE", "snow_share", "U64_MAX", "OPTIMISERS", "OBJECTIVES", "TRANSFORMATIONS",
           "count", "sce_minimum", "refuse_repeated"]


# Chosen by measurement (bench/defaults.py, bench/starts.py, BENCHMARKS.md "Seeds and starts"). Three independent
# DDS starts of 3,000 evaluations each agree across seeds far better than any SCE-UA policy at any cost measured
# (1 % of runs 0.05 NSE below the best seed, against 5-10 % for SCE-UA's default), for less CPU. SCE-UA keeps five
# complexes and a convergence test patient enough (0.01 % over 20 cycles) that a start stops on an optimum rather
# than on a slow stretch; with restart, what a converged start leaves of its 10,000 evaluations goes to another.
DEFAULT_OPTIMISER = "dds"
SCE_DEFAULTS: Mapping[str, float] = {"n_complexes": 5, "k_stop": 20, "p_convergence_threshold": 0.01,
                                     "geometric_range_threshold": 1e-3}
DDS_DEFAULTS: Mapping[str, float] = {"r": 0.2}
DEFAULTS = {"sce": SCE_DEFAULTS, "dds": DDS_DEFAULTS}
# Evaluations of one DDS start unless starts are given: a larger budget makes more starts, not longer ones.
DDS_START = 3000
DEFAULT_BUDGET = {"sce": 10000, "dds": 3 * DDS_START}    # shared by the starts
# Settings counted in whole numbers; the others are real numbers.
_COUNTED = {"n_complexes", "k_stop"}

OPTIMISERS = ("sce", "dds")
OBJECTIVES = ("nse", "kge", "rmse")
TRANSFORMATIONS = ("log", "sqrt", "none")

# With snow="auto", CemaNeige runs when at least this share of the precipitation falls on days with a mean
# temperature below 0 °C (the CAMELS frac_snow definition).
SNOW_AUTO_SHARE = 0.10
_SNOW_PARAMS = len(vardex_rs.snow.cemaneige.param_names)

# Bytes one simulated day costs a calibration at most (forcing, observations, simulation, snow output, scored
# values, the spin-up copies): bounds the spin-up by the machine's memory before anything is allocated.
_BYTES_PER_DAY = 96


def default_starts(optimiser: str, budget: int) -> int:
    """Independent starts of a run that does not say: SCE-UA one (restarting when it converges early); DDS, which
    always spends its budget, one per `DDS_START` evaluations, so that 3,000 evaluations run as one start."""
    return max(1, budget // DDS_START) if optimiser == "dds" else 1


def _memory() -> int:
    try:
        return int(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES"))
    except (ValueError, OSError, AttributeError):
        return 8 << 30


def _real(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a real number, got {value!r}")
    number = float(value)
    if math.isnan(number):
        raise ValueError(f"{name} must be a real number, got nan")
    return number


def _choice(value: Any, valid: tuple[str, ...], unknown: str) -> str:
    """``value`` in any letter case among ``valid``; else ``unknown`` (a message with ``{}`` for the value)."""
    folded = value.strip().lower() if isinstance(value, str) else None
    if folded not in valid:
        raise (ValueError if isinstance(value, str) else TypeError)(unknown.format(value))
    return folded


def _snow(snow: object) -> bool | str:
    if isinstance(snow, (bool, np.bool_)):
        return bool(snow)
    if isinstance(snow, str) and snow.strip().lower() == "auto":
        return "auto"
    raise ValueError(f"snow must be True, False or 'auto', got {snow!r}")


def _listed(values: Any, name: str) -> list[Any]:
    if isinstance(values, (str, int, float, np.number)):
        return [values]
    try:
        return list(values)
    except TypeError:
        raise TypeError(f"{name} must be one value or a sequence of them, got {values!r}") from None


def refuse_repeated(what: str, values: Iterable[Any]) -> None:
    seen: set[Any] = set()
    repeated: list[str] = []
    for value in values:
        if value in seen:
            repeated.append(str(value))
            if len(repeated) > 5:
                break
        seen.add(value)
    if repeated:
        shown = ", ".join(dict.fromkeys(repeated[:5]))
        raise ValueError(f"repeated {what}: {shown}" + (" and more" if len(repeated) > 5 else ""))


def snow_share(precipitation: np.ndarray, temperature: np.ndarray) -> float:
    """The share of the precipitation that falls on days with a mean temperature below 0 °C (0 without any)."""
    precipitation, temperature = np.asarray(precipitation), np.asarray(temperature)
    total = float(np.sum(precipitation))
    return float(np.sum(precipitation[temperature < 0.0])) / total if total > 0 else 0.0


def sce_minimum(n_params: int, n_complexes: int) -> tuple[int, int]:
    """(population, smallest budget) of SCE: the population s = n_complexes × (2n + 1) and s to 3s evaluations
    per cycle, of which at least one whole cycle must fit after the population."""
    population = n_complexes * (2 * n_params + 1)
    return population, population + 3 * population


def _param_count(model: str, snow: bool) -> int:
    return len(getattr(vardex_rs.hydro, model).param_names) + (_SNOW_PARAMS if snow else 0)


@dataclass(frozen=True)
class Settings:
    """One frozen, checked record of everything that can change a result.

    Build it with `Settings.build`, which normalises letter case, converts every count by one rule (an integral
    float is taken, 1.5 is refused), fills in the defaults and checks the optimiser's settings against every
    model's parameter count, CemaNeige's included wherever it may run.
    """

    models: tuple[str, ...] = MODELS
    forcings: tuple[str, ...] = ("daymet",)
    snow: bool | str = "auto"
    elevation_bands: tuple[float, ...] | None = None
    optimiser: str = DEFAULT_OPTIMISER
    options: Mapping[str, float] = field(default_factory=lambda: dict(DEFAULTS[DEFAULT_OPTIMISER]))
    objective: str = "nse"
    transformation: str = "none"
    warmup: int = 365
    period: tuple[np.datetime64, np.datetime64] | None = None
    validation: tuple[np.datetime64, np.datetime64] | None = None
    spinup: int = 0
    max_evaluations: int = DEFAULT_BUDGET[DEFAULT_OPTIMISER]
    max_steps: int | None = None
    seeds: tuple[int, ...] = (1,)
    keep: str | None = None
    starts: int = 3          # independent optimiser starts sharing max_evaluations (default_starts)
    restart: bool = True     # a start that stops early hands its unused evaluations to a further start

    @classmethod
    def build(cls, *, models: Any = None, forcing: Any = "daymet", snow: Any = "auto",
              elevation_bands: Any = None, optimiser: Any = DEFAULT_OPTIMISER,
              settings: Mapping[str, Any] | None = None,
              objective: Any = "nse", transformation: Any = "none", warmup: Any = 365, period: Any = None,
              validation: Any = None, spinup: Any = 0, max_evaluations: Any = None, max_steps: Any = None,
              seeds: Any = 1, keep: Any = None, starts: Any = None, restart: Any = True, **options: Any) -> Settings:
        """The checked record; ``settings`` and ``**options`` are the optimiser's settings (either form)."""
        names = MODELS if models is None else tuple(canonical_model(m) for m in _listed(models, "models"))
        if not names:
            raise ValueError("no model given")
        refuse_repeated("model", names)
        forcings = tuple(check_product(p) for p in _listed(forcing, "forcing"))
        if not forcings:
            raise ValueError("no forcing product given")
        refuse_repeated("forcing", forcings)
        snow = _snow(snow)
        bands = None
        if elevation_bands is not None:
            from vardex._convert import series

            values = series(elevation_bands, "elevation_bands")
            if not len(values) or not np.isfinite(values).all():
                raise ValueError("elevation_bands must be one or more finite elevations (m)")
            bands = tuple(float(v) for v in values)
        optimiser = _choice(optimiser, OPTIMISERS, "Unknown optimiser '{}'. Valid options: sce, dds")
        given = dict(settings or {})
        clash = sorted(set(given) & set(options))
        if clash:
            raise TypeError(f"{', '.join(clash)} given both in settings and as keyword arguments")
        given.update(options)
        unknown = sorted(set(given) - set(DEFAULTS[optimiser]))
        if unknown:
            raise TypeError(f"Unknown {optimiser} settings: {', '.join(map(str, unknown))}; valid: "
                            f"{', '.join(DEFAULTS[optimiser])}")
        checked: dict[str, float] = {}
        for key, default in DEFAULTS[optimiser].items():
            value = given.get(key, default)
            checked[key] = count(value, key, 1) if key in _COUNTED else _real(value, key)
        if optimiser == "dds" and not 0.0 < checked["r"] <= 1.0:
            raise ValueError(f"neighborhood size r must be in (0, 1], got {checked['r']!r}")
        objective = _choice(objective, OBJECTIVES, "Unknown objective function '{}'. Valid options: nse, kge, rmse")
        transformation = _choice(transformation, TRANSFORMATIONS,
                                 "Unknown transformation function '{}'. Valid options: log, sqrt, none")
        warmup = count(warmup, "warmup")
        spinup = count(spinup, "spinup")
        if spinup and spinup * warmup * _BYTES_PER_DAY > _memory() // 2:
            raise ValueError(f"spinup {spinup} with a warm-up of {warmup} days would simulate "
                             f"{spinup * warmup} days per run, more than this machine's memory holds")
        budget = DEFAULT_BUDGET[optimiser] if max_evaluations is None else count(max_evaluations,
                                                                                 "max_evaluations", 1)
        steps = None if max_steps is None else count(max_steps, "max_steps", 1)
        seed_values = tuple(count(s, "seed") for s in _listed(seeds, "seeds"))
        if not seed_values:
            raise ValueError("no seed given")
        refuse_repeated("seed", seed_values)
        if keep is not None and not (isinstance(keep, str) and keep.lower() == "all"):
            raise ValueError(f"keep must be None or 'all', got {keep!r}")
        cal = None if period is None else periods.bounds(period, "period")
        val = None if validation is None else periods.bounds(validation, "validation")
        if cal is not None and val is not None and val[0] <= cal[1] and cal[0] <= val[1]:
            raise ValueError(periods.overlap_message(cal, val))
        if not isinstance(restart, (bool, np.bool_)):
            raise TypeError(f"restart must be True or False, got {restart!r}")
        record = cls(models=names, forcings=forcings, snow=snow, elevation_bands=bands, optimiser=optimiser,
                     options=checked, objective=objective, transformation=transformation, warmup=warmup,
                     period=cal, validation=val, spinup=spinup, max_evaluations=budget, max_steps=steps,
                     seeds=seed_values, keep=None if keep is None else "all",
                     starts=default_starts(optimiser, budget) if starts is None else count(starts, "starts", 1, 1000),
                     restart=bool(restart))
        record._check_budget()
        return record

    def _check_budget(self) -> None:
        """The budget against the smallest the optimiser needs, for every model: DDS its initial evaluation and
        one step; SCE its population and one whole cycle."""
        smallest, needs = 2, "DDS"
        if self.optimiser == "sce":
            complexes = int(self.options["n_complexes"])
            # Where CemaNeige may run ("auto"), its parameters may be calibrated too: the larger count decides.
            n = max(_param_count(m, self.snow is not False) for m in self.models)
            population, smallest = sce_minimum(n, complexes)
            if population * (n + 4) * 8 > _memory() // 2:
                raise ValueError(f"n_complexes {complexes} makes a population of {population} points, more than "
                                 "this machine's memory holds")
            needs = f"SCE with {n} parameters and {complexes} complexes"
        if self.starts > 1:
            smallest, needs = smallest * self.starts, f"{needs} in each of {self.starts} starts"
        if self.max_evaluations < smallest:
            raise ValueError(f"max_evaluations must be at least {smallest} for {needs}, got {self.max_evaluations}")

    # --- what a run takes from it --------------------------------------------------------------------------

    def with_model(self, model: str, seed: int | None = None) -> Settings:
        """This record for one model (and seed), rechecked: a record for one calibration."""
        from dataclasses import replace

        record = replace(self, models=(canonical_model(model),),
                         seeds=self.seeds if seed is None else (count(seed, "seed"),))
        record._check_budget()
        return record

    @property
    def seed(self) -> int:
        return self.seeds[0]

    @property
    def snow_mode(self) -> str:
        """How a results file and the provenance record the snow setting: auto, on or off."""
        return "auto" if self.snow == "auto" else ("on" if self.snow else "off")

    def uses_snow(self, precipitation: np.ndarray, temperature: np.ndarray) -> bool:
        """Whether CemaNeige runs on a catchment of these daily series; "auto" decides on the share of the
        precipitation that falls on days below 0 °C (`snow_share`)."""
        if self.snow != "auto":
            return bool(self.snow)
        return snow_share(precipitation, temperature) >= SNOW_AUTO_SHARE

    def smallest_start(self, model: str, snow: bool) -> int:
        """The fewest evaluations one optimiser start needs (SCE: its population and a whole cycle)."""
        if self.optimiser == "sce":
            return sce_minimum(_param_count(model, snow), int(self.options["n_complexes"]))[1]
        return 2

    def engine_arguments(self, model: str, snow: bool, budget: int | None = None,
                         seed: int | None = None) -> tuple[tuple[Any, ...], int]:
        """(arguments of vardex._core.Sce or Dds for a start of ``budget`` evaluations (default: all) and
        ``seed`` (default: the run's), evaluations made before the first step that the engine does not count).
        SCE is given the budget less its population and one worst-case cycle, so it ends within it."""
        snow_model = "cemaneige" if snow else None
        budget = self.max_evaluations if budget is None else budget
        seed = self.seed if seed is None else seed
        o = self.options
        if self.optimiser == "sce":
            population, smallest = sce_minimum(_param_count(model, snow), int(o["n_complexes"]))
            return ((model, snow_model, self.objective, self.transformation, int(o["n_complexes"]), int(o["k_stop"]),
                     o["p_convergence_threshold"], o["geometric_range_threshold"], budget - smallest, seed),
                    population)
        return (model, snow_model, self.objective, self.transformation, o["r"], budget, seed), 0

    # --- how it is recorded --------------------------------------------------------------------------------

    def period_text(self, which: str = "period") -> str:
        """A period as asked for, ``START:END`` ("" for none)."""
        bounds = self.period if which == "period" else self.validation
        return "" if bounds is None else f"{bounds[0]}:{bounds[1]}"

    def settings_json(self) -> str:
        """The optimiser's settings and how it spends its budget (starts, restart), as JSON."""
        spent = {"restart": float(self.restart), "starts": float(self.starts)}
        return json.dumps({k: float(v) for k, v in sorted({**self.options, **spent}.items())})

    def row(self) -> dict[str, Any]:
        """The settings columns of a results row."""
        return {"snow_mode": self.snow_mode,
                "bands": "" if self.elevation_bands is None else json.dumps(list(self.elevation_bands)),
                "optimiser": self.optimiser, "objective": self.objective,
                "transformation": self.transformation, "warmup": self.warmup, "period": self.period_text(),
                "validation": self.period_text("validation"), "spinup": self.spinup, "max_steps": self.max_steps,
                "max_evaluations": self.max_evaluations, "settings": self.settings_json(),
                "version": vardex_rs.__version__}

    def provenance(self) -> dict[str, Any]:
        """The JSON record of these settings."""
        return {"version": vardex_rs.__version__, "warmup": self.warmup,
                "period": None if self.period is None else [str(d) for d in self.period],
                "validation_period": None if self.validation is None else [str(d) for d in self.validation],
                "spinup": self.spinup, "optimiser": self.optimiser, "settings": dict(self.options),
                "objective": self.objective, "transformation": self.transformation, "snow_mode": self.snow_mode,
                "elevation_bands": None if self.elevation_bands is None else list(self.elevation_bands),
                "seed": self.seed, "max_evaluations": self.max_evaluations, "max_steps": self.max_steps,
                "starts": self.starts, "restart": self.restart}
