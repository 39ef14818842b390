"""HBV: the triangular unit hydrograph, the soil sub-steps, drainage of the initial stores, water balance."""
import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64

hbv = vardex_rs.hydro.hbv
DEFAULTS, BOUNDS = hbv.init()


def with_params(**changes):
    x = DEFAULTS.copy()
    for name, value in changes.items():
        x[int(name[1:]) - 1] = value
    return x


@pytest.mark.parametrize("x6, w", [
    (2.0, [0.5, 0.5]), (3.0, [0.2, 0.6, 0.2]), (4.0, [0.125, 0.375, 0.375, 0.125]),
    (2.2, [5 / 12, 7 / 12, 0.0]), (5.25, np.array([2, 6, 11, 7, 3, 0]) / 29),
    (40.0, np.r_[np.arange(1, 40, 2), np.arange(39, 0, -2)] / 800)])
def test_output_is_runoff_convolved_with_the_triangle(x6, w):
    # Soil full and no PET: all rain recharges, so the day's runoff is the rain plus what the intermediate and
    # ground stores lost. No threshold and x3 = 1 empty the intermediate store daily, making runoff spiky.
    rng = np.random.default_rng(11)
    p = np.where(rng.uniform(size=120) < 0.2, rng.gamma(2.0, 15.0, 120), 0.0)
    params = with_params(x3=1.0, x4=100.0, x6=x6, x8=0.0)
    s = vardex.model_states("hbv", params, p, np.zeros_like(p))
    assert np.all(s["S"] == params[0])
    runoff = p - np.diff(s["I"], prepend=1.0) - np.diff(s["G"], prepend=10.0)
    routed = np.convolve(runoff, w)[: len(p)]
    np.testing.assert_allclose(hbv.simulate(params, p, np.zeros_like(p)), np.maximum(routed, 0.0), atol=1e-11)
    # A raw ordinate below 0 is 0: nothing in transit is negative, so the outlet's clamp never acts.
    assert np.all(routed >= 0) and np.all(s["b"] >= 0)


def test_dry_run_drains_the_initial_stores():
    params = with_params(x6=9.0)
    q = hbv.simulate(params, np.zeros(365), np.zeros(365))
    s = vardex.model_states("hbv", params, np.zeros(365), np.zeros(365))
    assert np.all(s["S"] == params[0]) and np.all(q > 0)
    assert np.all(np.diff(q[:5]) > 0) and np.all(np.diff(q[9:]) < 0)  # fills with the triangle, then recedes


def test_soil_substeps():
    p = np.r_[np.zeros(30), np.full(20, 15.0), np.zeros(10)]
    e = np.r_[np.full(30, 4.0), np.zeros(30)]
    # x7 = 0: every sub-step sends all rain to recharge, so the soil only ever loses water, and not at all
    # without PET.
    s0 = vardex.model_states("hbv", with_params(x7=0.0), p, e)["S"]
    assert s0[29] < DEFAULTS[0] - 50 and np.all(np.diff(s0) <= 0) and np.all(s0[30:] == s0[29])
    # With x7 > 0 the depleted soil refills on every wet day.
    s2 = vardex.model_states("hbv", with_params(x7=2.0), p, e)["S"]
    assert np.all(np.diff(s2[29:50]) > 0)
    # Evaporation is not capped at the PET: with S above x2 the soil loses more than E, and e = x2 empties it.
    s = vardex.model_states("hbv", with_params(x1=100.0, x2=1.0, x7=25.0), f64(0, 0, 10), f64(1, 5, 0))["S"]
    assert 100.0 - s[0] > 1.0 and s[1] == 0.0
    np.testing.assert_allclose(s[2], 10.0, rtol=1e-12)  # an empty soil keeps the rain
    # A steep power law overfills a nearly full soil; from there f is held at 1 and rain passes straight through.
    s = vardex.model_states("hbv", with_params(x1=100.0, x2=1000.0, x7=50.0), f64(0, 50, 20, 20), f64(2, 0, 0, 0))
    assert s["S"][1] > 100.0 and np.all(s["S"][2:] == s["S"][1])


def test_percolation_is_capped_at_x5():
    # No quick flow below x8 and slow interflow: the intermediate store stays well above x5 for days, and the
    # ground store gains exactly x5 a day (recovered from G = (G + F) - (G + F) / x4).
    params = with_params(x3=20.0, x4=50.0, x5=5.0, x8=100.0, x9=20.0)
    s = vardex.model_states("hbv", params, np.r_[80.0, np.zeros(9)], np.zeros(10))
    g = np.r_[10.0, s["G"]]
    assert np.all(s["I"] > 5.0)
    np.testing.assert_allclose(g[1:] / (1 - 1 / 50) - g[:-1], 5.0, rtol=1e-12)


def test_water_balance_with_zero_pet(camels_forcing):
    data = camels_forcing("01022500")
    p = data["prcp"][:1500]
    pet = vardex_rs.pet.oudin.simulate(data["tmean"], data["doy"], data["lat"])[:1500]
    pet[200:] = 0.0  # PET only at first, so the soil is no longer full when the balance starts
    params = f64(300, 150, 4, 30, 3, 6.7, 2, 10, 3)
    q = hbv.simulate(params, p, pet)
    s = vardex.model_states("hbv", params, p, pet)
    held = s["S"] + s["I"] + s["G"] + s["b"]
    assert s["S"][199] < 0.9 * params[0] and np.ptp(s["S"][200:]) > 10
    np.testing.assert_allclose(held[199] + np.cumsum(p[200:]), held[200:] + np.cumsum(q[200:]), rtol=1e-12,
                               atol=1e-9)


def test_errors():
    ok = np.ones(3)
    for n in (8, 10):  # the count is checked before any bound
        with pytest.raises(vardex_rs.VardexValidationError, match=f"^expected 9 params, got {n}$"):
            hbv.simulate(np.full(n, -1.0), ok, ok)
    with pytest.raises(vardex_rs.VardexValidationError, match="^Empty input array: precipitation$"):
        hbv.simulate(DEFAULTS, np.ones(0), np.ones(0))
    assert np.all(np.isfinite(hbv.simulate(with_params(x7=-0.0, x8=-0.0), ok, ok)))
    # The ordinates are never negative and sum to 1, so the outlet releases no more than the largest day's
    # runoff: near-overflowing rain no longer overflows at x6 = 2.2 (w[0] + w[1] was above 1).
    lower = BOUNDS[:, 0].copy()
    lower[5] = 2.2
    q = hbv.simulate(lower, f64(1.7e308, 1.7e308, 1.7e308), np.zeros(3))
    assert np.all(np.isfinite(q)) and q.max() <= 1.7e308


@pytest.mark.parametrize("x6", [2.0004, 2.2, 2.4999, 2.5, 3.0, 5.25, 39.9])
def test_storm_gives_back_no_more_than_fell(x6):
    # One 100 mm day, no PET: the soil starts full and stays so; the flow can only be the rain and the
    # intermediate (1 mm) and ground (10 mm) stores. With negative ordinates 2.0004 gave 202 mm.
    p = np.r_[100.0, np.zeros(3000)]
    params = with_params(x6=x6)
    q = hbv.simulate(params, p, np.zeros_like(p))
    assert 100.0 < q.sum() <= 111.0 + 1e-9
    assert abs(vardex.water_balance("hbv", params, p, np.zeros_like(p))["residual"]) < 1e-10
