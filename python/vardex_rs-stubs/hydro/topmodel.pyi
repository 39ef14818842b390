"""TOPMODEL: 7-parameter daily rainfall-runoff model.

Parameters (bounds inclusive, defaults their midpoints):
    x1: Quadratic routing reservoir capacity (mm) [1, 1000]
    x2: Exponential groundwater drainage parameter (mm) [0.1, 50]
    x3: Interception reservoir capacity (mm) [0.1, 100]
    x4: Routing delay (d) [0.5, 10]
    x5: Topographic index distribution scale parameter (mm) [1, 200]
    x6: Topographic index sigmoid offset (-) [-10, 10]
    x7: Groundwater PET sigmoid offset (-) [-10, 10]
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
