"""HYMOD: water balance from the recorded stores, dry days, saturating storms, the delay's split."""
import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64, flow_and_states

hymod = vardex_rs.hydro.hymod
STORES = ["S", "F1", "F2", "F3", "L", "b"]
BOX = [f64(750.5, 1.05, 0.5, 2.55, 500.5, 5.5), f64(1, 0.1, 0.01, 0.1, 1, 1), f64(1500, 2, 0.99, 5, 1000, 10),
       f64(40, 0.4, 0.8, 1.0, 2, 1.5)]


def run(params, p, e):
    return flow_and_states("hymod", STORES, params, p, e)


def start(params):
    # Soil at 20 % of its maximum capacity (below the mean capacity for every x2), 1 + 1 + 1 + 300 routed.
    return 0.2 * params[0] + 303.0


@pytest.mark.parametrize("params", BOX)
def test_water_balance(params, camels_forcing):
    data = camels_forcing("01022500")
    p = data["prcp"][:2000]
    pet = vardex_rs.pet.oudin.simulate(data["tmean"], data["doy"], data["lat"])[:2000]
    smax = params[0] / (params[1] + 1.0)
    # Without PET, rain is either streamflow or still held by a store or the delay.
    q, s = run(params, p, np.zeros_like(p))
    held = sum(s[k] for k in STORES)
    np.testing.assert_allclose(start(params) + np.cumsum(p), np.cumsum(q) + held, rtol=1e-12, atol=1e-9)
    # With PET, the day's loss is evaporation from the soil: between 0 and the day's PET.
    q, s = run(params, p, pet)
    held = np.concatenate([[start(params)], sum(s[k] for k in STORES)])
    loss = p - q - np.diff(held)
    assert np.all(loss >= -1e-9) and np.all(loss <= pet + 1e-9)
    evaporation = vardex.model_fluxes("hymod", params, p, pet)["actual_evaporation"]
    np.testing.assert_allclose(evaporation, loss, atol=1e-9)
    assert np.all(s["S"] <= smax * (1 + 1e-12))
    assert all(np.all(s[k] >= 0) for k in STORES)


def test_dry_days_take_full_pet_and_drain_the_reservoirs():
    params = f64(100.0, 1.0, 0.5, 1.0, 2.0, 3.0)
    q, s = run(params, np.zeros(30), np.full(30, 3.0))
    # 20 mm of soil water lose 3 mm a day down to 0 and no further.
    np.testing.assert_allclose(s["S"], np.maximum(20.0 - 3.0 * np.arange(1, 31), 0.0), atol=1e-12)
    # No effective rainfall: the routing reservoirs only empty into the stream.
    routed = s["F1"] + s["F2"] + s["F3"] + s["L"] + s["b"]
    np.testing.assert_allclose(routed + np.cumsum(q), 303.0, rtol=1e-14)
    assert np.all(q[1:] > 0)
    # Linear recessions: the top fast reservoir with constant x6 = 3, the slow one with x5 * x6 = 6.
    np.testing.assert_allclose(s["F1"][1:] / s["F1"][:-1], 1 - 1 / 3, rtol=1e-12)
    np.testing.assert_allclose(s["L"][1:] / s["L"][:-1], 1 - 1 / 6, rtol=1e-12)


@pytest.mark.parametrize("x3", [0.01, 0.99])
def test_storm_fills_soil_and_excess_goes_fast(x3):
    params = f64(500.0, 1.5, x3, 0.1, 10.0, 2.0)
    smax = 500.0 / 2.5
    out = {}
    for rain in (2000.0, 3000.0):
        q, s = run(params, f64(rain), f64(0.0))
        assert s["S"][0] == pytest.approx(smax, rel=1e-14)
        out[rain] = (q[0] + s["b"][0] + s["F1"][0] + s["F2"][0] + s["F3"][0], s["L"][0])
    # Past saturation every extra mm is ER1, which bypasses the x3 split and the slow reservoir.
    assert out[3000.0][1] == pytest.approx(out[2000.0][1], rel=1e-12)
    assert out[3000.0][0] - out[2000.0][0] == pytest.approx(1000.0, rel=1e-12)


@pytest.mark.parametrize("x4, w0, zeros", [(0.1, 1 / 1.1, 0), (0.5, 2 / 3, 0), (1.0, 0.5, 0), (1.0 + 1e-9, 0.0, 1),
                                           (2.0, 0.0, 1), (2.5, 0.0, 2), (5.0, 0.0, 4)])
def test_delay_split(x4, w0, zeros):
    params = f64(750.5, 1.05, 0.5, x4, 500.5, 5.5)
    q, s = run(params, np.zeros(8), np.zeros(8))
    # Day 0's runoff is q[0] plus what the delay still holds; w[0] of it leaves the same day.
    assert q[0] / (q[0] + s["b"][0]) == pytest.approx(w0, rel=1e-12, abs=1e-15)
    assert np.all(q[:zeros] == 0) and np.all(q[zeros:] > 0)
