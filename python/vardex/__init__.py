"""Workflows around the compiled ``vardex_rs`` models.

``vardex_rs`` is the fixed compiled surface (models, snow, PET, metrics, calibrators); this package adds what a
hydrologist needs around it. Errors are ``vardex_rs``'s own exception classes.
"""
from __future__ import annotations

from vardex.batch import BatchResults, calibrate_many
from vardex.calibration import CalibrationResult, calibrate, compare
from vardex.data import Catchment, DataError, load_camels
from vardex.data import load_caravan as load_caravan
from vardex.models import MODELS, cemaneige_states, model_states
from vardex.periods import WarmupWarning
from vardex.simulation import simulate

__all__ = ["MODELS", "model_states", "cemaneige_states", "load_camels", "Catchment", "DataError", "calibrate", "compare",
           "CalibrationResult", "calibrate_many", "BatchResults", "simulate", "WarmupWarning"]
