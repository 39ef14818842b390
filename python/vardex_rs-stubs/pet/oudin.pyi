import numpy as np
import numpy.typing as npt

def simulate(temperature: npt.NDArray[np.float64], day_of_year: npt.NDArray[np.uint64], latitude: float) -> npt.NDArray[np.float64]:
    """Oudin PET (mm/day) from daily mean air temperature (degC), day of year (1-366, uint64) and latitude
    (degrees, -90..90). VardexValidationError for unequal or empty series, non-finite or out-of-range values."""
