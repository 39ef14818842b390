"""Xinanjiang: water balance, evaporation bands, capacity curves at their limits, the delay."""
import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64

xaj = vardex_rs.hydro.xinanjiang
DEFAULTS = xaj.init()[0]


def states(params, p, e):
    return vardex.model_states("xinanjiang", params, p, e)


@pytest.mark.parametrize("corner", ["defaults", "lower", "upper"])
def test_water_balance_without_pet(camels_forcing, corner):
    # With no PET nothing leaves but streamflow: rain = outflow + change of the stores and of the delay.
    _, bounds = xaj.init()
    params = {"defaults": DEFAULTS, "lower": bounds[:, 0], "upper": bounds[:, 1]}[corner]
    p = camels_forcing("01022500")["prcp"][:2000]
    q, s = xaj.simulate(params, p, 0 * p), states(params, p, 0 * p)
    assert list(s) == ["Ss", "Sf", "Rf", "Rs", "b"]
    held = s["Ss"] + s["Sf"] + s["Rf"] + s["Rs"] + s["b"]
    start = params[4] + 1.0 + 5.0 + 400.0
    np.testing.assert_allclose(start + np.cumsum(p), np.cumsum(q) + held, rtol=1e-12)
    assert np.all(s["Ss"] <= params[4]) and np.all(s["Sf"] <= params[3])
    assert all(np.all(v >= 0) for v in s.values()) and np.all(q >= 0)


def test_equal_rain_and_pet_is_a_dry_day():
    # P = E leaves soil and free water untouched; only the routing reservoirs drain.
    p = np.random.default_rng(3).gamma(0.6, 6.0, 300)
    wet, dry = states(DEFAULTS, p, p), states(DEFAULTS, np.zeros(300), np.zeros(300))
    for k in wet:
        np.testing.assert_array_equal(wet[k], dry[k], err_msg=k)
    assert np.all(wet["Ss"] == DEFAULTS[4]) and np.all(wet["Sf"] == 1.0)
    # Linear reservoirs: the fast one loses 1 / x2 a day, the slow one 1 / (x3 x2).
    x2, x3 = DEFAULTS[1], DEFAULTS[2]
    np.testing.assert_allclose(wet["Rf"][1:] / wet["Rf"][:-1], 1.0 - 1.0 / x2, rtol=1e-12)
    np.testing.assert_allclose(wet["Rs"][1:] / wet["Rs"][:-1], 1.0 - 1.0 / (x3 * x2), rtol=1e-12)


def test_drainage_split_follows_x1():
    # x1 is the fast reservoir's share of the drainage.
    fast, slow = (states(np.r_[x1, DEFAULTS[1:]], f64(200.0), f64(0.0)) for x1 in (0.99, 0.01))
    assert fast["Rf"][0] > slow["Rf"][0] + 1.0 and fast["Rs"][0] < slow["Rs"][0] - 1.0


def test_evaporation_bands_and_untouched_free_water():
    params = DEFAULTS.copy()
    params[4] = 1000.0
    # r >= 0.9 takes the whole demand, r = 0.5 takes H * r / 0.9, r = 0.05 a tenth of it.
    s = states(params, np.zeros(4), f64(80.0, 9.0, 411.0, 9.0))
    np.testing.assert_allclose(s["Ss"], [920.0, 911.0, 500.0, 495.0], rtol=1e-14)
    assert np.all(s["Sf"] == 1.0)
    # Rain below the PET evaporates in full on top of the soil's share of the rest.
    p, e = f64(0.0, 0.0, 0.0, 4.0), f64(80.0, 9.0, 411.0, 13.0)
    np.testing.assert_array_equal(states(params, p, e)["Ss"], s["Ss"])
    evaporation = vardex.model_fluxes("xinanjiang", params, p, e)["actual_evaporation"]
    np.testing.assert_allclose(evaporation, [80.0, 9.0, 411.0, 9.0], rtol=1e-12)
    np.testing.assert_allclose(states(params, np.zeros(2), f64(950.0, 10.0))["Ss"], [50.0, 49.0], rtol=1e-14)
    # A demand far above the store empties it, never below zero.
    assert states(params, f64(0.0), f64(5000.0))["Ss"][0] == 0.0


def test_capacity_curves_at_their_limits():
    params = DEFAULTS.copy()
    # Starting full the soil takes nothing: the first wet day's rain goes to the free water.
    s = states(params, f64(20.0), f64(0.0))
    assert s["Ss"][0] == params[4] and s["Sf"][0] > 1.0
    # After a dry spell, a huge rain fills both reservoirs, which drain Sf / x7; the rest runs off.
    p, e = f64(0.0, 0.0, 1e6, 0.0), f64(300.0, 300.0, 0.0, 0.0)
    s = states(params, p, e)
    assert s["Ss"][1] < params[4] and s["Ss"][2] == params[4]
    np.testing.assert_allclose(s["Sf"][2], params[3] - params[3] / params[6], rtol=1e-14)
    assert s["b"][2] > 0.99e6
    # From an empty soil (x5 = 1000) the curve's point capacity is 1.25 x5: 625 mm infiltrate
    # x5 (1 - 0.5^1.25); 1250 mm fill it, a little less does not.
    params[4] = 1000.0
    filled = [states(params, f64(0.0, pn), f64(5000.0, 0.0))["Ss"] for pn in (625.0, 1250.0, 1249.0)]
    assert all(ss[0] == 0.0 for ss in filled)
    assert filled[0][1] == pytest.approx(1000.0 * (1.0 - 0.5**1.25), rel=1e-12)
    assert filled[1][1] == 1000.0 and 999.0 < filled[2][1] < 1000.0


@pytest.mark.parametrize(
    "x6, k, v", [(0.5, 1, 2 / 3), (1.0, 1, 0.5), (1.0 + 1e-9, 2, 1.0), (5.25, 6, 0.8), (10.0, 10, 0.5)]
)
def test_delay_split(x6, k, v):
    # The first day's runoff Q0 is what reaches the outlet that day plus what the delay still holds.
    params = DEFAULTS.copy()
    params[5] = x6
    p, e = np.r_[30.0, np.zeros(10)], np.zeros(11)
    q = xaj.simulate(params, p, e)
    q0 = q[0] + states(params, p[:1], e[:1])["b"][0]
    assert q0 > 0.0 and np.all(q[: k - 1] == 0.0)
    assert q[k - 1] == pytest.approx(v * q0, rel=1e-8)
