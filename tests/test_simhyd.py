"""SIMHYD: water balance from the recorded stores, interception, infiltration capacity, spill, the delay."""
import numpy as np
import pytest

import vardex_rs
from helpers import f64, flow_and_states, assert_delayed_split

simhyd = vardex_rs.hydro.simhyd
STORES = ["S", "G", "R", "b"]
DEFAULTS, BOUNDS = simhyd.init()
BOX = [DEFAULTS, BOUNDS[:, 0].copy(), BOUNDS[:, 1].copy(), f64(2, 5, 3, 1, 1, 2, 3, 40)]


def run(params, p, e):
    return flow_and_states("simhyd", STORES, params, p, e)


@pytest.mark.parametrize("params", BOX)
def test_water_balance(params, camels_forcing):
    data = camels_forcing("01022500")
    p = data["prcp"][:2000]
    pet = vardex_rs.pet.oudin.simulate(data["tmean"], data["doy"], data["lat"])[:2000]
    start = params[1] * 0.5 + 81.0
    # Without PET nothing is intercepted: rain is streamflow or still held by a store or the delay.
    q, s = run(params, p, np.zeros_like(p))
    held = sum(s[k] for k in STORES)
    np.testing.assert_allclose(start + np.cumsum(p), np.cumsum(q) + held, rtol=1e-12, atol=1e-9)
    # With PET, the day's loss (interception and soil evaporation) lies between 0 and the day's PET.
    q, s = run(params, p, pet)
    held = np.concatenate([[start], sum(s[k] for k in STORES)])
    loss = p - q - np.diff(held)
    assert np.all(loss >= -1e-9) and np.all(loss <= pet + 1e-9)
    assert np.all(s["S"] <= params[1]) and all(np.all(s[k] >= 0) for k in STORES)


def test_still_weather_empties_groundwater_and_routing_store():
    x = f64(2, 40, 3, 1, 4, 2, 3, 40)
    q, s = run(x, np.zeros(200), np.zeros(200))
    assert np.all(s["S"] == 20.0)  # no rain, no demand: the soil neither fills nor dries
    np.testing.assert_allclose(s["G"][1:] / s["G"][:-1], 1 - 1 / 12, rtol=1e-13)
    np.testing.assert_allclose(s["G"] + s["R"] + s["b"] + np.cumsum(q), 81.0, rtol=1e-13)
    assert np.all(q > 0) and np.all(np.diff(q[5:]) < 0)


@pytest.mark.parametrize("rain, pet", [(2.0, 5.0), (1.5, 1.5), (0.5, 0.7)])
def test_rain_up_to_interception_acts_as_less_pet(rain, pet):
    # x1 = 2: a day whose rain is at most min(x1, E) never reaches the soil, only lowers the demand on it.
    x = f64(2, 5, 3, 1, 4, 2, 3, 40)
    p, e = f64(10, 0, rain, 0, 0), f64(0, 1, pet, 0.5, 9)
    q, s = run(x, p, e)
    p[2], e[2] = 0.0, pet - rain
    q0, s0 = run(x, p, e)
    assert np.array_equal(q, q0) and all(np.array_equal(s[k], s0[k]) for k in STORES)


def test_infiltration_capacity_at_dry_and_full_soil():
    # x2 < 10: a large demand empties the soil; then the dry soil takes exactly x8 and the rest runs off.
    x = f64(1, 5, 10, 1, 4, 2, 3, 2)
    q, s = run(x, f64(0, 50), f64(100, 0))
    assert s["S"][0] == 0.0 and s["S"][1] == 2.0
    assert s["G"][1] == pytest.approx(s["G"][0] * (1 - 1 / 40), rel=1e-14)
    routed = (s["R"][1] - s["R"][0]) + (q[1] + s["b"][1] - s["b"][0])  # day 1 into the routing store
    assert routed == pytest.approx(48.0 + s["G"][0] / 40, rel=1e-13)
    # A storm fills the soil and spills into groundwater the same day; at capacity it takes x8 * exp(-2).
    x = f64(1, 10, 1000, 1, 500, 1000, 1000, 100)
    out = {}
    for rain in (1000.0, 2000.0):
        q, s = run(x, f64(1000, rain), f64(0, 0))
        assert np.all(s["S"] == 10.0) and s["G"][0] > 80.0 + 20.0
        out[rain] = s
    assert out[1000.0]["G"][1] == out[2000.0]["G"][1]
    assert out[2000.0]["R"][1] - out[1000.0]["R"][1] == pytest.approx(1000.0 * (1 - 1 / 500), rel=1e-12)
    into_ground = out[1000.0]["G"][1] / (1 - 1 / 500000) - out[1000.0]["G"][0]
    assert into_ground / (1 - 1 / 1000) == pytest.approx(100 * np.exp(-2.0), rel=1e-10)


@pytest.mark.parametrize("d, share", [(0.5, 2 / 3), (1.0, 0.5), (1.0 + 1e-9, 1.0), (1.5, 2 / 3), (2.0, 0.5),
                                      (4.25, 0.8), (5.0, 0.5)])
def test_delay_puts_day_zero_flow_on_day_ceil_d_minus_one(d, share):
    q, s = run(np.where(np.arange(8) == 3, d, DEFAULTS), np.zeros(8), np.zeros(8))
    first = q[0] + s["b"][0]  # day 0's routed flow: out now plus still in transit
    assert_delayed_split(q, first, d, share)


def test_overflow_reported_unless_the_head_is_nan():
    x = DEFAULTS.copy()
    x[3] = 1.0  # the flow that overflows reaches the outlet the same day
    with pytest.raises(vardex_rs.VardexNumericalError, match="SIMHYD simulation: non-finite value inf at index 1"):
        simhyd.simulate(x, np.full(4, 1e308), np.zeros(4))
    # With no same-day ordinate, 0 * inf puts NaN at the head, which the output clamp turns into 0.
    x[3] = 2.75
    assert np.all(simhyd.simulate(x, np.full(4, 1e308), np.zeros(4)) == 0.0)
