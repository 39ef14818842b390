"""Bucket: the short unit hydrograph, spill and evaporation, the rain bypass, the water balance, overflow."""
import numpy as np
import pytest

import vardex_rs
from helpers import f64, flow_and_states

bucket = vardex_rs.hydro.bucket
DEFAULTS, BOUNDS = bucket.init()
STORES = ["S", "R1", "R2", "b"]


def run(params, p, e):
    return flow_and_states("bucket", STORES, params, p, e)


def box_samples(n, seed):
    rng = np.random.default_rng(seed)
    lo, hi = BOUNDS[:, 0], BOUNDS[:, 1]
    return [lo, hi, DEFAULTS] + [lo + rng.uniform(size=6) * (hi - lo) for _ in range(n)]


@pytest.mark.parametrize("x4, w", [(2.0, [0.5, 0.5]), (2.5, [0, 2 / 3, 1 / 3]), (3.0, [0, 0.5, 0.5]),
                                   (3.0001, [0, 0, 1 / 1.0001, 1 - 1 / 1.0001]), (10.0, [0] * 8 + [0.5, 0.5])])
def test_unit_hydrograph_on_draining_stores(x4, w):
    # No rain, no PET: no spill, and the runoff is what the two stores lose each day.
    params = f64(300.0, 0.5, 1.0, x4, 0.5, 2.0)
    q, s = run(params, np.zeros(30), np.zeros(30))
    assert np.all(s["S"] == 150.0)
    runoff = -np.diff(np.concatenate([[15.0], s["R1"] + s["R2"]]))
    np.testing.assert_allclose(q, np.convolve(runoff, w)[:30], rtol=1e-12, atol=1e-300)
    n = len(w)
    assert np.all(q[: n - 2] == 0.0) and np.all(q[n - 2:] > 0.0)


def test_evaporation_and_the_equal_day():
    params = f64(505.0, 0.5, 2.0, 2.0, 0.5, 3.0)
    # Dry, N == E (4 mm of rain, half bypassing), N < E, then N == E == 0.
    p, e = f64(0.0, 4.0, 1.0, 0.0), f64(3.0, 2.0, 3.0, 0.0)
    s = run(params, p, e)[1]
    factors = np.exp(f64(-3.0, 0.0, -2.5, 0.0) / 505.0)
    np.testing.assert_allclose(s["S"], 252.5 * np.cumprod(factors), rtol=1e-14)
    assert s["S"][1] == s["S"][0] and s["S"][3] == s["S"][2]
    # Nothing spills, so the first store only drains.
    r1 = np.concatenate([[10.0], s["R1"]])
    np.testing.assert_allclose(r1[1:] / r1[:-1], 1.0 - 1.0 / 6.0, rtol=1e-14)


@pytest.mark.parametrize("x2, x5", [(0.0, 0.0), (1.0, 0.0), (0.5, 1.0)])
def test_storm_split_between_bucket_and_stores(x2, x5):
    params = f64(200.0, x2, 3.0, 2.5, x5, 4.0)
    p, e = f64(5000.0, 0.0, 0.0), np.zeros(3)
    dry = run(params, np.zeros(3), e)[1]
    s = run(params, p, e)[1]
    if x5 == 1.0:  # all rain bypasses the bucket into R2
        assert np.all(s["S"] == 100.0)
        np.testing.assert_array_equal(s["R1"], dry["R1"])
        assert np.all(s["R2"] > dry["R2"] + 1000.0)
    else:  # the bucket fills to capacity and the spill goes where x2 sends it
        np.testing.assert_allclose(s["S"], 200.0, rtol=1e-15)
        untouched, fed = ("R2", "R1") if x2 == 0.0 else ("R1", "R2")
        np.testing.assert_array_equal(s[untouched], dry[untouched])
        assert np.all(s[fed] > dry[fed] + 1000.0)


def test_water_balance(camels_forcing):
    data = camels_forcing("01022500")
    p = data["prcp"][:2000]
    pet = vardex_rs.pet.oudin.simulate(data["tmean"], data["doy"], data["lat"])[:2000]
    for params in box_samples(6, 7):
        start = params[0] * 0.5 + 15.0
        # Without PET nothing leaves but streamflow; the rest is held or in transit.
        q, s = run(params, p, np.zeros_like(p))
        held = sum(s[k] for k in STORES)
        np.testing.assert_allclose(start + np.cumsum(p), np.cumsum(q) + held, rtol=1e-12, err_msg=str(params))
        # With PET the day's loss is evaporation from the bucket: between 0 and the day's PET.
        q, s = run(params, p, pet)
        held = np.concatenate([[start], sum(s[k] for k in STORES)])
        loss = p - q - np.diff(held)
        assert np.all(loss >= -1e-9) and np.all(loss <= pet + 1e-9), params
        assert all(np.all(s[k] >= 0.0) for k in STORES) and np.all(s["S"] <= params[0] * (1 + 1e-15))


def test_overflow_is_reported_unless_a_zero_ordinate_turns_it_into_nan():
    p, e = f64(1.7e308, 1.7e308, 0.0), np.zeros(3)
    params = f64(505.0, 0.5, 100.5, 2.0, 1.0, 400.0)
    with pytest.raises(vardex_rs.VardexNumericalError) as info:
        bucket.simulate(params, p, e)
    assert str(info.value) == "Numerical error in Bucket simulation: non-finite value inf at index 1"
    # With x4 = 3 the head is 0 * inf + ... = NaN, and a NaN head gives 0.
    params[3] = 3.0
    np.testing.assert_array_equal(bucket.simulate(params, p, e), np.zeros(3))

