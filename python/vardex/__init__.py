"""Workflows around the compiled ``vardex_rs`` models.

``vardex_rs`` is the fixed compiled surface (models, snow, PET, metrics, calibrators); this package adds what a
hydrologist needs around it. Errors are ``vardex_rs``'s own exception classes.
"""
from __future__ import annotations

from vardex.batch import BatchResults, calibrate_many
from vardex.calibration import CalibrationResult, calibrate, compare
from vardex.data import Catchment, DataError, load_camels
from vardex.data import load_caravan
from vardex.models import (FLUX_MODELS, MODELS, cemaneige_fluxes, cemaneige_states, model_fluxes, model_states,
                           water_balance)
from vardex.periods import WarmupWarning
from vardex.simulation import simulate

__all__ = ["MODELS", "FLUX_MODELS", "model_states", "model_fluxes", "water_balance", "cemaneige_states",
           "cemaneige_fluxes", "load_camels", "load_caravan", "Catchment", "DataError", "calibrate", "compare",
           "CalibrationResult", "calibrate_many", "BatchResults", "simulate", "WarmupWarning"]
