"""Catchment data: the record every workflow of this package takes, and the CAMELS reader that fills it."""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Catchment:
    """One catchment's daily series and attributes, ready for the models.

    All series have one value per day of ``dates``; fluxes are in mm/day, temperatures in °C.
    """

    gauge: str
    name: str
    dates: np.ndarray           # datetime64[D]
    precipitation: np.ndarray   # float64, mm/day
    temperature: np.ndarray     # float64, daily mean air temperature, (tmax + tmin) / 2
    day_of_year: np.ndarray     # uint64, 1 ... 366
    observed: np.ndarray        # float64, streamflow in mm/day, NaN where missing
    pet: np.ndarray             # float64, Oudin PET, mm/day
    latitude: float             # degrees
    median_elevation: float     # m (CAMELS' mean elevation)
    area_km2: float

    def __len__(self) -> int:
        return len(self.dates)
