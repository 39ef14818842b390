"""IHACRES: the drying time and the unbounded wetness index, the two linear stores, the pure delay, and errors."""
import math

import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64

ih = vardex_rs.hydro.ihacres
DEFAULTS = ih.init()[0]


def params(**kw):
    return f64(*{**dict(zip(ih.param_names, DEFAULTS)), **kw}.values())


def states(x, p, e):
    return vardex.model_states("ihacres", x, np.asarray(p, dtype=np.float64), np.asarray(e, dtype=np.float64))


class TestWetnessIndex:
    @pytest.mark.parametrize("x6, x7, e", [(1.0, 5.0, 100.0), (2.0, 3.0, 6.0)])  # E / x6 above and equal to x7
    def test_high_demand_keeps_only_the_days_rain(self, x6, x7, e):
        p = f64(3.0, 0.0, 12.0, 40.0, 0.5)
        s = states(params(x1=20.0, x6=x6, x7=x7), p, np.full(5, e))["s"]
        np.testing.assert_allclose(s, p / 20.0, rtol=0.0, atol=1e-15)

    @pytest.mark.parametrize("e", [0.0, 7.0])
    def test_dry_days_relax_the_index_with_the_drying_time(self, e):
        x = params(x6=2.0, x7=4.0)
        s = np.concatenate([[0.5], states(x, np.zeros(30), np.full(30, e))["s"]])
        np.testing.assert_allclose(s[1:] / s[:-1], 1.0 - 1.0 / math.exp(4.0 - e / 2.0), rtol=1e-13)

    def test_unbounded_index_turns_more_water_into_flow_than_it_rains(self):
        x, p = params(x1=1.0, x5=0.5), np.full(200, 10.0)
        s = states(x, p, np.zeros(200))
        assert np.all(np.diff(s["s"]) > 0.0) and s["s"][-1] > 100.0
        q = ih.simulate(x, p, np.zeros(200))
        assert q.sum() + (s["Fq"] + s["Fs"] + s["b"])[-1] - 55.0 > 50.0 * p.sum()


    def test_rain_not_made_effective_is_the_loss_and_a_surplus_is_a_source(self):
        # Steady rain lifts the index from 0.5 through 1; the dry days after it see PET but lose nothing.
        x = params(x1=20.0, x6=2.0, x7=4.0)
        p, e = np.concatenate([np.full(40, 10.0), np.zeros(10)]), np.full(50, 3.0)
        f = vardex.model_fluxes("ihacres", x, p, e)
        index = np.concatenate([[0.5], states(x, p, e)["s"]])
        mean = (index[1:] + index[:-1]) * 0.5
        loss, surplus = f["actual_evaporation"], f["effective_rainfall_excess"]
        np.testing.assert_allclose(p - loss + surplus, mean * p, rtol=1e-13, atol=1e-13)
        above = mean > 1.0
        assert above[p > 0].any() and not above[p > 0].all()
        assert np.all(surplus[~above] == 0.0) and np.all(surplus[above & (p > 0)] > 0.0)
        assert np.all(loss[above | (p == 0)] == 0.0)

class TestStoresAndDelay:
    @pytest.mark.parametrize("x", [DEFAULTS, params(x2=0.99, x3=1.0, x4=1.0, x5=0.5), params(x2=0.01, x5=5.0)])
    def test_stores_pass_on_all_effective_rainfall(self, x, camels_forcing):
        p = camels_forcing("01022500")["prcp"][:2000]
        e = np.random.default_rng(3).uniform(0.0, 6.0, p.size)
        s = states(x, p, e)
        index = np.concatenate([[0.5], s["s"]])
        u = ((index[1:] + index[:-1]) * 0.5) * p  # rain weighted by the day's mean wetness
        held = s["Fq"] + s["Fs"] + s["b"]
        q = ih.simulate(x, p, e)
        np.testing.assert_allclose(55.0 + np.cumsum(u), np.cumsum(q) + held, rtol=1e-12)
        # A dry day only drains the quick store.
        fq = np.concatenate([[5.0], s["Fq"]])
        dry = p == 0.0
        np.testing.assert_allclose(fq[1:][dry], fq[:-1][dry] * (1.0 - 1.0 / x[2]), rtol=1e-13, atol=1e-300)

    @pytest.mark.parametrize("x5", [0.5, 1.0, 1.0000001, 2.75, 5.0])
    def test_dry_series_routes_the_recession_of_both_stores(self, x5):
        x, n = params(x5=x5), 15
        s = states(x, np.zeros(n), np.zeros(n))
        days = np.arange(1, n + 1)
        np.testing.assert_allclose(s["Fq"], 5.0 * (1.0 - 1.0 / x[2]) ** days, rtol=1e-13)
        np.testing.assert_allclose(s["Fs"], 50.0 * (1.0 - 1.0 / (x[2] * x[3])) ** days, rtol=1e-13)
        flow = -np.diff(np.concatenate([[55.0], s["Fq"] + s["Fs"]]))
        q = ih.simulate(x, np.zeros(n), np.zeros(n))
        k = math.ceil(x5)
        v = 1.0 / ((x5 - (k + 1)) + 3.0)  # x5 = 1 gives half today, half tomorrow
        assert np.all(q[: k - 1] == 0.0)
        np.testing.assert_allclose(q[k - 1], v * flow[0], rtol=1e-11)
        np.testing.assert_allclose(q[k:], v * flow[1 : n - k + 1] + (1.0 - v) * flow[: n - k], rtol=1e-11)


class TestErrors:
    @pytest.mark.parametrize("n", [6, 8])
    def test_parameter_count_is_checked_before_bounds(self, n):
        with pytest.raises(vardex_rs.VardexValidationError, match=f"^expected 7 params, got {n}$"):
            ih.simulate(np.full(n, -1.0), f64(1.0), f64(1.0))

    def test_overflow_reaching_the_outlet_is_reported(self):
        with pytest.raises(vardex_rs.VardexNumericalError,
                           match="^Numerical error in IHACRES simulation: non-finite value inf at index 0$"):
            ih.simulate(params(x1=1.0, x5=0.5), f64(1e308), f64(0.0))

    def test_nan_head_of_the_buffer_gives_zero_flow(self):
        # With a delay above 1 the overflow meets zero ordinates (0 * inf), and the stores turn NaN the next day.
        q = ih.simulate(params(x1=1.0, x5=2.75), f64(1e308, 0.0, 0.0, 0.0, 0.0), np.zeros(5))
        np.testing.assert_array_equal(q, 0.0)
