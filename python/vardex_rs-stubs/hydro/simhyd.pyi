"""SIMHYD: 8-parameter daily rainfall-runoff model.

Parameters (bounds inclusive, defaults their midpoints):
    x1: Interception store capacity (mm) [0.5, 10]
    x2: Soil moisture store capacity (mm) [1, 500]
    x3: Ground reservoir emptying constant (-) [1, 1000]
    x4: Delay (d) [0.5, 5]
    x5: Routing reservoir emptying constant (d) [1, 500]
    x6: Interflow constant (-) [1, 1000]
    x7: Groundwater recharge constant (-) [1, 1000]
    x8: Maximum infiltration capacity (mm) [1, 500]
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
