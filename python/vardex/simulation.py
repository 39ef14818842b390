"""Running one parameter set: the whole record (`simulate`), a window of it (`score_window`), or any series
laid out like it (`run`); and scoring a simulation by the calibrators' own rule (`score`)."""
from __future__ import annotations

from typing import Any, Mapping, NamedTuple, Protocol, runtime_checkable

import numpy as np
import numpy.typing as npt
import vardex_rs.hydro
import vardex_rs.snow.cemaneige

import vardex._core as _core
from vardex import _convert
from vardex.data import Catchment
from vardex.models import MODELS, canonical_model
from vardex.periods import Window

__all__ = ["simulate", "Forcing", "param_names", "param_bounds", "default_bands", "run", "score", "score_window",
           "Calibrated", "METRIC_NAMES"]

# The order of the calibrators' metric triples.
METRIC_NAMES = ("rmse", "nse", "kge")


@runtime_checkable
class Calibrated(Protocol):
    """What `simulate` takes from a calibration result: its model, parameters, snow setting and bands."""

    model: str
    snow: bool
    params: dict[str, float]

    def bands_on(self, catchment: Catchment) -> np.ndarray | None: ...

# CemaNeige's elevation bands by default: the catchment's median elevation - 200, + 0 and + 200 m.
_SNOW_BAND_OFFSETS = np.array([-200.0, 0.0, 200.0])


class Forcing(NamedTuple):
    """The daily series a simulation takes, one value per day each."""

    precipitation: np.ndarray
    temperature: np.ndarray
    pet: np.ndarray
    day_of_year: np.ndarray


def param_bounds(model: str, snow: bool) -> np.ndarray:
    """The (lower, upper) bound of each parameter, one row each, in the order of `param_names`."""
    modules: list[Any] = ([vardex_rs.snow.cemaneige] if snow else []) + [getattr(vardex_rs.hydro, model)]
    return np.vstack([m.init()[1] for m in modules])


def param_names(model: str, snow: bool) -> list[str]:
    """Parameter names in the calibrators' order: CemaNeige's first with ``snow``, then the model's."""
    if model not in MODELS:
        raise ValueError(f"Unknown hydro model '{model}'")
    names = list(getattr(vardex_rs.hydro, model).param_names)
    return list(vardex_rs.snow.cemaneige.param_names) + names if snow else names


def default_bands(catchment: Catchment, elevation_bands: npt.ArrayLike | None = None) -> np.ndarray:
    """CemaNeige's elevation bands (m): ``elevation_bands`` when given, else the catchment's own (from its data's
    hypsometry), else its median elevation −200, 0 and +200 m.

    A `DataError` when the catchment's elevation is unknown: the snow model needs it either way."""
    median = catchment.elevation_for_snow()
    if elevation_bands is None and catchment.elevation_bands is not None:
        return np.array(catchment.elevation_bands, dtype=np.float64)
    if elevation_bands is None:
        return median + _SNOW_BAND_OFFSETS
    return _convert.series(elevation_bands, "elevation_bands")


def run(model: str, params: np.ndarray, forcing: Forcing, bands: np.ndarray | None,
        median_elevation: float) -> np.ndarray:
    """Streamflow (mm/day) of ``params`` (CemaNeige's three first when ``bands`` is given) on ``forcing``:
    the calibrators' chain, CemaNeige's liquid water standing in for the precipitation."""
    hydro = getattr(vardex_rs.hydro, model)
    flow: np.ndarray
    if bands is None:
        flow = hydro.simulate(params, forcing.precipitation, forcing.pet)
    else:
        liquid = vardex_rs.snow.cemaneige.simulate(params[:3], forcing.precipitation, forcing.temperature,
                                                   forcing.day_of_year, bands, median_elevation)
        flow = hydro.simulate(params[3:], liquid, forcing.pet)
    return flow


def _vector(params: Any, names: list[str]) -> np.ndarray:
    if isinstance(params, Mapping):
        missing = [n for n in names if n not in params]
        unknown = [str(k) for k in params if k not in names]
        if missing or unknown:
            raise ValueError(f"params must name exactly {', '.join(names)}"
                             + (f"; missing {', '.join(missing)}" if missing else "")
                             + (f"; unknown {', '.join(unknown)}" if unknown else ""))
        return np.array([float(params[n]) for n in names], dtype=np.float64)
    values = _convert.series(params, "params")
    if len(values) != len(names):
        raise ValueError(f"expected {len(names)} params ({', '.join(names)}), got {len(values)}")
    return values


def simulate(catchment: Catchment, model: str, params: Mapping[str, float] | npt.ArrayLike | Calibrated,
             *, snow: bool | None = None, elevation_bands: npt.ArrayLike | None = None) -> np.ndarray:
    """Streamflow (mm/day) of ``model`` with ``params`` over the whole record of ``catchment``.

    ``params`` is a dict by name, a sequence in the calibrators' order (CemaNeige's ``ctg``, ``kf``, ``qnbv``
    first with snow), or a `CalibrationResult` (whose snow setting is then used unless given, and its
    elevation bands on its own catchment; another catchment gets its default bands). ``snow`` defaults to what
    ``params`` holds: CemaNeige's names, or three values more than the model has. The result equals
    ``vardex_rs``'s own calls on the catchment's series, bit for bit.
    """
    model = canonical_model(model)
    if isinstance(params, Calibrated):
        if model != params.model:
            raise ValueError(f"params were calibrated for '{params.model}', not '{model}'")
        snow = params.snow if snow is None else snow
        if elevation_bands is None and snow:
            elevation_bands = params.bands_on(catchment)
        params = params.params
    if snow is None:
        own = param_names(model, False)
        snow = (any(name in params for name in vardex_rs.snow.cemaneige.param_names) if isinstance(params, Mapping)
                else len(_convert.series(params, "params")) == len(own) + 3)
    values = _vector(params, param_names(model, bool(snow)))
    forcing = Forcing(catchment.precipitation, catchment.temperature, catchment.pet, catchment.day_of_year)
    bands = default_bands(catchment, elevation_bands) if snow else None
    return run(model, values, forcing, bands, float(catchment.median_elevation))


def window_forcing(catchment: Catchment, win: Window) -> Forcing:
    """The catchment's forcing over ``win``, its warm-up repeated in front for the spin-up."""
    return Forcing(win.series(catchment.precipitation), win.series(catchment.temperature), win.series(catchment.pet),
                   win.series(catchment.day_of_year))


def score(observed: np.ndarray, simulated: np.ndarray, transformation: str = "none") -> dict[str, float]:
    """rmse, nse and kge of ``simulated`` against ``observed`` (one period, same length), computed by the
    calibrators' own scoring: days without an observation skipped, both transformed, a non-finite simulation or
    a degenerate metric scored its worst value."""
    if not np.isfinite(observed).any():
        raise ValueError("no streamflow observations in the period (every day is missing)")
    triple = _core.score(observed, simulated, transformation)
    return dict(zip(METRIC_NAMES, (float(v) for v in triple)))


def score_window(catchment: Catchment, model: str, params: np.ndarray, win: Window, bands: np.ndarray | None,
                 transformation: str) -> tuple[dict[str, float], np.ndarray]:
    """(metrics on the window's period, simulation from the window's start, spin-up left out) of one set."""
    simulation = run(model, params, window_forcing(catchment, win), bands, float(catchment.median_elevation))
    simulation = simulation[win.repeated:]
    metrics = score(catchment.observed[win.first:win.stop], simulation[win.warmup:], transformation)
    return metrics, simulation
