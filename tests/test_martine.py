"""MARTINE: surface overflow and evaporation, the quadratic store, the delay, overflow to infinity, water balance."""
import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64

martine = vardex_rs.hydro.martine
DEFAULTS, BOUNDS = martine.init()


def with_(**kw):
    params = DEFAULTS.copy()
    for name, value in kw.items():
        params[int(name[1:]) - 1] = value
    return params


def states(params, p, e):
    return vardex.model_states("martine", params, p, e)


def unaccounted(params, p, q, s):
    """Water in (initial S + I + G + R, then rain) less flow out and water held, summed day by day."""
    start = params[0] + params[1] * 0.5 + 5.0 + params[2] * 0.1
    return start + np.cumsum(p) - np.cumsum(q) - (s["S"] + s["I"] + s["G"] + s["R"] + s["b"])


def box_samples(n, seed):
    rng = np.random.default_rng(seed)
    lo, hi = BOUNDS[:, 0], BOUNDS[:, 1]
    return [lo, hi, DEFAULTS] + [lo + rng.uniform(size=7) * (hi - lo) for _ in range(n)]


def test_full_surface_store_passes_first_rain_on_split_by_x5():
    p, e = f64(40.0, 0.0), f64(0.0, 0.0)
    low, high = states(with_(x5=0.01), p, e), states(with_(x5=0.99), p, e)
    for s in (low, high):
        np.testing.assert_allclose(s["S"], DEFAULTS[0], rtol=1e-15)
    assert high["R"][0] > low["R"][0] and high["I"][0] < low["I"][0]


def test_surface_store_meets_demand_before_intermediate_store():
    params, p = with_(x1=100.0), np.zeros(40)
    wet, dry = states(params, p, np.zeros(40)), states(params, p, np.full(40, 3.0))
    np.testing.assert_allclose(dry["S"][:33], 100.0 - 3.0 * np.arange(1, 34), atol=1e-12)
    assert np.all(dry["S"][33:] == 0.0)
    # While the surface store covers the 3 mm, the intermediate store loses nothing to evaporation.
    np.testing.assert_array_equal(dry["I"][:33], wet["I"][:33])
    assert np.all(dry["I"][33:] < wet["I"][33:])
    np.testing.assert_array_equal(dry["R"], wet["R"])  # evaporation never touches the quadratic store


def test_quadratic_store_keeps_below_its_capacity():
    # A storm far above x3 empties it almost at once; a small store drains slowly.
    s = states(with_(x3=0.01, x5=0.99), f64(1e4, 0.0), f64(0.0, 0.0))["R"]
    assert 0.0099 < s[0] < 0.01 and s[1] < s[0]
    r = states(with_(x3=1000.0), np.zeros(200), np.zeros(200))["R"]
    lost = 1.0 - r / np.concatenate(([100.0], r[:-1]))  # share of the store let out each day
    assert np.all(lost < 0.1) and np.all(np.diff(lost) < 0.0) and lost[-1] < 0.01


def test_linear_stores_with_emptying_constant_one_drain_each_day():
    p, e = f64(0.0, 30.0, 0.0, 500.0, 2.0), f64(1.0, 0.0, 2.0, 0.5, 9.0)
    fast_g, fast_i = states(with_(x4=1.0, x7=500.0), p, e), states(with_(x4=500.0, x7=1.0), p, e)
    assert np.all(fast_g["G"] == 0.0) and np.all(fast_g["I"] > 0.99 * DEFAULTS[1] * 0.5)
    assert np.all(fast_i["I"] == 0.0) and np.all(fast_i["G"] > 5.0)


@pytest.mark.parametrize("x6, zero_days, head_share", [(0.5, 0, 2 / 3), (1.0, 0, 0.5), (1.0 + 1e-9, 1, None),
                                                      (2.0, 1, None), (5.0, 4, None)])
def test_delay(x6, zero_days, head_share):
    # The initial stores make every day's runoff positive; only the delay holds it back.
    params, p, e = with_(x6=x6), np.zeros(7), np.zeros(7)
    q, b = martine.simulate(params, p, e), states(params, p, e)["b"]
    assert np.all(q[:zero_days] == 0.0) and q[zero_days] > 0.0
    if head_share is not None:  # day 0: the head keeps v of the runoff, the buffer 1 - v
        np.testing.assert_allclose(q[0] / (q[0] + b[0]), head_share, rtol=1e-14)


def test_overflow_to_infinity():
    p, e = f64(1e300, 0.0, 1.0), np.zeros(3)
    with pytest.raises(vardex_rs.VardexNumericalError,
                       match=r"^Numerical error in MARTINE simulation: .*inf at index 0$"):
        martine.simulate(with_(x6=0.5), p, e)
    # With a longer delay the infinity meets a zero ordinate: the NaN head is clamped to 0.
    np.testing.assert_array_equal(martine.simulate(with_(x6=3.0), p, e), np.zeros(3))
    assert np.isnan(states(with_(x6=3.0), p, e)["R"][-1])


def test_water_balance_without_pet(camels_forcing):
    # Without evaporation rain leaves only as streamflow; the rest is held by the stores or in transit.
    p = camels_forcing("01022500")["prcp"][:2000]
    e = np.zeros_like(p)
    for params in box_samples(8, 5):
        for rain in (p, np.zeros_like(p)):  # forced, and the plain emptying of the initial stores
            q, s = martine.simulate(params, rain, e), states(params, rain, e)
            scale = np.cumsum(rain) + params[0] + params[1]
            np.testing.assert_allclose(unaccounted(params, rain, q, s) / scale, 0.0, atol=1e-13, err_msg=str(params))


def test_pet_removes_at_most_the_demand_and_stores_stay_non_negative():
    rng = np.random.default_rng(9)
    p, e = rng.gamma(0.4, 15.0, 1500), rng.uniform(0.0, 8.0, 1500)
    p[rng.uniform(size=1500) < 0.6] = 0.0
    p[[200, 900]] = 4000.0
    for params in box_samples(8, 6) + [with_(x1=5.0)]:  # a small surface store leaves demand to I
        q, s = martine.simulate(params, p, e), states(params, p, e)
        cap = 1.0 + 1e-14  # a full store may sit a few ulps above its capacity
        assert all(np.all(s[k] >= 0.0) for k in s) and np.all(s["R"] < params[2]), params
        assert np.all(s["S"] <= params[0] * cap) and np.all(s["I"] <= params[1] * cap), params
        lost = np.diff(unaccounted(params, p, q, s), prepend=0.0)
        tol = 1e-12 * (np.cumsum(p) + params[0] + params[1])
        assert np.all(lost >= -tol) and np.all(lost <= e + tol) and lost.sum() > 0.0, params
