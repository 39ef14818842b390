"""NAM: surface overflow and its split, the groundwater depth, capillary rise, the delay, and errors."""
import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64

nam = vardex_rs.hydro.nam
# x1 = 1 keeps the depth (from 50) above the base-flow threshold; x4 = 0.5 puts 2/3 of the runoff out the same day.
BASE = dict(x1=1.0, x2=1.0, x3=100.0, x4=0.5, x5=0.5, x6=500.0, x7=10.0, x8=20.0, x9=10.0, x10=0.01)


def params(**kw):
    return f64(*{**BASE, **kw}.values())


def run(x, p, e=None):
    p = np.asarray(p, dtype=np.float64)
    e = np.zeros_like(p) if e is None else f64(*e)
    q = nam.simulate(x, p, e)
    s = vardex.model_states("nam", x, p, e)
    assert list(s) == ["U", "L", "Ri1", "Ri2", "Ro1", "Ro2", "Dg", "b"]
    # With no PET: rain in minus flow out minus the gain of the stores, where groundwater counts as -Dg.
    held = s["U"] + s["L"] + s["Ri1"] + s["Ri2"] + s["Ro1"] + s["Ro2"] + s["b"] - s["Dg"]
    lost = (x[8] + x[6] / 2 - 50.0) + np.cumsum(p) - np.cumsum(q) - held
    # What left otherwise is evaporation and the soil water cut off above x7.
    f = vardex.model_fluxes("nam", x, p, e)
    np.testing.assert_allclose(np.cumsum(f["actual_evaporation"] - f["soil_excess_lost"]), lost, atol=1e-9)
    return q, s, lost


def test_balance_closes_on_real_rain(camels_forcing):
    p = camels_forcing("01022500")["prcp"][:1500]
    for x in (nam.init()[0], params(x1=300.0, x2=5.0, x3=20.0, x4=2.7, x5=0.3, x6=100.0, x7=1000.0, x10=2.0)):
        _, s, lost = run(x, p)
        np.testing.assert_allclose(lost, 0.0, atol=1e-9)
        assert np.all(s["L"] <= x[6]) and np.all(s["U"] <= x[8]) and np.all(s["Dg"] >= 0.1)


class TestSurfaceOverflow:
    def test_low_soil_ratio_sends_no_recharge_and_the_cut_soil_water_is_lost(self):
        # L/x7 = 0.5 <= x5: all of X' infiltrates; L + Dl exceeds x7 but Dl alone does not.
        _, s, lost = run(params(x5=0.99), [8.0, 0.0, 0.0])
        assert s["L"][0] == 10.0 and s["Dg"][0] == 50.0  # soil full: no capillary rise, depth untouched
        x_over = (8.0 + 10.0 - 18.0 * 0.5 / 100.0) - 10.0  # W - Qif - x9
        dl = x_over - 0.5 * x_over / 20.0  # less the overland flow
        assert lost[0] == pytest.approx(5.0 + dl - 10.0, rel=1e-12) and lost[2] == pytest.approx(lost[0], abs=1e-12)

    def test_infiltration_above_capacity_goes_to_groundwater(self):
        _, s, lost = run(params(x5=0.99), [30.0, 0.0, 0.0])
        assert s["L"][0] == 10.0 and 0.1 < s["Dg"][0] < 50.0 - 19.0
        np.testing.assert_allclose(lost, 0.0, atol=1e-9)

    def test_water_table_at_the_surface_overflows_the_same_day(self):
        q, s, lost = run(params(x5=0.01, x7=1000.0), [210.0, 0.0, 0.0])
        np.testing.assert_allclose(lost, 0.0, atol=1e-9)
        assert q[0] > 2.0 / 3.0 * 40.0  # the overflow 0.1 - D'' (about 49 mm) is in today's runoff
        # The depth restarts from 0.1 plus the capillary rise, which sits in the soil.
        cr = s["Dg"][0] - 0.1
        assert 0.0 < cr <= (0.01 / 0.1) ** 2
        assert cr == pytest.approx((0.01 / 0.1) ** 2 * np.sqrt(1.0 - (s["L"][0] - cr) / 1000.0), rel=1e-9)


