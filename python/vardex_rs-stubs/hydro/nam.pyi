"""NAM: 10-parameter daily rainfall-runoff model.

Parameters (bounds inclusive, defaults their midpoints):
    x1: Emptying threshold of the ground reservoir (mm) [1, 1000]
    x2: Emptying constant of routing reservoirs (d) [1, 100]
    x3: Sub-surface flow constant (-) [1, 100]
    x4: Delay (d) [0.5, 10]
    x5: Percolation constant (-) [0.01, 0.99]
    x6: Emptying constant of the ground reservoir (d) [1, 500]
    x7: Maximum capacity of the soil reservoir (mm) [1, 1000]
    x8: Surface flow constant (-) [1, 100]
    x9: Maximum capacity of the surface reservoir (mm) [1, 1000]
    x10: Capillary rise parameter (mm) [0.01, 10]
"""
import numpy as np
import numpy.typing as npt

param_names: list[str]
param_descriptions: list[str]
param_descriptions_fr: list[str]

def init() -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(defaults, bounds): defaults of shape (10,), bounds of shape (10, 2) holding [lower, upper]."""

def simulate(params: npt.NDArray[np.float64], precipitation: npt.NDArray[np.float64], pet: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Streamflow (mm/day), one value per day, from precipitation and PET (mm/day, equal lengths, finite, >= 0).

    Raises VardexValidationError for a wrong parameter count, a parameter outside its bounds, unequal or empty
    series, a non-finite or negative input; VardexNumericalError for a non-finite result. Arrays must be 1-D
    float64 NumPy arrays (any stride), else TypeError.
    """
