"""PDM: 8-parameter daily rainfall-runoff model.

Parameters (bounds inclusive, defaults their midpoints):
    x1: Maximum capacity of production reservoir (mm) [10, 2000]
    x2: Spatial variability of soil moisture capacity (-) [0.01, 2]
    x3: Drainage threshold as a fraction of maximum storage (-) [0.01, 0.99]
    x4: Routing delay (d) [0.5, 5]
    x5: Cubic ground reservoir characteristic storage (mm) [1, 2000]
    x6: Linear routing reservoirs emptying constant (d) [1, 30]
    x7: Rainfall correction factor (-) [0.5, 1.5]
    x8: Drainage time constant (d) [1, 100]
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
