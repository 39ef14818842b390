"""SACRAMENTO: 9-parameter daily rainfall-runoff model.

Parameters (bounds inclusive, defaults their midpoints):
    x1: Direct routing reservoir capacity (d) [1, 20]
    x2: Upper zone free-water capacity (mm) [30, 1000]
    x3: Lower zone emptying constant (d) [10, 500]
    x4: Upper zone tension-water capacity (mm) [10, 500]
    x5: Maximum percolation rate (mm/d) [0.01, 20]
    x6: Hypodermic flow emptying constant (d) [1, 100]
    x7: Upper zone partitioning coefficient (-) [0.01, 0.99]
    x8: Deep percolation coefficient (-) [1, 50]
    x9: Delay (d) [0.5, 10]
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
