import numpy as np
import numpy.typing as npt

param_names: list[str]
"""["ctg", "kf", "qnbv"]: ctg, the weight of the previous day's thermal state of the snow pack in its update (-,
0..1); kf, the degree-day melt factor (mm/degC/day, 0..20); qnbv, the snow amount whose 90 % is the pack below
which melt is slowed (mm, 0..2000)."""

def init() -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(defaults, bounds) of ctg, kf, qnbv: defaults [0.25, 3.74, 350], bounds of shape (3, 2)."""

def simulate(params: npt.NDArray[np.float64], precipitation: npt.NDArray[np.float64], temperature: npt.NDArray[np.float64], day_of_year: npt.NDArray[np.uint64],
             elevation_layers: npt.NDArray[np.float64], median_elevation: float) -> npt.NDArray[np.float64]:
    """Liquid water (rain plus melt, mm/day) leaving the snow cover of the elevation layers (m), from
    precipitation (mm/day) and air temperature (degC) at median_elevation (m). VardexValidationError for bad
    inputs, VardexNumericalError for a non-finite result."""
