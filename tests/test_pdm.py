"""PDM: water balance, dry-weather recession, storms on a full store, rain correction, delay, overflow."""
import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64

pdm = vardex_rs.hydro.pdm
BASE = f64(300.0, 0.5, 0.3, 2.5, 100.0, 5.0, 1.0, 10.0)


def with_(**changes):
    params = BASE.copy()
    for name, value in changes.items():
        params[int(name[1:]) - 1] = value
    return params


def states(params, p, e=None):
    return vardex.model_states("pdm", params, p, np.zeros_like(p) if e is None else e)


def capacities(params):  # mean capacity and drainage threshold
    smax = params[0] / (params[1] + 1.0)
    return smax, params[2] * smax


@pytest.mark.parametrize("params", [with_(x7=1.3), f64(10, 0.01, 0.01, 0.5, 1, 1, 1.5, 1),
                                    f64(2000, 2, 0.99, 5, 2000, 30, 0.5, 100)])
def test_water_balance_without_pet(params, camels_forcing):
    # Corrected rain is either streamflow or still held by the soil, groundwater, surface reservoirs and delay.
    p = camels_forcing("01022500")["prcp"][:3000]
    q = pdm.simulate(params, p, np.zeros_like(p))
    s = states(params, p)
    assert list(s) == ["S", "G", "R1", "R2", "b"]
    held = s["S"] + s["G"] + s["R1"] + s["R2"] + s["b"]
    start = min(0.2 * params[0], capacities(params)[0]) + 20.0 + 30.0 + 30.0
    np.testing.assert_allclose(start + np.cumsum(p * params[6]), np.cumsum(q) + held, rtol=1e-13, atol=1e-9)
    correction = vardex.water_balance("pdm", params, p, np.zeros_like(p))["rain_correction"]
    assert correction == pytest.approx((params[6] - 1.0) * p.sum(), rel=1e-12)
    assert np.all(s["S"] >= 0) and np.all(s["S"] <= capacities(params)[0] * (1 + 1e-15))


class TestDryWeather:
    def test_soil_above_threshold_only_drains(self):
        params, dry = with_(x3=0.1), np.zeros(200)
        st, s = capacities(params)[1], states(params, dry)
        before = np.concatenate([[0.2 * params[0]], s["S"][:-1]])
        np.testing.assert_allclose(s["S"], before - (before - st) / params[7], rtol=1e-12)
        q = pdm.simulate(params, dry, dry)
        assert np.all(q[:2] == 0.0) and np.all(q[2:] > 0)  # x4 = 2.5 puts nothing on the first two days

    def test_soil_below_threshold_keeps_its_water(self):
        params, dry = with_(x3=0.9), np.zeros(200)
        s = states(params, dry)
        np.testing.assert_allclose(s["S"], 0.2 * params[0], rtol=1e-12)
        assert np.all(np.diff(s["G"]) < 0) and np.all(np.diff(s["R1"] + s["R2"]) < 0)

    def test_small_rain_below_threshold_leaves_groundwater_alone(self):
        params = with_(x3=0.9)
        p = np.tile([0.0, 2.0, 4.0, 0.0, 1.0], 20)
        s = states(params, p, np.full_like(p, 0.5))
        assert np.all(s["S"] <= capacities(params)[1])
        np.testing.assert_array_equal(s["G"], states(params, np.zeros_like(p))["G"])


class TestStorms:
    def test_storm_fills_the_soil_and_the_rest_runs_off(self):
        smax, st = capacities(BASE)
        small, large = (states(BASE, f64(rain, 0.0, 0.0)) for rain in (3000.0, 4000.0))
        for s in (small, large):
            np.testing.assert_allclose(s["S"][0], smax - (smax - st) / BASE[7], rtol=1e-12)
        np.testing.assert_allclose(large["R1"][0] - small["R1"][0], 1000.0 * (1 - 1 / BASE[5]), rtol=1e-12)
        np.testing.assert_array_equal(large["G"], small["G"])

    def test_pet_beyond_the_soil_water_empties_it_for_good(self):
        p, e = f64(0.0, 0.0, 0.0, 0.0), f64(1e6, 0.0, 0.0, 0.0)
        assert np.all(states(BASE, p, e)["S"] == 0.0)
        assert np.all(pdm.simulate(BASE, p, e)[2:] > 0)


def test_rain_correction_scales_precipitation_only():
    rng = np.random.default_rng(11)
    p, e = rng.gamma(0.6, 9.0, 400), rng.uniform(0.0, 6.0, 400)
    np.testing.assert_array_equal(pdm.simulate(with_(x7=1.3), p, e), pdm.simulate(with_(x7=1.0), p * 1.3, e))


def test_delay_of_five_days_shifts_the_even_split():
    rng = np.random.default_rng(4)
    p, e = rng.gamma(0.6, 9.0, 300), rng.uniform(0.0, 4.0, 300)
    five, one = pdm.simulate(with_(x4=5.0), p, e), pdm.simulate(with_(x4=1.0), p, e)
    assert np.all(five[:4] == 0.0)
    np.testing.assert_array_equal(five[4:], one[:-4])


def test_overflowing_rain_is_a_numerical_error():
    # Rain that overflows once corrected reaches the outlet on the same day with the shortest delay.
    with pytest.raises(vardex_rs.VardexNumericalError, match="^Numerical error in PDM simulation: non-finite"):
        pdm.simulate(with_(x4=0.5, x7=1.5), f64(1.7e308, 0.0), f64(0.0, 0.0))
