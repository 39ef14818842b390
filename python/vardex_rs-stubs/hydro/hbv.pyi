"""HBV: 9-parameter daily rainfall-runoff model.

Parameters (bounds inclusive, defaults their midpoints):
    x1: Soil reservoir capacity (mm) [100, 1000]
    x2: PET threshold (mm) [1, 1000]
    x3: Upper emptying constant of intermediate reservoir (d) [1, 20]
    x4: Ground reservoir emptying constant (d) [1, 100]
    x5: Percolation coefficient (mm/d) [1, 20]
    x6: Triangular unit hydrograph time base (d) [2, 40]
    x7: Soil nonlinearity exponent (-) [0, 50]
    x8: Flow threshold of intermediate reservoir (mm) [0, 100]
    x9: Lower emptying constant of intermediate reservoir (-) [1, 20]
"""
import numpy as np
import numpy.typing as npt

param_names: list[str]
param_descriptions: list[str]
param_descriptions_fr: list[str]

def init() -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(defaults, bounds): defaults of shape (9,), bounds of shape (9, 2) holding [lower, upper]."""

def simulate(params: npt.NDArray[np.float64], precipitation: npt.NDArray[np.float64], pet: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Streamflow (mm/day), one value per day, from precipitation and PET (mm/day, equal lengths, finite, >= 0).

    Raises VardexValidationError for a wrong parameter count, a parameter outside its bounds, unequal or empty
    series, a non-finite or negative input; VardexNumericalError for a non-finite result. Arrays must be 1-D
    float64 NumPy arrays (any stride), else TypeError.
    """
