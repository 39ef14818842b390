"""Write the type stubs of the vardex_rs tree (python/vardex_rs-stubs) from the installed module, or check them
(--check, exit 1 when stale). The runtime functions carry only their text signatures; the stubs carry the
documentation editors and type checkers show: units, shapes and the exceptions raised."""
from __future__ import annotations

import sys
from pathlib import Path

import vardex_rs

OUT = Path(__file__).resolve().parent.parent / "python" / "vardex_rs-stubs"
ARRAY = "npt.NDArray[np.float64]"
DAYS = "npt.NDArray[np.uint64]"
HEAD = "import numpy as np\nimport numpy.typing as npt\n"

MODEL = '''"""{upper}: {n}-parameter daily rainfall-runoff model.

Parameters (bounds inclusive, defaults their midpoints):
{table}
"""
{head}
param_names: list[str]
param_descriptions: list[str]
param_descriptions_fr: list[str]

def init() -> tuple[{array}, {array}]:
    """(defaults, bounds): defaults of shape ({n},), bounds of shape ({n}, 2) holding [lower, upper]."""

def simulate(params: {array}, precipitation: {array}, pet: {array}) -> {array}:
    """Streamflow (mm/day), one value per day, from precipitation and PET (mm/day, equal lengths, finite, >= 0).

    Raises VardexValidationError for a wrong parameter count, a parameter outside its bounds, unequal or empty
    series, a non-finite or negative input; VardexNumericalError for a non-finite result. Arrays must be 1-D
    float64 NumPy arrays (any stride), else TypeError.
    """
'''

FIXED = {
    "__init__.pyi": '''"""Lumped conceptual hydrological modelling at a daily time step."""
from . import calibration as calibration, hydro as hydro, metrics as metrics, pet as pet, snow as snow

__version__: str

class VardexError(Exception):
    """Base of the module's own errors."""

class VardexNumericalError(VardexError):
    """A degenerate or non-finite result."""

class VardexValidationError(VardexError):
    """Bad input: counts, bounds, lengths, non-finite or negative values."""
''',
    "calibration/__init__.pyi": "from . import dds as dds, sce as sce\n",
    "pet/__init__.pyi": "from . import oudin as oudin\n",
    "snow/__init__.pyi": "from . import cemaneige as cemaneige\n",
    "metrics.pyi": HEAD + f'''
def calculate_rmse(observations: {ARRAY}, simulations: {ARRAY}) -> float:
    """Root mean square error (units of the series). VardexValidationError for unequal or empty arrays or a NaN
    or infinite value (observations scanned first)."""

def calculate_nse(observations: {ARRAY}, simulations: {ARRAY}) -> float:
    """Nash-Sutcliffe efficiency (<= 1). As calculate_rmse; VardexNumericalError for constant observations."""

def calculate_kge(observations: {ARRAY}, simulations: {ARRAY}) -> float:
    """Kling-Gupta efficiency (<= 1). As calculate_rmse; VardexNumericalError for zero variance or zero mean."""
''',
    "pet/oudin.pyi": HEAD + f'''
def simulate(temperature: {ARRAY}, day_of_year: {DAYS}, latitude: float) -> {ARRAY}:
    """Oudin PET (mm/day) from daily mean air temperature (degC), day of year (1-366, uint64) and latitude
    (degrees, -90..90). VardexValidationError for unequal or empty series, non-finite or out-of-range values."""
''',
    "snow/cemaneige.pyi": HEAD + f'''
param_names: list[str]
"""["ctg", "kf", "qnbv"]: ctg, the weight of the previous day's thermal state of the snow pack in its update (-,
0..1); kf, the degree-day melt factor (mm/degC/day, 0..20); qnbv, the snow amount whose 90 % is the pack below
which melt is slowed (mm, 0..2000)."""

def init() -> tuple[{ARRAY}, {ARRAY}]:
    """(defaults, bounds) of ctg, kf, qnbv: defaults [0.25, 3.74, 350], bounds of shape (3, 2)."""

def simulate(params: {ARRAY}, precipitation: {ARRAY}, temperature: {ARRAY}, day_of_year: {DAYS},
             elevation_layers: {ARRAY}, median_elevation: float) -> {ARRAY}:
    """Liquid water (rain plus melt, mm/day) leaving the snow cover of the elevation layers (m), from
    precipitation (mm/day) and air temperature (degC) at median_elevation (m). VardexValidationError for bad
    inputs, VardexNumericalError for a non-finite result."""
''',
}

CALIBRATOR = HEAD + '''
class {cls}:
    """{what} Every failure is a ValueError carrying the message; a second concurrent init or step on the same
    object raises RuntimeError("Already borrowed")."""

    def __init__(self, {ctor}) -> None: ...
    def init(self, precipitation: {array}, temperature: {array} | None, pet: {array},
             day_of_year: {days} | None, elevation_bands: {array} | None, median_elevation: float | None,
             observations: {array}, warmup_steps: int) -> None:
        """Evaluates the starting point. Observations may hold NaN for missing days; the first warmup_steps
        days are not scored. The snow inputs are required with snow_model="cemaneige", else None."""
    def step(self, precipitation: {array}, temperature: {array} | None, pet: {array},
             day_of_year: {days} | None, elevation_bands: {array} | None, median_elevation: float | None,
             observations: {array}, warmup_steps: int) -> tuple[bool, {array}, {array}, {array}]:
        """One iteration: (done, best parameters (snow first), best simulation (mm/day), [RMSE, NSE, KGE])."""
'''

CALIBRATORS = {
    "calibration/sce.pyi": dict(
        cls="Sce", what="SCE-UA calibrator of a model (optionally after CemaNeige), reproducible from seed.",
        ctor="hydro_model: str, snow_model: str | None, objective: str, transformation: str, n_complexes: int, "
             "k_stop: int,\n                 p_convergence_threshold: float, geometric_range_threshold: float, "
             "max_evaluations: int, seed: int"),
    "calibration/dds.pyi": dict(
        cls="Dds", what="DDS calibrator of a model (optionally after CemaNeige), reproducible from seed.",
        ctor="hydro_model: str, snow_model: str | None, objective: str, transformation: str, r: float,\n"
             "                 max_evaluations: int, seed: int"),
}


def stubs() -> dict[str, str]:
    files = dict(FIXED)
    for path, fields in CALIBRATORS.items():
        files[path] = CALIBRATOR.format(array=ARRAY, days=DAYS, **fields)
    models = [k for k in vars(vardex_rs.hydro) if not k.startswith("__")]
    files["hydro/__init__.pyi"] = "".join(f"from . import {m} as {m}\n" for m in models)
    for name in models:
        module = getattr(vardex_rs.hydro, name)
        _, bounds = module.init()
        table = "\n".join(f"    {p}: {d} [{lo:g}, {hi:g}]"
                          for p, d, (lo, hi) in zip(module.param_names, module.param_descriptions, bounds))
        files[f"hydro/{name}.pyi"] = MODEL.format(upper=name.upper(), n=len(module.param_names), table=table,
                                                  head=HEAD, array=ARRAY)
    return files


def main() -> int:
    wanted = stubs()
    current = {str(p.relative_to(OUT)): p.read_text(encoding="utf-8") for p in OUT.rglob("*.pyi")} \
        if OUT.exists() else {}
    if "--check" in sys.argv[1:]:
        return 0 if current == wanted else 1
    for rel, text in wanted.items():
        path = OUT / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")
    for rel in set(current) - set(wanted):
        (OUT / rel).unlink()
    return 0


if __name__ == "__main__":
    sys.exit(main())
