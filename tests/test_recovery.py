"""Calibration finds known parameters: flow simulated with them on real forcing (CAMELS 01022500, Oudin PET) is
calibrated by SCE-UA and DDS, which must hand back parameters close to the ones that made it.

Tolerances: the worst relative error over seeds 1-10 of each case, times about two. The gauge's gaps (its last
year) stay missing in the synthetic observations."""
import numpy as np
import pytest

import vardex_rs
from vardex_rs.calibration.dds import Dds
from vardex_rs.calibration.sce import Sce

GAUGE, WARMUP = "01022500", 365
GR4J = np.array([350.0, 0.5, 90.0, 1.7])
SNOW = np.array([0.7, 5.0, 100.0])  # ctg, kf, qnbv: long thermal memory, small pack threshold


@pytest.fixture
def inputs(camels_forcing, camels_streamflow_mm):
    d = camels_forcing(GAUGE)
    pet = vardex_rs.pet.oudin.simulate(d["tmean"], d["doy"], d["lat"])
    forcing = dict(precipitation=d["prcp"], temperature=d["tmean"], pet=pet, day_of_year=d["doy"],
                   elevation_bands=d["elev_mean"] + np.array([-200.0, 0.0, 200.0]),
                   median_elevation=d["elev_mean"], warmup_steps=WARMUP)  # the mean elevation stands in for the median
    return forcing, np.isnan(camels_streamflow_mm(GAUGE))


def chain(params, f):
    """The flow of a parameter vector: CemaNeige's liquid water into GR4J when the vector leads with snow parameters."""
    water = f["precipitation"]
    if len(params) == 7:
        water = vardex_rs.snow.cemaneige.simulate(params[:3], water, f["temperature"], f["day_of_year"],
                                                  f["elevation_bands"], f["median_elevation"])
    return vardex_rs.hydro.gr4j.simulate(params[-4:], water, f["pet"])


def sce(snow):
    return Sce("gr4j", snow, "nse", "none", 3, 10, 1e-6, 1e-5, 30000, 1)


def dds(snow):
    return Dds("gr4j", snow, "nse", "none", 0.2, 2000, 1)


@pytest.mark.parametrize("make, snow, rtol, lowest_nse", [
    # seen: alone at most 1.3e-5; with snow ctg 0.9 %, x2 1.4 %, the others 0.3 %
    (sce, None, [1e-3] * 4, 1 - 1e-9),
    (sce, "cemaneige", [0.03, 0.01, 0.01, 0.01, 0.03, 0.01, 0.01], 0.9999),
    # seen x1 2.9 %, x2 15 %, x3 2.1 %, x4 0.7 %
    (dds, None, [0.06, 0.3, 0.05, 0.02], 0.9995),
    # with snow, kf and qnbv trade off against x1 and x2 along a valley DDS does not leave on this budget (seen:
    # kf -10 to +204 %, qnbv -14 to +355 %, ctg 7.1 %, NSE 0.9907 to 0.9997): only ctg and the fit are checked
    (dds, "cemaneige", [0.15] + [np.inf] * 6, 0.98),
], ids=["sce", "sce-snow", "dds", "dds-snow"])
def test_calibration_recovers_known_parameters(make, snow, rtol, lowest_nse, inputs):
    f, gaps = inputs
    truth = np.concatenate([SNOW, GR4J]) if snow else GR4J
    obs = chain(truth, f)
    obs[gaps] = np.nan
    obj = make(snow)
    obj.init(**f, observations=obs)
    for _ in range(20000):
        done, params, sim, scores = obj.step(**f, observations=obs)
        if done:
            break
    assert done
    np.testing.assert_array_equal(sim, chain(params, f))  # the simulation handed back is that of the parameters
    window = np.isfinite(obs) & (np.arange(len(obs)) >= WARMUP)
    assert scores[1] == vardex_rs.metrics.calculate_nse(obs[window], sim[window]) > lowest_nse
    assert np.all(np.abs(params - truth) <= np.array(rtol) * truth), (params - truth) / truth
