"""The water a calibrated run leans on: its balance over a scored period, CemaNeige in front when it ran, and the
shares of precipitation its formulation created or removed."""
from __future__ import annotations

from typing import Any

import numpy as np
import vardex_rs.snow.cemaneige

import vardex._core as _core
from vardex.data import Catchment
from vardex.periods import Window
from vardex.simulation import window_forcing

__all__ = ["period_balance", "leaning", "flags", "CREATED_FLAG", "MODEL_TERMS"]

# A run is flagged when the water its formulation created exceeds this share of the precipitation.
CREATED_FLAG = 0.05
# The terms of every model's balance that are not a source or sink of its own.
MODEL_TERMS = ("precipitation", "actual_evaporation", "streamflow", "storage_change", "residual")


def period_balance(catchment: Catchment, model: str, params: dict[str, float], snow: bool,
                   bands: np.ndarray | None, win: Window) -> dict[str, float]:
    """Totals (mm) over the scored days of ``win``, simulated as the calibration simulated them (warm-up and
    spin-up in front): ``precipitation``, ``potential_evaporation``, with snow ``snow_storage_change`` (the packs
    of every layer, end minus start) and ``melt``, then the model's ``actual_evaporation``, ``streamflow``, its
    source/sink terms, ``storage_change`` and ``residual`` = precipitation + sources/sinks − evaporation −
    streamflow − storage changes (snow included), zero up to rounding."""
    forcing = window_forcing(catchment, win)
    first = win.repeated + win.warmup
    values = np.array(list(params.values()), dtype=np.float64)
    rain = forcing.precipitation
    out = {"precipitation": float(_total(rain[first:])), "potential_evaporation": float(_total(forcing.pet[first:]))}
    snow_change = 0.0
    if snow:
        assert bands is not None
        median = float(catchment.median_elevation)
        liquid = vardex_rs.snow.cemaneige.simulate(values[:3], rain, forcing.temperature, forcing.day_of_year, bands,
                                                   median)
        states = _core.cemaneige_states(values[:3], rain, forcing.temperature, forcing.day_of_year, bands, median)
        fluxes = _core.cemaneige_fluxes(values[:3], rain, forcing.temperature, forcing.day_of_year, bands, median)
        for j in range(len(bands)):
            pack = states[f"G_{j}"]
            snow_change += float(pack[-1]) - (float(pack[first - 1]) if first else 0.0)
        out["snow_storage_change"] = snow_change
        out["melt"] = float(sum(_total(fluxes[f"melt_{j}"][first:]) for j in range(len(bands))))
        rain, values = liquid, values[3:]
    model_terms = _core.water_balance(model, values, rain, forcing.pet, first=first)
    residual = model_terms.pop("residual")
    liquid_total = model_terms.pop("precipitation")
    out.update(model_terms)
    # The snow's own balance (precipitation = liquid water + pack change) joined to the model's.
    out["residual"] = residual + ((out["precipitation"] - liquid_total) - snow_change) if snow else residual
    return out


def _total(values: np.ndarray) -> float:
    total = 0.0
    for v in values.tolist():     # in day order, as the model's own totals
        total += v
    return total


def leaning(balance: dict[str, float]) -> dict[str, float]:
    """The model's own sources and sinks as shares of the precipitation (signed, positive into the model), the
    water they ``created_water`` and ``lost_water`` (shares), and ``aet_pet``, actual over potential
    evaporation."""
    rain = balance["precipitation"]
    terms = {k: v for k, v in balance.items()
             if k not in MODEL_TERMS + ("potential_evaporation", "snow_storage_change", "melt")}
    share = {k: (v / rain if rain > 0 else float("nan")) for k, v in terms.items()}
    pet = balance["potential_evaporation"]
    created = float(sum(max(v, 0.0) for v in share.values())) if rain > 0 else float("nan")
    lost = float(sum(max(-v, 0.0) for v in share.values())) if rain > 0 else float("nan")
    share["created_water"], share["lost_water"] = created, lost
    share["aet_pet"] = balance["actual_evaporation"] / pet if pet > 0 else float("nan")
    return share


def flags(water: dict[str, Any] | None) -> list[str]:
    """What a reader should know of the water a run leaned on."""
    if not water:
        return []
    out = []
    if water["created_water"] > CREATED_FLAG:
        out.append(f"created water {100 * water['created_water']:.0f} % of P")
    if water["aet_pet"] > 1.0:
        out.append(f"evaporation {water['aet_pet']:.2f} x PET")
    return out
