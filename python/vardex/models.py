"""The models of ``vardex_rs.hydro`` as the ``vardex`` layer sees them: their names, and their daily internals."""
from __future__ import annotations

from typing import Callable, Mapping, TypeVar

import numpy as np
import vardex_rs.hydro

import vardex._core as _core
from vardex import _convert

_T = TypeVar("_T")

__all__ = ["MODELS", "SNOW_PARAMETERS", "ROLES", "NOTES", "describe", "canonical_model", "model_states", "model_fluxes", "water_balance",
           "cemaneige_states", "cemaneige_fluxes"]

# Model names in the order of vardex_rs.hydro's submodules.
MODELS: tuple[str, ...] = tuple(name for name, value in vars(vardex_rs.hydro).items()
                                if hasattr(value, "simulate") and hasattr(value, "param_names"))
_BY_LOWER = {name.lower(): name for name in MODELS}

# CemaNeige's parameters, which the compiled module names without describing them.
SNOW_PARAMETERS: dict[str, str] = {
    "ctg": "Weight of the previous day's thermal state of the snow pack in its update (-)",
    "kf": "Degree-day melt factor (mm/degC/day)",
    "qnbv": "Snow amount whose 90 % is the pack below which melt is slowed (mm)",
}
# What a parameter does, where its fixed description does not say it.
ROLES: dict[tuple[str, str], str] = {
    ("bucket", "x2"): "splits the bucket's spill: a share x2 to the second routing store, the rest to the first",
    ("bucket", "x3"): "times x6 is the first routing store's time constant (d)",
    ("bucket", "x4"): "the unit-hydrograph delay (d)",
    ("bucket", "x5"): "the share of the rain that bypasses the bucket into the second routing store",
}
# What a model is, where its name would mislead.
NOTES: dict[str, str] = {
    "gr4j": "GR4J with the constants of the family's hourly variant (unit-hydrograph exponent 1.25, percolation "
            "4/21, a routing-store floor of 0.001 x3) run at a daily step: its parameters are not comparable with "
            "published daily GR4J values",
}


def describe(model: str, snow: bool = False) -> dict[str, str]:
    """Each parameter's description (CemaNeige's first with ``snow``), with its role where the description does
    not say it."""
    model = canonical_model(model)
    hydro = getattr(vardex_rs.hydro, model)
    out = dict(SNOW_PARAMETERS) if snow else {}
    for name, text in zip(hydro.param_names, hydro.param_descriptions):
        role = ROLES.get((model, name))
        out[name] = f"{text}; {role}" if role else text
    return out


def canonical_model(name: object) -> str:
    """The model called ``name``, in any letter case; ValueError listing the valid names for any other."""
    if not isinstance(name, str):
        raise TypeError(f"model must be a model name (str), got {type(name).__name__}")
    found = _BY_LOWER.get(name.strip().lower())
    if found is None:
        raise ValueError(f"Unknown hydro model '{name}'. Valid models: {', '.join(MODELS)}")
    return found


def _model_name(model: object) -> str:
    """``model`` for the functions that mirror ``simulate``: any letter case, and simulate's error class for
    an unknown name, with the valid ones listed."""
    if not isinstance(model, str):
        raise TypeError(f"argument 'model': expected a str, got {type(model).__name__}")
    try:
        return canonical_model(model)
    except ValueError as err:
        raise vardex_rs.VardexValidationError(str(err)) from None


def _values(model: str, params: object) -> np.ndarray:
    """The model's parameter vector from a sequence, a dict by name or a calibration result (without snow: a
    result with CemaNeige in front has a whole-chain balance, ``result.balance(catchment)``)."""
    if hasattr(params, "params") and hasattr(params, "snow"):
        if getattr(params, "snow"):
            raise ValueError("this result runs CemaNeige in front of the model: result.balance(catchment) gives the "
                             "whole chain's balance (or give CemaNeige's liquid water as the precipitation and the "
                             "model's own parameters)")
        params = getattr(params, "params")
    if isinstance(params, Mapping):
        names = list(getattr(vardex_rs.hydro, model).param_names)
        if sorted(map(str, params)) != sorted(names):
            raise ValueError(f"params must name exactly {', '.join(names)}, got {', '.join(map(str, params))}")
        return np.array([float(params[n]) for n in names], dtype=np.float64)
    return _convert.series(params, "params")


def _model_call(fn: Callable[..., _T], model: str, params: object, precipitation: np.ndarray,
                pet: np.ndarray, **extra: int) -> _T:
    name = _model_name(model)
    return fn(name, _values(name, params), _convert.series(precipitation, "precipitation"),
              _convert.series(pet, "pet"), **extra)


