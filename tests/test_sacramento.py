"""Sacramento: interception, the lower tension deficit, the delay split, overflow, and the water accounting."""
import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64, assert_delayed_split

sac = vardex_rs.hydro.sacramento
DEFAULTS = sac.init()[0]


def with_(**changes):
    x = DEFAULTS.copy()
    for name, value in changes.items():
        x[int(name[1:]) - 1] = value
    return x


def states(x, p, e):
    return vardex.model_states("sacramento", x, np.asarray(p, dtype=np.float64), np.asarray(e, dtype=np.float64))


def test_dry_series_drains_the_initial_stores():
    s = states(DEFAULTS, np.zeros(300), np.zeros(300))
    q = sac.simulate(DEFAULTS, np.zeros(300), np.zeros(300))
    assert np.all(s["Si"] == 3.0) and np.all(s["Sr"] == 0.0)
    assert np.all(np.diff(s["Su"]) < 0) and np.all(np.diff(s["Sl"]) < 0) and s["Su"][0] < 10.0
    # x9 = 5.25: nothing reaches the outlet before day 5, then it flows every day.
    assert np.all(q[:5] == 0.0) and np.all(q[5:] > 0.0)


@pytest.mark.parametrize("d, share", [(0.5, 2 / 3), (1.0, 0.5), (1.0 + 1e-9, 1.0), (2.0, 0.5), (3.5, 2 / 3),
                                      (5.25, 0.8), (10.0, 0.5)])
def test_delay_puts_day_zero_runoff_on_day_ceil_d_minus_one(d, share):
    x = with_(x9=d)
    q = sac.simulate(x, np.zeros(15), np.zeros(15))
    first = q[0] + states(x, np.zeros(1), np.zeros(1))["b"][0]  # day 0 runoff: out now plus still in transit
    assert_delayed_split(q, first, d, share)


def test_interception_meets_demand_first():
    s = states(DEFAULTS, f64(1, 2, 10), f64(10, 0.5, 0))
    np.testing.assert_allclose(s["Si"], [0.0, 1.5, 3.0], atol=1e-15)
    # Demand beyond the interception water goes to the upper zone (and on to the lower tension store).
    short, long = states(DEFAULTS, f64(1), f64(4)), states(DEFAULTS, f64(1), f64(10))
    assert long["Su"][0] < short["Su"][0] and long["Sl"][0] == short["Sl"][0]


@pytest.mark.parametrize("x2, refilled", [(130.0, True), (1000.0, False)])
def test_lower_tension_deficit_refilled_only_from_lower_zone_excess(x2, refilled):
    # Day 1's demand (Er > 33) drives St below zero; only Sl above x2 - 30 may make up for it.
    x = with_(x2=x2, x3=500.0, x4=10.0, x5=20.0)
    wet = states(x, f64(60, 0), f64(0, 0))
    dry = states(x, f64(60, 0), f64(0, 200))
    assert wet["St"][0] > 0 and wet["St"][1] > 0 and dry["St"][1] == 0.0
    assert (wet["Sl"][1] > x2 - 30.0) == refilled
    if refilled:  # Sl gives up everything above x2 - 30, then drains as usual
        assert dry["Sl"][1] == pytest.approx((x2 - 30.0) * (1 - 1 / x[2]), rel=1e-12)
    else:  # the deficit is dropped and Sl is untouched
        assert dry["Sl"][1] == wet["Sl"][1]
    # The demand St cannot meet is not evaporation: only the water that left counts, and the balance closes.
    p, e = f64(60, 0), f64(0, 200)
    evaporation = vardex.model_fluxes("sacramento", x, p, e)["actual_evaporation"]
    assert 0.0 < evaporation[1] < 200.0
    balance = vardex.water_balance("sacramento", x, p, e)
    assert abs(balance["residual"]) < 1e-12 * balance["precipitation"]


@pytest.mark.parametrize("x8", [1.0, 7.0, 50.0])
def test_water_balance_with_deep_losses(camels_forcing, x8):
    # Without PET, rain is streamflow, held in a store or the delay, or lost below the lower zone: (1 - 1/x8)
    # of the daily drainage Ql = Sl_before / x3 = Sl_after / (x3 - 1).
    p = camels_forcing("01022500")["prcp"][:2000]
    x = f64(4.0, 200.0, 60.0, 80.0, 6.0, 12.0, 0.3, x8, 2.6)
    q = sac.simulate(x, p, np.zeros_like(p))
    s = states(x, p, np.zeros_like(p))
    assert list(s) == ["Si", "Su", "Sl", "St", "Sr", "b"]
    held = s["Si"] + s["Su"] + s["Sl"] + s["St"] + s["Sr"] + s["b"]
    lost = np.cumsum(s["Sl"] / (x[2] - 1.0) * (1.0 - 1.0 / x8))
    np.testing.assert_allclose(113.0 + np.cumsum(p), np.cumsum(q) + held + lost, rtol=1e-12, atol=1e-9)
    deep_loss = vardex.model_fluxes("sacramento", x, p, np.zeros_like(p))["deep_loss"]
    np.testing.assert_allclose(-np.cumsum(deep_loss), lost, rtol=1e-12, atol=1e-9)
    assert np.all(s["Su"] <= x[3]) and np.all(s["St"] <= 30.0) and np.all(s["Si"] <= 3.0)


def test_overflow_ends_in_an_orderly_way():
    with pytest.raises(vardex_rs.VardexNumericalError, match="SACRAMENTO simulation"):
        sac.simulate(with_(x9=0.5), np.full(5, 1.7e308), np.zeros(5))
    for x in (DEFAULTS, sac.init()[1][:, 0].copy()):
        for p in (1e308, 1.7e308):
            try:
                q = sac.simulate(x, np.full(5, p), np.full(5, p))
            except vardex_rs.VardexNumericalError as err:
                assert "SACRAMENTO simulation" in str(err)
            else:
                assert np.all(np.isfinite(q)) and np.all(q >= 0.0)
