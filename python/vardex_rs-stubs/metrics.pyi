import numpy as np
import numpy.typing as npt

def calculate_rmse(observations: npt.NDArray[np.float64], simulations: npt.NDArray[np.float64]) -> float:
    """Root mean square error (units of the series). VardexValidationError for unequal or empty arrays or a NaN
    or infinite value (observations scanned first)."""

def calculate_nse(observations: npt.NDArray[np.float64], simulations: npt.NDArray[np.float64]) -> float:
    """Nash-Sutcliffe efficiency (<= 1). As calculate_rmse; VardexNumericalError for constant observations."""

def calculate_kge(observations: npt.NDArray[np.float64], simulations: npt.NDArray[np.float64]) -> float:
    """Kling-Gupta efficiency (<= 1). As calculate_rmse; VardexNumericalError for zero variance or zero mean."""