class TestEvaporationAndGroundwater:
    def test_unmet_evaporation_empties_u_and_draws_on_soil(self):
        _, s, _ = run(params(x7=1000.0, x10=10.0), [0.0], [20.0])
        ed = 20.0 - (10.0 - 10.0 * 0.5 / 100.0)  # E - (W - Qif)
        cr = s["Dg"][0] - 50.0
        assert s["U"][0] == 0.0 and cr > 0.0
        assert s["L"][0] - cr == pytest.approx(500.0 - ed * 500.0 / 1000.0, rel=1e-12)
        # Demand beyond the soil's content floors it at 0; only capillary rise, (x10 / 50)^2, refills it.
        _, s, _ = run(params(x7=1.0, x9=1.0, x10=10.0), [0.0], [10.0])
        assert s["U"][0] == 0.0 and s["L"][0] == pytest.approx((10.0 / 50.0) ** 2, rel=1e-12)
        assert s["Dg"][0] - 50.0 == pytest.approx(s["L"][0], rel=1e-9)

    def test_no_base_flow_while_the_depth_stays_below_x1(self):
        dry = np.zeros(200)
        a, b = (run(params(x1=v, x4=3.0, x7=300.0), dry) for v in (10.0, 40.0))
        np.testing.assert_array_equal(a[0], b[0])
        assert np.all(np.diff(a[1]["Dg"]) >= 0.0)  # only capillary rise moves the table
        assert np.all(run(params(x1=500.0, x4=3.0, x7=300.0), dry)[0][2:] > a[0][2:])
        # Recharge that brings the depth under x1 = 40 starts base flow there, not with x1 = 10.
        c, d = (run(params(x1=v, x5=0.01, x7=300.0), np.r_[60.0, np.zeros(59)])[0] for v in (10.0, 40.0))
        assert np.all(d > c)


@pytest.mark.parametrize("delay", [0.5, 1.0, 1.0001, 2.0, 5.25, 10.0])
def test_delay_spreads_the_runoff_over_two_days(delay, camels_forcing):
    # The delay leaves the runoff alone; with x4 = 0.5 the buffer holds 1/3 of it after each day.
    p = camels_forcing("01022500")["prcp"][:400]
    runoff = 3.0 * run(params(x7=200.0), p)[1]["b"]
    k = int(np.ceil(delay))
    v = 1.0 / ((delay - (k + 1)) + 3.0)
    expected = np.convolve(runoff, np.r_[np.zeros(k - 1), v, 1.0 - v])[: len(p)]
    q = run(params(x4=delay, x7=200.0), p)[0]
    np.testing.assert_allclose(q, expected, rtol=1e-12, atol=1e-12)
    assert np.all(q[: k - 1] == 0.0) and q[k - 1] > 0.0


@pytest.mark.parametrize("x, p, kind, message", [
    (np.ones(9), np.ones(3), "Validation", "^expected 10 params, got 9$"),
    (np.ones(11), np.ones(3), "Validation", "^expected 10 params, got 11$"),
    (params(x5=1.0, x10=20.0), np.ones(3), "Validation", r"^Parameter 'x5' value 1 outside bounds \[0.01, 0.99\]$"),
    (params(), np.ones(0), "Validation", "^Empty input array: precipitation$"),
    (params(x7=500.0), f64(1e308, 0.0), "Numerical", "NAM simulation: non-finite value inf at index 0$"),
])
def test_errors(x, p, kind, message):
    with pytest.raises(getattr(vardex_rs, f"Vardex{kind}Error"), match=message):
        nam.simulate(x, p, np.zeros_like(p))
