"""WAGENINGEN: 8-parameter daily rainfall-runoff model.

Parameters (bounds inclusive, defaults their midpoints):
    x1: Percolation emptying threshold (mm) [1, 500]
    x2: Maximum soil reservoir capacity (mm) [10, 2000]
    x3: Infiltration emptying constant (mm) [0.1, 1000]
    x4: Capillary rise parameter (d) [1, 1000]
    x5: Flow dissociation parameter (mm) [0.1, 500]
    x6: Fast routing emptying constant (d) [0.5, 50]
    x7: Slow routing emptying multiplier (-) [1, 50]
    x8: Delay (d) [0.5, 5]
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
