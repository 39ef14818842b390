"""CREC: the rain split, evaporation from the production store, the delay, and the water balance."""
import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64

crec = vardex_rs.hydro.crec
DEFAULTS, BOUNDS = crec.init()
START = 250.0 + 10.0 + 100.0  # initial Sp + Ss + Sr


def states(params, p, e):
    return vardex.model_states("crec", f64(*params), p, e)


def box_samples(n, seed):
    rng = np.random.default_rng(seed)
    lo, hi = BOUNDS[:, 0], BOUNDS[:, 1]
    return [lo, hi, DEFAULTS] + [lo + rng.uniform(size=6) * (hi - lo) for _ in range(n)]


def test_rain_split_by_production_store_level():
    p, e = f64(8.0, 0.0), f64(0.0, 0.0)
    # Sp at x3: half the rain to the surface, the other half kept.
    assert states([500.5, 500.5, 250.0, 50.0, 500.5, 2.0], p, e)["Sp"][0] == 254.0
    # A store far below x3 overflows the logistic's exponential: no rain reaches the surface.
    assert states([500.5, 500.5, 1000.0, 1.0, 500.5, 2.0], p, e)["Sp"][0] == 258.0
    # The fuller the store is relative to x3, the more rain goes to the surface.
    kept = [states([500.5, 500.5, x3, 50.0, 500.5, 2.0], p, e)["Sp"][0] - 250.0 for x3 in (0.0, 200.0, 300.0, 600.0)]
    assert 0.0 < kept[0] < kept[1] < 4.0 < kept[2] < kept[3] < 8.0


def test_x3_lower_bound():
    p, e = f64(5.0, 0.0, 12.0), f64(1.0, 2.0, 0.5)
    params = DEFAULTS.copy()
    params[2] = 0.0
    at_zero = crec.simulate(params, p, e)
    params[2] = -0.0
    np.testing.assert_array_equal(crec.simulate(params, p, e), at_zero)
    params[2] = -0.5
    with pytest.raises(vardex_rs.VardexValidationError) as info:
        crec.simulate(params, p, e)
    assert str(info.value) == "Parameter 'x3' value -0.5 outside bounds [0, 1000]"


def test_dry_days_evaporate_from_production_store():
    s = states(DEFAULTS, np.zeros(60), np.full(60, 4.0))["Sp"]
    before = np.concatenate(([250.0], s[:-1]))
    np.testing.assert_allclose(s, before - (1.0 - np.exp(-before / 245.0)) * 4.0, rtol=1e-14)
    # A demand beyond the store empties it, and it stays empty.
    s = states(DEFAULTS, np.zeros(5), np.full(5, 1e6))["Sp"]
    np.testing.assert_array_equal(s, np.zeros(5))


@pytest.mark.parametrize("x6, zero_days", [(0.5, 0), (1.0, 0), (1.0 + 1e-9, 1), (2.0, 1), (5.0, 4)])
def test_delay_on_first_day(x6, zero_days):
    params = DEFAULTS.copy()
    params[5] = x6
    p, e = f64(20.0, 0.0, 0.0, 0.0, 0.0, 0.0), np.zeros(6)
    q, b = crec.simulate(params, p, e), states(params, p, e)["b"]
    assert np.all(q[:zero_days] == 0.0) and q[zero_days] > 0.0
    if zero_days == 0:  # day 0 keeps v of the runoff, the buffer 1 - v: 2/3 at d = 0.5, 1/2 at d = 1
        np.testing.assert_allclose(q[0] / b[0], {0.5: 2.0, 1.0: 1.0}[x6], rtol=1e-14)


def test_water_balance_without_pet(camels_forcing):
    # Without evaporation rain leaves only as streamflow; the rest is held by the stores or in transit.
    p = camels_forcing("01022500")["prcp"][:2000]
    e = np.zeros_like(p)
    for params in box_samples(8, 11):
        q, s = crec.simulate(params, p, e), states(params, p, e)
        held = s["Sp"] + s["Ss"] + s["Sr"] + s["b"]
        np.testing.assert_allclose(START + np.cumsum(p), np.cumsum(q) + held, rtol=1e-12, err_msg=str(params))


def test_stores_stay_non_negative_and_pet_only_removes_water():
    rng = np.random.default_rng(3)
    p = rng.gamma(0.4, 15.0, 1500)
    p[[100, 700]] = 5000.0  # storms far above every store
    e = rng.uniform(0.0, 6.0, 1500)
    for params in box_samples(8, 12):
        q, s = crec.simulate(params, p, e), states(params, p, e)
        assert all(np.all(s[k] >= 0.0) for k in s), params
        held = s["Sp"] + s["Ss"] + s["Sr"] + s["b"]
        lost = START + np.cumsum(p) - (np.cumsum(q) + held)
        assert np.all(lost >= -1e-9 * np.cumsum(p)) and np.all(np.diff(lost) >= -1e-9) and lost[-1] > 0.0, params


def test_overflowing_surface_store_gives_zero_flow():
    # Ss' squared overflows, the stores turn NaN, and the NaN head of the buffer is clamped to 0.
    p, e = f64(1e200, 0.0, 3.0), f64(1.0, 1.0, 1.0)
    np.testing.assert_array_equal(crec.simulate(DEFAULTS, p, e), np.zeros(3))
    s = states(DEFAULTS, p, e)
    assert np.all(np.isnan(s["Ss"])) and np.all(np.isfinite(s["Sp"]))
