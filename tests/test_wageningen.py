"""Wageningen: capillary rise below the threshold, unlimited drainage above it, the fast/slow split, the delay."""
import math

import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64

wag = vardex_rs.hydro.wageningen
DEFAULTS = wag.init()[0]


def states(params, p, e):
    return vardex.model_states("wageningen", f64(*params), f64(*p), f64(*e))


class TestBelowThreshold:
    def test_capillary_rise_fills_soil_without_draining_slow_store(self):
        x = DEFAULTS  # S + P stays below x1 = 250.5 on a dry series: no drainage at all
        s = states(x, [0.0] * 60, [0.0] * 60)
        assert np.all(s["Rf"] == 0.0) and np.all(s["S"] < x[0])
        rs = np.concatenate([[200.0], s["Rs"]])
        soil = np.concatenate([[30.0], s["S"]])
        # Rs only empties through its own outflow; the soil gains (x1 - S) * Rs / x4 on top of it.
        np.testing.assert_allclose(rs[1:], rs[:-1] - rs[:-1] / (x[6] * x[5]), rtol=1e-14)
        np.testing.assert_allclose(soil[1:], soil[:-1] + (x[0] - soil[:-1]) * (rs[:-1] / x[3]), rtol=1e-14)

    @pytest.mark.parametrize("x8", [0.5, 1.0, 1.0000001, 2.75, 5.0])
    def test_delay_splits_the_slow_outflow(self, x8):
        x = DEFAULTS.copy()
        x[7] = x8
        n = 12
        q = wag.simulate(x, np.zeros(n), np.zeros(n))
        runoff = -np.diff(np.concatenate([[200.0], states(x, [0.0] * n, [0.0] * n)["Rs"]]))
        k = math.ceil(x8)
        v = 1.0 / ((x8 - (k + 1)) + 3.0)
        assert np.all(q[: k - 1] == 0.0)
        np.testing.assert_allclose(q[k - 1], v * runoff[0], rtol=1e-11)
        np.testing.assert_allclose(q[k:], v * runoff[1 : n - k + 1] + (1.0 - v) * runoff[: n - k], rtol=1e-11)


class TestAboveThreshold:
    @pytest.mark.parametrize("p, x3", [
        (100.0, 0.1),                          # drainage formula 1677 mm on B = 130
        (0.0, 29.0 * 30.0 / (10.0 * 30.5)),   # formula 30.5 mm on B = 30: once B went below 0
    ])
    def test_drainage_is_capped_at_the_water_there_is(self, p, x3):
        x = f64(1.0, 10.0, x3, 500.0, 250.0, 3.0, 20.0, 1.0)
        b = p + 30.0
        assert ((b - 1.0) / x3) * (b / 10.0) > b
        s = states(x, [p], [5.0])
        q = wag.simulate(x, f64(p), f64(5.0))
        assert s["S"][0] == 0.0  # all of B drained, evaporation took nothing and gave nothing back
        np.testing.assert_allclose(s["Rf"][0] + s["Rs"][0] + s["b"][0] + q[0], 200.0 + b, rtol=1e-12)

    @pytest.mark.parametrize("x7", [1.0, 1.5, 3.0])
    def test_linear_stores_release_at_most_what_they_hold(self, x7, camels_forcing):
        # x6 = 0.5 d would take 2 Rf a day, and x7 x6 < 1 more than Rs: each store empties instead.
        p = camels_forcing("01022500")["prcp"][:1000]
        x = f64(1.0, 10.0, 5.0, 500.0, 100.0, 0.5, x7, 1.0)
        s = vardex.model_states("wageningen", x, p, np.zeros_like(p))
        assert np.all(s["Rf"] == 0.0) and np.all(s["Rs"] >= 0.0)
        assert np.all(s["Rs"] == 0.0) == (x7 * 0.5 <= 1.0)
        balance = vardex.water_balance("wageningen", x, p, np.zeros_like(p))
        assert abs(balance["residual"]) < 1e-9 * balance["precipitation"]

    def test_full_slow_store_sends_all_drainage_to_the_fast_reservoir(self):
        x = [1.0, 10.0, 50.0, 500.0, 0.1, 3.0, 50.0, 1.0]  # Rs stays far above x5 = 0.1
        rng = np.random.default_rng(7)
        p, e = rng.gamma(0.6, 8.0, 300), rng.uniform(0.0, 4.0, 300)
        wet = vardex.model_states("wageningen", f64(*x), p, e)
        dry = vardex.model_states("wageningen", f64(*x), np.zeros(300), np.zeros(300))
        np.testing.assert_array_equal(wet["Rs"], dry["Rs"])  # the rain's drainage all went to Rf
        assert np.all(wet["Rf"] > dry["Rf"])

    def test_water_balance_without_capillary_rise(self, camels_forcing):
        # x1 = 1 keeps S + P above the threshold every day and PET is zero, so no water is created or lost.
        p = camels_forcing("01022500")["prcp"][:2000]
        x = f64(1.0, 10.0, 50.0, 500.0, 100.0, 3.0, 20.0, 2.3)
        s = vardex.model_states("wageningen", x, p, np.zeros_like(p))
        assert np.all(s["S"] >= 1.0)
        assert np.any(s["Rs"] > 100.0) and np.any(s["Rs"] < 100.0)  # both sides of the split
        q = wag.simulate(x, p, np.zeros_like(p))
        held = s["S"] + s["Rf"] + s["Rs"] + s["b"]
        np.testing.assert_allclose(230.0 + np.cumsum(p), np.cumsum(q) + held, rtol=1e-12, atol=1e-9)


class TestErrors:
    @pytest.mark.parametrize("params, p, message", [
        (np.ones(7), f64(1.0), "expected 8 params, got 7"), (np.ones(9), f64(1.0), "expected 8 params, got 9"),
        (DEFAULTS, f64(), "Empty input array: precipitation")])
    def test_checks(self, params, p, message):
        with pytest.raises(vardex_rs.VardexValidationError, match=f"^{message}$"):
            wag.simulate(params, p, p.copy())

    def test_overflow_is_reported(self):
        x = DEFAULTS.copy()
        x[7] = 0.5  # same-day routing: two days of near-overflowing rain overflow the stores on day 2
        with pytest.raises(vardex_rs.VardexNumericalError, match="WAGENINGEN simulation.* at index 1$"):
            wag.simulate(x, f64(1.7e308, 1.7e308), f64(0.0, 0.0))
