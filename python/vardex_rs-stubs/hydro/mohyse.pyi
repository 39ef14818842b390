"""MOHYSE: 7-parameter daily rainfall-runoff model.

Parameters (bounds inclusive, defaults their midpoints):
    x1: Transpiration coefficient (-) [0.01, 1]
    x2: Maximum infiltration capacity (mm) [1, 2000]
    x3: Emptying coefficient of aquifer vadose zone (-) [0.001, 1]
    x4: Emptying coefficient of river vadose zone (-) [0.001, 1]
    x5: Aquifer to river emptying coefficient (-) [0.001, 1]
    x6: Unit hydrograph shape parameter (-) [1, 5]
    x7: Unit hydrograph scale parameter (-) [0.5, 5]
"""
import numpy as np
import numpy.typing as npt

param_names: list[str]
param_descriptions: list[str]
param_descriptions_fr: list[str]

def init() -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(defaults, bounds): defaults of shape (7,), bounds of shape (7, 2) holding [lower, upper]."""

def simulate(params: npt.NDArray[np.float64], precipitation: npt.NDArray[np.float64], pet: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Streamflow (mm/day), one value per day, from precipitation and PET (mm/day, equal lengths, finite, >= 0).

    Raises VardexValidationError for a wrong parameter count, a parameter outside its bounds, unequal or empty
    series, a non-finite or negative input; VardexNumericalError for a non-finite result. Arrays must be 1-D
    float64 NumPy arrays (any stride), else TypeError.
    """
