import numpy as np
import numpy.typing as npt

class Dds:
    """DDS calibrator of a model (optionally after CemaNeige), reproducible from seed. Every failure is a ValueError carrying the message; a second concurrent init or step on the same
    object raises RuntimeError("Already borrowed")."""

    def __init__(self, hydro_model: str, snow_model: str | None, objective: str, transformation: str, r: float,
                 max_evaluations: int, seed: int) -> None: ...
    def init(self, precipitation: npt.NDArray[np.float64], temperature: npt.NDArray[np.float64] | None, pet: npt.NDArray[np.float64],
             day_of_year: npt.NDArray[np.uint64] | None, elevation_bands: npt.NDArray[np.float64] | None, median_elevation: float | None,
             observations: npt.NDArray[np.float64], warmup_steps: int) -> None:
        """Evaluates the starting point. Observations may hold NaN for missing days; the first warmup_steps
        days are not scored. The snow inputs are required with snow_model="cemaneige", else None."""
    def step(self, precipitation: npt.NDArray[np.float64], temperature: npt.NDArray[np.float64] | None, pet: npt.NDArray[np.float64],
             day_of_year: npt.NDArray[np.uint64] | None, elevation_bands: npt.NDArray[np.float64] | None, median_elevation: float | None,
             observations: npt.NDArray[np.float64], warmup_steps: int) -> tuple[bool, npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """One iteration: (done, best parameters (snow first), best simulation (mm/day), [RMSE, NSE, KGE])."""
