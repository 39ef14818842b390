"""XINANJIANG: 8-parameter daily rainfall-runoff model.

Parameters (bounds inclusive, defaults their midpoints):
    x1: Flow partitioning coefficient between fast and slow routing (-) [0.01, 0.99]
    x2: Fast routing reservoir emptying constant (d) [1, 20]
    x3: Slow routing reservoir emptying multiplier (-) [1, 50]
    x4: Free-water reservoir capacity (mm) [1, 500]
    x5: Soil reservoir capacity (mm) [1, 2000]
    x6: Unit hydrograph delay (d) [0.5, 10]
    x7: Free-water reservoir emptying constant (d) [1, 50]
    x8: Free-water saturation-excess distribution exponent (-) [0.01, 5]
"""
import numpy as np
import numpy.typing as npt

param_names: list[str]
param_descriptions: list[str]
param_descriptions_fr: list[str]

def init() -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(defaults, bounds): defaults of shape (8,), bounds of shape (8, 2) holding [lower, upper]."""

def simulate(params: npt.NDArray[np.float64], precipitation: npt.NDArray[np.float64], pet: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Streamflow (mm/day), one value per day, from precipitation and PET (mm/day, equal lengths, finite, >= 0).

    Raises VardexValidationError for a wrong parameter count, a parameter outside its bounds, unequal or empty
    series, a non-finite or negative input; VardexNumericalError for a non-finite result. Arrays must be 1-D
    float64 NumPy arrays (any stride), else TypeError.
    """
