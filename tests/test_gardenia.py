"""GARDENIA: water balance from the recorded stores, the full surface store, the quadratic store, the delay."""
import numpy as np
import pytest

import vardex_rs
from helpers import f64, flow_and_states, assert_delayed_split

gardenia = vardex_rs.hydro.gardenia
STORES = ["S", "H", "G", "b"]
DEFAULTS, BOUNDS = gardenia.init()
BOX = [DEFAULTS, BOUNDS[:, 0].copy(), BOUNDS[:, 1].copy(), f64(40, 3, 0.5, 20, 2, 1.5)]


def run(params, p, e):
    return flow_and_states("gardenia", STORES, params, p, e)


@pytest.mark.parametrize("params", BOX)
def test_water_balance(params, camels_forcing):
    data = camels_forcing("01022500")
    p = data["prcp"][:2000]
    pet = vardex_rs.pet.oudin.simulate(data["tmean"], data["doy"], data["lat"])[:2000]
    start = params[0] + 90.0
    # Without PET nothing leaves but streamflow: rain is either out or held by a store or the delay.
    q, s = run(params, p, np.zeros_like(p))
    np.testing.assert_allclose(start + np.cumsum(p), np.cumsum(q) + sum(s[k] for k in STORES),
                               rtol=1e-12, atol=1e-9)
    # With PET, the day's loss is at most the corrected demand and at most what the surface store held.
    q, s = run(params, p, pet)
    held = np.concatenate([[start], sum(s[k] for k in STORES)])
    loss = p - q - np.diff(held)
    surface = np.concatenate([[params[0]], s["S"][:-1]]) + p
    assert np.all(loss >= -1e-9) and np.all(loss <= pet * params[4] + 1e-9) and np.all(loss <= surface + 1e-9)
    assert np.all(s["S"] <= params[0]) and all(np.all(s[k] >= 0) for k in STORES)


def test_still_weather_drains_the_lower_stores_only():
    x = f64(30, 4, 2, 10, 1, 0.5)
    q, s = run(x, np.zeros(300), np.zeros(300))
    assert np.all(s["S"] == 30.0)
    np.testing.assert_allclose(s["H"] + s["G"] + s["b"] + np.cumsum(q), 90.0, rtol=1e-13)
    # The quadratic store keeps c / (c + H) of itself, then loses 1 / x2 of the rest to percolation.
    h = np.concatenate([[10.0], s["H"][:-1]])
    np.testing.assert_allclose(s["H"], h * 8 / (8 + h) * 0.75, rtol=1e-12)
    assert np.all(q > 0) and np.all(np.diff(q[30:]) < 0)


@pytest.mark.parametrize("rain, x2, x3", [(1000.0, 2.0, 0.01), (1000.0, 5.0, 0.2), (0.5, 3.0, 1000.0)])
def test_first_rain_overflows_into_the_quadratic_store(rain, x2, x3):
    x = f64(100, x2, x3, 50, 1, 0.5)
    q, s = run(x, f64(rain, 0), f64(0, 0))
    assert s["S"][0] == 100.0  # the full surface store passes the whole rain on
    h1, c = rain + 10.0, x2 * x3
    assert s["H"][0] == pytest.approx(h1 * c / (c + h1) * (1 - 1 / x2), rel=1e-9)
    if h1 > 100 * c:  # nearly all of it reaches the river the same day
        assert s["H"][0] < c and q[0] + s["b"][0] > h1 - c


@pytest.mark.parametrize("demand", [25.0, 30.0, 1e6])
def test_pet_only_empties_the_surface_store(demand):
    x = f64(50, 4, 2, 10, 2, 2)
    # x5 * E >= S empties it; the lower stores never see PET, and the store refills before it overflows.
    q, s = run(x, f64(0, 20, 0, 0), f64(demand, 0, 0, 0))
    dry_q, dry = run(x, np.zeros(4), np.zeros(4))
    assert list(s["S"]) == [0.0, 20.0, 20.0, 20.0]
    assert np.array_equal(q, dry_q) and all(np.array_equal(s[k], dry[k]) for k in ["H", "G", "b"])
    q, s = run(x, f64(0, 20, 45, 0), f64(demand, 0, 0, 0))
    assert s["S"][2] == 50.0
    assert s["H"][3] + s["G"][3] + s["b"][3] + q.sum() == pytest.approx(90.0 + 15.0, rel=1e-13)


@pytest.mark.parametrize("d, share", [(0.5, 2 / 3), (1.0, 0.5), (1.0 + 1e-9, 1.0), (1.5, 2 / 3), (2.0, 0.5),
                                      (4.25, 0.8), (5.0, 0.5)])
def test_delay_puts_day_zero_flow_on_day_ceil_d_minus_one(d, share):
    q, s = run(np.where(np.arange(6) == 5, d, DEFAULTS), np.zeros(8), np.zeros(8))
    first = q[0] + s["b"][0]  # day 0's routed flow: out now plus still in transit
    assert_delayed_split(q, first, d, share)


def test_squared_overflow_gives_nan_stores_and_zero_flow():
    # A square above the largest float turns the lower stores into NaN; the clamped head gives 0, no error.
    x = DEFAULTS.copy()
    x[5] = 0.5  # two thirds of each day's flow leave the same day
    q, s = run(x, f64(1, 1e200, 1, 1), np.zeros(4))
    assert q[0] > 0 and np.all(q[1:] == 0.0) and np.all(np.isnan(s["H"][1:])) and np.all(np.isnan(s["G"][1:]))


@pytest.mark.parametrize("n", [5, 7])
def test_parameter_count_comes_before_bounds(n):
    with pytest.raises(vardex_rs.VardexValidationError, match=f"^expected 6 params, got {n}$"):
        gardenia.simulate(np.full(n, -1.0), np.ones(3), np.ones(3))
