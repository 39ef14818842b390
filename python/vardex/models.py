"""The models of ``vardex_rs.hydro`` as the ``vardex`` layer sees them: their names, and their daily internals."""
from __future__ import annotations

import numpy as np
import vardex_rs.hydro

from vardex import _convert, _core

__all__ = ["MODELS", "canonical_model", "model_states", "cemaneige_states"]

# Model names in the order of vardex_rs.hydro's submodules.
MODELS: tuple[str, ...] = tuple(name for name, value in vars(vardex_rs.hydro).items()
                                if hasattr(value, "simulate") and hasattr(value, "param_names"))
_BY_LOWER = {name.lower(): name for name in MODELS}


def canonical_model(name: object) -> str:
    """The model called ``name``, in any letter case; ValueError listing the valid names for any other."""
    if not isinstance(name, str):
        raise TypeError(f"model must be a model name (str), got {type(name).__name__}")
    found = _BY_LOWER.get(name.strip().lower())
    if found is None:
        raise ValueError(f"Unknown hydro model '{name}'. Valid models: {', '.join(MODELS)}")
    return found


def model_states(model: str, params: np.ndarray, precipitation: np.ndarray, pet: np.ndarray) -> dict[str, np.ndarray]:
    """Run ``vardex_rs.hydro.<model>.simulate`` and return the model's stores at the end of every day.

    Same arguments, checks and errors as ``simulate``, but any 1-D sequence of numbers is accepted (lists,
    pandas Series, float32 or integer arrays) and converted to float64 (plus ``VardexValidationError`` "Unknown hydro model '...'"
    for a model name that does not exist). Returns one float64 array per store, as long as ``precipitation``,
    under the names of the model's state table (mm). A routing buffer or unit hydrograph is one entry: the runoff
    it has taken in and not yet released at the outlet, so that with zero PET, for models whose accounting
    closes, precipitation equals the streamflow plus the change of all recorded stores.
    """
    if not isinstance(model, str):
        raise TypeError(f"argument 'model': expected a str, got {type(model).__name__}")
    return _core.model_states(model, _convert.series(params, "params"),
                              _convert.series(precipitation, "precipitation"), _convert.series(pet, "pet"))


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