def model_states(model: str, params: object, precipitation: np.ndarray, pet: np.ndarray) -> dict[str, np.ndarray]:
    """Run ``vardex_rs.hydro.<model>.simulate`` and return the model's stores at the end of every day.

    Same arguments, checks and errors as ``simulate``, but any 1-D sequence of numbers is accepted (lists,
    pandas Series, float32 or integer arrays) and converted to float64, and ``params`` may be a dict by name or a
    calibration result (run without snow); ``model`` in any letter case
    (``VardexValidationError`` "Unknown hydro model '...'", with the valid names, for one that does not exist). Returns one float64 array per store, as long as ``precipitation``,
    under the names of the model's state table (mm). A routing buffer or unit hydrograph is one entry: the runoff
    it has taken in and not yet released at the outlet, so that with zero PET, for models whose accounting
    closes, precipitation equals the streamflow plus the change of all recorded stores.
    """
    return _model_call(_core.model_states, model, params, precipitation, pet)


# --- Daily fluxes and water balances --------------------------------------------------------------------

def model_fluxes(model: str, params: object, precipitation: np.ndarray, pet: np.ndarray) -> dict[str, np.ndarray]:
    """Run ``vardex_rs.hydro.<model>.simulate`` and return the model's daily fluxes (mm/day).

    Same arguments, checks and errors as ``model_states``, and ``VardexNumericalError`` when water overflows
    before it reaches the outlet (``simulate`` then gives zero flow). Keys: ``"actual_evaporation"``; each runoff component as it leaves its store,
    before any routing delay (``"..._runoff"``, ``"baseflow"``); then every other way water enters or leaves the
    model, signed positive into the model (``"exchange"``, ``"capillary_supply"``, ...).
    """
    return _model_call(_core.model_fluxes, model, params, precipitation, pet)


def water_balance(model: str, params: object, precipitation: np.ndarray, pet: np.ndarray, *,
                  first: int = 0) -> dict[str, float]:
    """Totals over the run (mm): where the water of ``simulate`` came from and went.

    ``first`` leaves out the days before it (totals from day ``first`` on, stores changed from the start of that
    day): a warm-up simulated but not counted. Keys in order: ``"precipitation"``, ``"actual_evaporation"``,
    ``"streamflow"`` (the sum of ``simulate``'s
    output), each source/sink flux of ``model_fluxes`` (signed, positive into the model), ``"storage_change"``
    (end minus start of every store of ``model_states``, water in routing buffers included) and ``"residual"`` =
    precipitation + sources/sinks − actual_evaporation − streamflow − storage_change, zero up to rounding.
    Same checks and errors as ``model_fluxes``, and ``VardexNumericalError`` when a total is not finite or the
    residual is larger than rounding can explain (inputs beyond what the model's arithmetic can account for).
    """
    return _model_call(_core.water_balance, model, params, precipitation, pet, first=_convert.count(first, "first"))


def cemaneige_states(params: np.ndarray, precipitation: np.ndarray, temperature: np.ndarray,
                     day_of_year: np.ndarray, elevation_layers: np.ndarray,
                     median_elevation: float) -> dict[str, np.ndarray]:
    """Run ``vardex_rs.snow.cemaneige.simulate`` and return its per-layer states at the end of every day.

    Same arguments, checks and errors as ``simulate``. Keys ``"G_0"`` … ``"G_{n-1}"`` are the snow water
    equivalent of each elevation layer (mm, as a share of the catchment average, so their sum is the
    catchment's snow pack), then ``"e_0"`` … ``"e_{n-1}"`` their thermal states (°C, never above 0). Layer j is
    ``elevation_layers[j]``.
    """
    return _core.cemaneige_states(_convert.series(params, "params"),
                                  _convert.series(precipitation, "precipitation"),
                                  _convert.series(temperature, "temperature"), _convert.days(day_of_year),
                                  _convert.series(elevation_layers, "elevation_layers"),
                                  _convert.scalar(median_elevation, "median_elevation"))


def cemaneige_fluxes(params: np.ndarray, precipitation: np.ndarray, temperature: np.ndarray,
                     day_of_year: np.ndarray, elevation_layers: np.ndarray,
                     median_elevation: float) -> dict[str, np.ndarray]:
    """Run ``vardex_rs.snow.cemaneige.simulate`` and return its daily fluxes per elevation layer (mm/day).

    Same arguments, checks and errors as ``cemaneige_states``. For each layer j (``elevation_layers[j]``), as a
    share of the catchment average like the packs ``G_j``: ``"liquid_precipitation_j"``,
    ``"solid_precipitation_j"``, ``"melt_j"`` and ``"outflow_j"`` (liquid precipitation plus melt). Over a
    run, liquid plus solid precipitation summed over the layers is the precipitation, solid precipitation minus
    melt is the change of ``G_j``, and the outflows sum to ``simulate``'s output, up to rounding.
    """
    return _core.cemaneige_fluxes(_convert.series(params, "params"),
                                  _convert.series(precipitation, "precipitation"),
                                  _convert.series(temperature, "temperature"), _convert.days(day_of_year),
                                  _convert.series(elevation_layers, "elevation_layers"),
                                  _convert.scalar(median_elevation, "median_elevation"))
