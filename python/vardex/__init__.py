"""Workflows around the compiled ``vardex_rs`` models.

``vardex_rs`` is the fixed compiled surface (models, snow, PET, metrics, calibrators); this package adds what a
hydrologist needs around it. Errors are ``vardex_rs``'s own exception classes.

Names are imported on first use, so that the command line starts (and can be interrupted) before NumPy and the
compiled modules are loaded.
"""
from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from vardex.batch import calibrate_many
    from vardex.calibration import CalibrationResult, calibrate, compare
    from vardex.data import Catchment, DataError, load_camels, load_caravan
    from vardex.models import (MODELS, cemaneige_fluxes, cemaneige_states, model_fluxes, model_states,
                               water_balance)
    from vardex.periods import WarmupWarning
    from vardex.results import BatchResults, ResultsError, read_results
    from vardex.settings import Settings
    from vardex.flow_signatures import diagnostic_errors, signatures
    from vardex.simulation import simulate
    from vardex.analysis import sensitivity
    from vardex.uncertainty import glue

# Each public name and the module that defines it.
_WHERE = {
    "MODELS": "vardex.models", "model_states": "vardex.models", "model_fluxes": "vardex.models",
    "water_balance": "vardex.models", "cemaneige_states": "vardex.models", "cemaneige_fluxes": "vardex.models",
    "load_camels": "vardex.data", "load_caravan": "vardex.data", "Catchment": "vardex.data",
    "DataError": "vardex.data", "calibrate": "vardex.calibration", "compare": "vardex.calibration",
    "CalibrationResult": "vardex.calibration", "calibrate_many": "vardex.batch", "BatchResults": "vardex.results",
    "read_results": "vardex.results", "ResultsError": "vardex.results", "Settings": "vardex.settings",
    "simulate": "vardex.simulation", "WarmupWarning": "vardex.periods",
    "signatures": "vardex.flow_signatures", "diagnostic_errors": "vardex.flow_signatures",
    "glue": "vardex.uncertainty", "sensitivity": "vardex.analysis",
}

__all__ = ["MODELS", "model_states", "model_fluxes", "water_balance", "cemaneige_states", "cemaneige_fluxes",
           "load_camels", "load_caravan", "Catchment", "DataError", "calibrate", "compare", "CalibrationResult",
           "calibrate_many", "BatchResults", "read_results", "ResultsError", "Settings", "simulate", "WarmupWarning",
           "signatures", "diagnostic_errors", "glue", "sensitivity"]


def __getattr__(name: str) -> Any:
    module = _WHERE.get(name)
    if module is None:
        raise AttributeError(f"module 'vardex' has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_WHERE))
