"""MORDOR: the unit hydrograph, dry days, storms, the water balance and the evaporation store's cap."""
import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64, flow_and_states

mordor = vardex_rs.hydro.mordor
DEFAULTS, BOUNDS = mordor.init()
STORES = ["U", "L", "Z", "N", "b1", "b2", "b3"]
C, A = 0.5 * (2 / 3) ** 2.5, 0.5 ** 3.5  # S-curve one day into a 3-day and a 4-day base


def run(params, p, e):
    return flow_and_states("mordor", STORES, params, p, e)


def held(params, s):  # U, L, Z, N at their start, then everything held at the end of each day
    return np.concatenate([[params[4] * 0.5 + params[5] * 0.5 + 50.5], sum(s[k] for k in STORES)])


@pytest.mark.parametrize("x4, w", [(0.5, [1.0]), (0.75, [1 - C, C]), (1.0, [0.5, 0.5]), (1.5, [C, 1 - 2 * C, C]),
                                   (2.0, [A, 0.5 - A, 0.5 - A, A]), (10.0, None)])
def test_unit_hydrograph_from_a_single_pulse(x4, w):
    # No rain and a huge demand: U and Z are emptied on day 0 and N at once (x3 tiny), so only day 0's flows
    # are routed and the output is the hydrograph itself.
    q, s = run(f64(1.25, 500.5, 0.01, x4, 100.0, 500.5), np.zeros(25), np.full(25, 1000.0))
    assert all(np.all(s[k] == 0.0) for k in ("U", "Z", "N", "b1"))
    n = int(np.ceil(2 * x4))
    assert np.all(q[:n] > 0.0) and np.all(q[n:] == 0.0)
    ordinates = q[:n] / q.sum()
    if w is None:  # a whole x4 gives a symmetric curve
        w = ordinates[::-1]
        assert ordinates[0] == pytest.approx(0.5 * 0.1 ** 2.5, rel=1e-12)
    np.testing.assert_allclose(ordinates, w, rtol=1e-12)


def test_dry_days_drain_l_z_and_n():
    q, s = run(f64(1.25, 8.0, 2.0, 1.5, 300.0, 100.0), np.zeros(60), np.zeros(60))
    assert np.all(s["U"] == 150.0) and np.all(s["b1"] == 0.0) and np.all(q > 0.0)
    l = np.concatenate([[50.0], s["L"]])
    np.testing.assert_allclose(l[1:] / l[:-1], 1 - 1 / 8, rtol=1e-12)
    assert np.all(np.diff(s["Z"]) > 0.0) and np.all(s["Z"] < 90.0)
    # With Z emptied every day N gets no drainage after day 0 and only loses (N / x3)^3.
    n = run(f64(1.0, 10.0, 3.0, 1.0, 100.0, 100.0), np.zeros(30), np.full(30, 1000.0))[1]["N"]
    assert n[0] > 0.5
    np.testing.assert_allclose(n[1:], n[:-1] - (n[:-1] / 3.0) ** 3, rtol=1e-13)


def test_storm_beyond_capacity_runs_off_directly():
    params = f64(1.5, 4.0, 2.0, 0.5, 200.0, 100.0)
    out = {}
    for rain in (2000.0, 3000.0):
        q, s = run(params, f64(rain, 10.0), f64(0.0, 0.0))
        # U is full and stays full; L took exactly its room and drained a quarter.
        assert s["U"][0] == s["U"][1] == 200.0 and s["L"][0] == 75.0
        out[rain] = q[0], [s[k][0] for k in STORES]
    assert out[3000.0][1] == out[2000.0][1]
    assert out[3000.0][0] - out[2000.0][0] == pytest.approx(1000.0 * 1.5, rel=1e-12)


@pytest.fixture(scope="module")
def forcing():
    c = vardex.load_camels("01022500")
    return c.precipitation, c.pet


def test_water_balance(forcing):
    p, pet = forcing
    lo, hi = BOUNDS[:, 0], BOUNDS[:, 1]
    rng = np.random.default_rng(11)
    for params in [lo.copy(), hi.copy(), DEFAULTS] + [lo + rng.uniform(size=6) * (hi - lo) for _ in range(6)]:
        params[1] = max(params[1], params[5] / 90.0)  # L drains under 90 mm a day, so Z cannot overflow
        # Without PET the corrected rain is streamflow, or still held by a store or a buffer.
        q, s = run(params, p, np.zeros_like(p))
        h = held(params, s)
        np.testing.assert_allclose(h[0] + np.cumsum(p * params[0]), np.cumsum(q) + h[1:], rtol=1e-12)
        # With PET the day's loss is evaporation from U and Z: between 0 and the day's PET.
        q, s = run(params, p, pet)
        loss = p * params[0] - q - np.diff(held(params, s))
        assert np.all(loss >= -1e-9) and np.all(loss <= pet + 1e-9), params
        assert all(np.all(s[k] >= 0.0) for k in STORES) and np.all(s["Z"] <= 90.0)


def test_z_caps_at_90_and_the_excess_leaves(forcing):
    p = forcing[0].copy()
    p[0] = 0.0
    # x2 = 1: day 0 drains all 500 mm of L; Z takes 4/9 of it, tops 90 and loses the excess. Without PET it
    # then stays full, takes nothing more, and the balance closes again from day 1.
    params = f64(2.0, 1.0, 50.0, 3.0, 10.0, 1000.0)
    q, s = run(params, p, np.zeros_like(p))
    loss = p * 2.0 - q - np.diff(held(params, s))
    assert loss[0] == pytest.approx((500.0 * 4 / 9 + 50.0) - 90.0, rel=1e-12)
    assert np.all(s["Z"] == 90.0) and np.all(np.abs(loss[1:]) < 1e-9)
    # The balance names both: the doubled rain as rain_correction, what Z dropped as evaporation_store_cap.
    fluxes = vardex.model_fluxes("mordor", params, p, np.zeros_like(p))
    np.testing.assert_allclose(fluxes["rain_correction"], p, rtol=1e-15)
    np.testing.assert_allclose(-fluxes["evaporation_store_cap"], loss, atol=1e-9)


def test_overflow_is_reported():
    with pytest.raises(vardex_rs.VardexNumericalError) as info:
        mordor.simulate(DEFAULTS, f64(0.0, 1.7e308, 0.0), np.zeros(3))
    assert str(info.value) == "Numerical error in MORDOR simulation: non-finite value inf at index 1"
