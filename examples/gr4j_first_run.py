"""A first GR4J run on a real catchment: Narraguagus River at Cherryfield, Maine (CAMELS 01022500).

Oudin PET from the Daymet temperatures, CemaNeige turning snow into liquid water, GR4J with its default
parameters, scored against the observed streamflow after a one-year warm-up.
"""
import numpy as np

import vardex
import vardex_rs

GAUGE = "01022500"

catchment = vardex.load_camels(GAUGE)
observed, pet = catchment.observed, catchment.pet

snow_defaults, _ = vardex_rs.snow.cemaneige.init()
layers = catchment.median_elevation + np.array([-50.0, 0.0, 50.0])
liquid = vardex_rs.snow.cemaneige.simulate(snow_defaults, catchment.precipitation, catchment.temperature,
                                           catchment.day_of_year, layers, catchment.median_elevation)

defaults, bounds = vardex_rs.hydro.gr4j.init()
flow = vardex_rs.hydro.gr4j.simulate(defaults, liquid, pet)

window = slice(365, None)
keep = np.isfinite(observed[window])
obs, sim = observed[window][keep], flow[window][keep]
print("GR4J defaults", {name: float(v) for name, v in zip(vardex_rs.hydro.gr4j.param_names, defaults)})
print(f"{len(flow)} days simulated; mean flow {flow[window].mean():.2f} mm/d, observed {obs.mean():.2f} mm/d")
print(f"NSE {vardex_rs.metrics.calculate_nse(obs, sim):.3f}  KGE {vardex_rs.metrics.calculate_kge(obs, sim):.3f}"
      f"  RMSE {vardex_rs.metrics.calculate_rmse(obs, sim):.3f} mm/d (defaults, uncalibrated)")
