"""IHACRES: 7-parameter daily rainfall-runoff model.

Parameters (bounds inclusive, defaults their midpoints):
    x1: Mass-balance forcing parameter 1/C (-) [1, 1000]
    x2: Fast-flow fraction of effective rainfall (-) [0.01, 0.99]
    x3: Fast routing reservoir time constant; >= 1 d for stable Euler scheme (d) [1, 100]
    x4: Slow routing multiplier; slow time constant = x3*x4 (-) [1, 1000]
    x5: Pure delay (d) [0.5, 5]
    x6: PET modulation factor f (-) [0.1, 10]
    x7: Characteristic catchment drying constant Tw (-) [0.1, 10]
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
