"""CEQUEAU: 9-parameter daily rainfall-runoff model.

Parameters (bounds inclusive, defaults their midpoints):
    x1: Infiltration threshold (mm) [0, 3000]
    x2: Soil reservoir drainage threshold (mm) [1, 3000]
    x3: Infiltration constant (-) [1, 100]
    x4: Upper lateral drainage constant (-) [1, 50]
    x5: Max soil reservoir capacity (mm) [1, 8000]
    x6: Delay (days) [0.1, 20]
    x7: Groundwater drainage threshold (mm) [0.01, 500]
    x8: Lower lateral drainage constant (-) [1, 1000]
    x9: Lower groundwater drainage constant (-) [1, 3000]
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
