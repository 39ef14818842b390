from typing import Any

import numpy as np

def model_states(model: str, params: np.ndarray, precipitation: np.ndarray, pet: np.ndarray) -> dict[str, np.ndarray]: ...
def model_fluxes(model: str, params: np.ndarray, precipitation: np.ndarray, pet: np.ndarray) -> dict[str, np.ndarray]: ...
def water_balance(model: str, params: np.ndarray, precipitation: np.ndarray, pet: np.ndarray,
                  first: int = 0) -> dict[str, float]: ...
def score(observations: np.ndarray, simulation: np.ndarray, transformation: str) -> np.ndarray:
    """[rmse, nse, kge] by the calibrators' scoring: days without an observation skipped, both transformed, worst
    values for a non-finite simulation or a degenerate metric."""

def cemaneige_states(params: np.ndarray, precipitation: np.ndarray, temperature: np.ndarray, day_of_year: np.ndarray,
                     elevation_layers: np.ndarray, median_elevation: float) -> dict[str, np.ndarray]: ...

def cemaneige_fluxes(params: np.ndarray, precipitation: np.ndarray, temperature: np.ndarray, day_of_year: np.ndarray,
                     elevation_layers: np.ndarray, median_elevation: float) -> dict[str, np.ndarray]: ...

class _Stepping:
    """What both calibrators share (stub only): vardex_rs's init and step."""
    def init(self, precipitation: np.ndarray, temperature: np.ndarray | None, pet: np.ndarray,
             day_of_year: np.ndarray | None, elevation_bands: np.ndarray | None, median_elevation: float | None,
             observations: np.ndarray, warmup_steps: int) -> None: ...
    def step(self, precipitation: np.ndarray, temperature: np.ndarray | None, pet: np.ndarray,
             day_of_year: np.ndarray | None, elevation_bands: np.ndarray | None, median_elevation: float | None,
             observations: np.ndarray, warmup_steps: int) -> tuple[bool, np.ndarray, np.ndarray, np.ndarray]: ...
    def keep_samples(self) -> None:
        """From now on, log every evaluated parameter set with its metric triple (a failed call adds none)."""
    def run_steps(self, precipitation: np.ndarray, temperature: np.ndarray | None, pet: np.ndarray,
                  day_of_year: np.ndarray | None, elevation_bands: np.ndarray | None, median_elevation: float | None,
                  observations: np.ndarray, warmup_steps: int, count: int) -> tuple[np.ndarray, Any]:
        """Up to ``count`` steps on one copy of the forcing, stopping once done: (the best [rmse, nse, kge] after
        each step made, one row per step; the last step's tuple as step returns it)."""
    def samples(self) -> tuple[np.ndarray, np.ndarray] | None:
        """(parameter sets, one row per evaluation in evaluation order; their [rmse, nse, kge] rows), or None
        before keep_samples."""
    @property
    def early_stops(self) -> tuple[int, int]:
        """(evaluations whose model run stopped early as rejected, model days they did not run); a kept sample
        log runs every evaluation in full."""

class Sce(_Stepping):
    """vardex_rs.calibration.sce.Sce, stepping identically, with its evaluation count."""
    def __init__(self, hydro_model: str, snow_model: str | None, objective: str, transformation: str,
                 n_complexes: int, k_stop: int, p_convergence_threshold: float, geometric_range_threshold: float,
                 max_evaluations: int, seed: int) -> None: ...
    @property
    def evaluations(self) -> int:
        """Evaluations made by the cycles so far; the population of `init` is not counted."""

class Dds(_Stepping):
    """vardex_rs.calibration.dds.Dds, stepping identically, with its evaluation count."""
    def __init__(self, hydro_model: str, snow_model: str | None, objective: str, transformation: str, r: float,
                 max_evaluations: int, seed: int) -> None: ...
    @property
    def evaluations(self) -> int:
        """Successful evaluations so far, the one of `init` included."""
