"""CEQUEAU: the delay split, thresholds and overflow of the soil store, the evaporation split, the water balance."""
import math

import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64

ceq = vardex_rs.hydro.cequeau
DEFAULTS = ceq.init()[0]


def with_(**changes):
    x = DEFAULTS.copy()
    for name, value in changes.items():
        x[int(name[1:]) - 1] = value
    return x


def run(x, p, e):
    p, e = f64(*p), f64(*e)
    return ceq.simulate(x, p, e), vardex.model_states("cequeau", x, p, e)


def evaporated(x, p, e):
    """Daily water that left other than as streamflow: in minus out minus the change of what is held."""
    q, s = run(x, p, e)
    held = s["S"] + s["N"] + s["b"]
    before = np.concatenate([[500.0 + x[4] * 0.2], held[:-1]])
    return (np.asarray(p) + before) - (q + held), s


@pytest.mark.parametrize("d, share", [(0.1, 1 / 1.1), (1.0, 0.5), (1.0 + 1e-9, 1.0), (2.5, 2 / 3), (20.0, 0.5)])
def test_delay_puts_day_zero_runoff_on_day_ceil_d_minus_one(d, share):
    x = with_(x6=d)
    q = run(x, np.zeros(25), np.zeros(25))[0]
    q1, s1 = run(x, [0.0], [0.0])
    first = q1[0] + s1["b"][0]  # day 0 runoff: out now plus still in transit
    k = math.ceil(d)
    assert np.all(q[:k - 1] == 0.0) and np.all(q[k - 1:] > 0.0)
    assert q[k - 1] == pytest.approx(share * first, rel=1e-8)


class TestSoil:
    def test_dry_series_recedes_with_the_drainage_constants(self):
        # Soil below both thresholds: a linear outlet x8 x4. Groundwater: above x7 also the outlet x4 x9.
        x = with_(x1=3000.0, x2=3000.0, x4=2.0, x5=2000.0, x7=100.0, x8=3.0, x9=2.0)
        s = run(x, np.zeros(40), np.zeros(40))[1]
        soil, ground = np.concatenate([[500.0], s["S"]]), np.concatenate([[400.0], s["N"]])
        np.testing.assert_allclose(soil[1:], soil[:-1] * (1.0 - 1.0 / 6.0), rtol=1e-13)
        upper = ground[:-1] - ground[1:] / (1.0 - 1.0 / 24.0)
        np.testing.assert_allclose(upper, np.maximum(ground[:-1] - 100.0, 0.0) / 4.0, rtol=1e-10, atol=1e-12)
        assert ground[0] > 100.0 > ground[-1]

    def test_rain_below_the_infiltration_threshold_never_reaches_the_groundwater(self):
        # x1 = 1500: the soil stays below it on this rain, so N drains exactly as on a dry series.
        p = np.tile([20.0, 0.0, 5.0, 0.0], 30)
        _, wet = run(DEFAULTS, p, np.zeros_like(p))
        _, dry = run(DEFAULTS, np.zeros_like(p), np.zeros_like(p))
        assert np.all(wet["S"] < DEFAULTS[0]) and np.all(wet["S"] > dry["S"])
        np.testing.assert_array_equal(wet["N"], dry["N"])
        assert np.all(np.diff(dry["N"]) < 0.0) and np.all(np.diff(dry["S"]) < 0.0)

    def test_capacity_below_the_initial_store_overflows_on_day_one(self):
        x = with_(x5=100.0, x6=0.1)
        q, s = run(x, [0.0, 0.0], [0.0, 0.0])
        assert s["S"][0] == pytest.approx(100.0, rel=1e-14) and s["S"][1] < 100.0
        assert q[0] == pytest.approx(400.0 / 1.1, rel=1e-3)  # the 400 mm overflow, less what the delay keeps


class TestEvaporation:
    @pytest.mark.parametrize("x5, soil_share", [(800.0, 1.0), (8000.0, 0.125)])
    def test_demand_goes_to_the_soil_first_and_the_rest_to_the_groundwater(self, x5, soil_share):
        # No infiltration or upper drainage; N stays above x7, so the demand is always met in full.
        x = with_(x1=3000.0, x2=3000.0, x5=x5, x7=10.0)
        e = np.full(20, 4.0)  # 20 days keep S above 400 mm when x5 = 800
        loss, wet = evaporated(x, np.zeros(20), e)
        _, dry = run(x, np.zeros(20), np.zeros(20))
        np.testing.assert_allclose(loss, e, rtol=1e-9)
        if soil_share == 1.0:  # the soil holds at least half its capacity: nothing left for the groundwater
            np.testing.assert_array_equal(wet["N"], dry["N"])
        else:  # S1 = 500 is 1/16 of x5, so the soil takes 2 / 16 of the first day's demand
            lateral = 1.0 - 1.0 / (x[7] * x[3])
            assert dry["S"][0] - wet["S"][0] == pytest.approx(soil_share * 4.0 * lateral, rel=1e-9)
            assert np.all(wet["N"] < dry["N"])

    def test_demand_beyond_both_stores_empties_them_exactly(self):
        # 500 mm of soil and 200 mm of groundwater; the day's drainage still leaves before the groundwater evaporates.
        q, s = run(with_(x5=1000.0, x6=0.1), [0.0, 0.0], [5000.0, 0.0])
        assert np.all(s["S"] == 0.0) and np.all(s["N"] == 0.0) and q[0] > 0.0 and s["b"][1] == 0.0


@pytest.mark.parametrize("with_pet", [False, True])
def test_water_balance(camels_forcing, with_pet):
    # Every drainage path and the overflow are active; without PET nothing leaves but streamflow, with it the
    # daily loss stays within that day's demand.
    p = camels_forcing("01022500")["prcp"][:2000]
    e = np.random.default_rng(3).uniform(0.0, 5.0, p.size) if with_pet else np.zeros_like(p)
    x = f64(10.0, 40.0, 4.0, 10.0, 45.0, 3.7, 15.0, 2.0, 2.0)
    loss, s = evaporated(x, p, e)
    overflowed = np.isclose(s["S"], 45.0, rtol=1e-12)
    assert np.sum(overflowed[1:]) >= 4 and np.any(s["N"] > 15.0) and np.all(s["S"] >= 0.0) and np.all(s["N"] >= 0.0)
    if with_pet:
        assert np.all(loss >= -1e-9) and np.all(loss <= e + 1e-9) and np.sum(loss) > 0.3 * np.sum(e)
    else:
        np.testing.assert_allclose(loss, 0.0, atol=1e-10)


class TestErrors:
    @pytest.mark.parametrize("count", [8, 10])
    def test_parameter_count(self, count):
        with pytest.raises(vardex_rs.VardexValidationError, match=f"^expected 9 params, got {count}$"):
            ceq.simulate(np.full(count, -1.0), f64(1.0), f64(1.0))

    def test_groundwater_overflow_ends_in_zero_flow_not_an_error(self):
        # Everything infiltrates and barely drains: the second day makes N infinite, its drainage NaN, and the
        # NaN head of the buffer gives 0 from then on.
        x = f64(0.0, 3000.0, 1.0, 50.0, 8000.0, 0.1, 500.0, 1000.0, 3000.0)
        q, s = run(x, np.full(4, 1.7e308), np.zeros(4))
        assert 0.0 < q[0] < np.inf and np.all(q[1:] == 0.0)
        assert np.all(np.isnan(s["N"][1:])) and np.all(s["S"] == 0.0)
