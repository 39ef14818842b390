"""TOPMODEL: water balance, the storage index's logistic shares, recessions, interception, delay, overflow."""
import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64, flow_and_states, assert_delayed_split

topmodel = vardex_rs.hydro.topmodel
STORES = ["A", "B", "R", "b"]
DEFAULTS, BOUNDS = topmodel.init()
BOX = [DEFAULTS, BOUNDS[:, 0].copy(), BOUNDS[:, 1].copy(), f64(50, 5, 20, 2.5, 30, -2, 3)]


def run(params, p, e):
    return flow_and_states("topmodel", STORES, params, p, e)


@pytest.mark.parametrize("params", BOX)
def test_water_balance(params, camels_forcing):
    data = camels_forcing("01022500")
    p = data["prcp"][:2000]
    pet = vardex_rs.pet.oudin.simulate(data["tmean"], data["doy"], data["lat"])[:2000]
    start = 10.0 - 50.0 + params[0] * 0.2
    # Without PET rain is streamflow or still held by a store or the delay.
    q, s = run(params, p, np.zeros_like(p))
    held = sum(s[k] for k in STORES)
    np.testing.assert_allclose(start + np.cumsum(p), np.cumsum(q) + held, rtol=1e-12, atol=1e-9)
    # With PET the interception store loses at most the demand, and the index gains at most what is left of it.
    # (At the lower corner a base flow of 1e20 mm can overshoot the index, hence the rounding allowance.)
    q, s = run(params, p, pet)
    held = np.concatenate([[start], sum(s[k] for k in STORES)])
    loss = p - q - np.diff(held)
    assert np.all(np.abs(loss) <= pet + 1e-9 + 1e-15 * np.maximum(np.abs(held[1:]), np.abs(held[:-1])))
    assert np.all(s["A"] >= 0) and np.all(s["A"] <= params[2] + 1e-12) and np.all(s["R"] >= 0)


@pytest.mark.parametrize("rain, offset, x5, kept", [
    (True, -5.0, 10.0, 0.5), (True, 10.0, 200.0, 1.0), (True, -10.0, 200.0, 0.0),
    (False, -5.0, 10.0, 0.5), (False, 10.0, 200.0, 0.0), (False, -10.0, 200.0, 1.0)])
def test_logistic_shares_of_rain_and_demand_taken_by_the_index(rain, offset, x5, kept):
    # Day 0 brings 20 mm of effective rain, or 8 mm of demand left after emptying the interception store.
    # x2 = 0.1 makes the base flow negligible, so the index moves by the share the logistic curve gives it:
    # the rain not running off, or the evaporation term (added to the index). With x5 = 10 the initial
    # index -50 sits at the midpoint of an offset of -5.
    x = f64(100, 0.1, 10, 1, x5, offset if rain else 0.0, 0.0 if rain else offset)
    _, s = run(x, f64(20.0 if rain else 0.0), f64(0.0 if rain else 18.0))
    water = 20.0 if rain else 8.0
    assert (s["B"][0] + 50.0) / water == pytest.approx(kept, rel=0, abs=0 if kept == 0.5 else 1e-4)
    assert s["A"][0] == (10.0 if rain else 0.0)
    # The balance names what the evaporation term added to the index as a gain.
    gain = vardex.model_fluxes("topmodel", x, f64(20.0 if rain else 0.0), f64(0.0 if rain else 18.0))
    assert gain["groundwater_evaporation_gain"][0] == (0.0 if rain else pytest.approx(s["B"][0] + 50.0, rel=1e-9))


@pytest.mark.parametrize("params", BOX)
def test_evaporation_gain_is_at_most_the_demand_interception_left(params, camels_forcing):
    data = camels_forcing("03015500")
    p = data["prcp"][:2000]
    pet = vardex_rs.pet.oudin.simulate(data["tmean"], data["doy"], data["lat"])[:2000]
    f = vardex.model_fluxes("topmodel", params, p, pet)
    left, gain = pet - f["actual_evaporation"], f["groundwater_evaporation_gain"]
    assert np.all(left >= 0.0) and np.all(gain >= 0.0) and np.all(gain <= left * (1.0 + 1e-15))
    assert np.all(gain[left == 0.0] == 0.0) and np.any(left == 0.0) and np.any(gain > 0.0)


def test_dry_weather_recessions():
    # No rain or demand and interception at capacity: no effective rain, so R empties hyperbolically
    # (1/R grows by 1/x1 a day), and the base flow is x2 at B = 0 and falls by e for every x2 the index drops.
    x = f64(40, 20, 10, 3, 100, 0, 0)
    q, s = run(x, np.zeros(80), np.zeros(80))
    assert np.all(s["A"] == 10.0)
    np.testing.assert_allclose(np.diff(1 / s["R"]), 1 / 40, rtol=1e-9)
    b = np.concatenate([[-50.0], s["B"]])
    qb = -np.diff(b)
    np.testing.assert_allclose(qb / np.exp(b[:-1] / 20), 20.0, rtol=1e-9)
    np.testing.assert_allclose(s["B"] + s["R"] + s["b"] + np.cumsum(q), -50.0 + 8.0, rtol=1e-13, atol=1e-12)


@pytest.mark.parametrize("rain, pet", [(0.0, 30.0), (2.0, 40.0), (5.0, 35.0 + 1e-9)])
def test_demand_above_interception_water_empties_it(rain, pet):
    x = f64(40, 20, 30, 3, 100, 0, 0)
    _, s = run(x, f64(20, rain, 0), f64(0, pet, 0))  # day 0 fills the store to its capacity 30
    assert s["A"][0] == 30.0 and s["A"][1] == 0.0 and s["A"][2] == 0.0
    assert 1 / s["R"][1] - 1 / s["R"][0] == pytest.approx(1 / 40, rel=1e-9)  # no effective rain reached R


@pytest.mark.parametrize("d, share", [(0.5, 2 / 3), (1.0, 0.5), (1.0 + 1e-9, 1.0), (1.5, 2 / 3), (2.0, 0.5),
                                      (5.25, 0.8), (10.0, 0.5)])
def test_delay_puts_day_zero_flow_on_day_ceil_d_minus_one(d, share):
    q, s = run(np.where(np.arange(7) == 3, d, DEFAULTS), np.zeros(12), np.zeros(12))
    first = q[0] + s["b"][0]  # day 0's routed flow: out now plus still in transit
    assert_delayed_split(q, first, d, share)


def test_overflowing_base_flow_is_reported_unless_the_head_is_nan():
    x = f64(100, 0.1, 10, 0.5, 200, 10, 0)  # a storm lifts the index far enough for exp(B / x2) to overflow
    with pytest.raises(vardex_rs.VardexNumericalError, match="TOPMODEL simulation: non-finite value inf at index 0$"):
        topmodel.simulate(x, f64(1000, 0, 0), np.zeros(3))
    x[3] = 2.5  # no weight on days 0 and 1: 0 * inf puts NaN at the head, which the output clamp turns into 0
    with pytest.raises(vardex_rs.VardexNumericalError, match="non-finite value inf at index 2$"):
        topmodel.simulate(x, f64(1000, 0, 0, 0), np.zeros(4))


@pytest.mark.parametrize("count", [6, 8])
def test_parameter_count_is_checked_before_bounds(count):
    with pytest.raises(vardex_rs.VardexValidationError, match=f"^expected 7 params, got {count}$"):
        topmodel.simulate(np.full(count, -1e9), f64(1), f64(1))
