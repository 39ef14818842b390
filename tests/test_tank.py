"""Tank: water balance, evaporation from the top down, outlet thresholds, fast tanks and the delay."""
import numpy as np
import pytest

import vardex_rs
from helpers import f64, flow_and_states

tank = vardex_rs.hydro.tank
STORES = ["T1", "T2", "T3", "T4", "b"]
DEFAULTS = tank.init()[0]
SLOW = f64(500.5, 500.5, 100, 100, 0.5, 0.5, 100)  # outlets that barely drain, half the PET


def run(params, p, e):
    return flow_and_states("tank", STORES, params, p, e)


def held(s):  # the tanks start with 10 mm each and the delay empty
    return sum(s[k] for k in STORES)


@pytest.mark.parametrize("params", [DEFAULTS, f64(1, 1, 1, 1, 0.5, 0.1, 1), f64(1000, 1000, 100, 100, 5, 2, 100),
                                    f64(30, 15, 2.5, 3, 1.5, 1.3, 2)])
def test_water_balance(params, camels_forcing):
    data = camels_forcing("01022500")
    p = data["prcp"][:2000]
    pet = vardex_rs.pet.oudin.simulate(data["tmean"], data["doy"], data["lat"])[:2000]
    # Without PET, rain is either streamflow or still held by a tank or the delay.
    q, s = run(params, p, np.zeros_like(p))
    np.testing.assert_allclose(40.0 + np.cumsum(p), np.cumsum(q) + held(s), rtol=1e-12, atol=1e-9)
    # With PET, the day's loss is evaporation: between 0 and the corrected PET; no tank goes negative.
    q, s = run(params, p, pet)
    loss = p - q - np.diff(np.concatenate([[40.0], held(s)]))
    assert np.all(loss >= -1e-9) and np.all(loss <= pet * params[5] + 1e-9)
    assert all(np.all(s[k] >= 0) for k in STORES)


class TestEvaporation:
    dry = run(SLOW, f64(0.0), f64(0.0))

    def test_unmet_demand_passes_down_the_tanks(self):
        q, s = run(SLOW, f64(0.0), f64(50.0))
        # The outlets act before evaporation, so the day's flows match the dry run; the top two tanks
        # give all they have left and the third the rest of the 25 mm (50 mm of PET, halved).
        assert q[0] == self.dry[0][0] and s["T4"][0] == self.dry[1]["T4"][0]
        assert s["T1"][0] == 0.0 and s["T2"][0] == 0.0
        taken = self.dry[1]["T1"][0] + self.dry[1]["T2"][0] + (self.dry[1]["T3"][0] - s["T3"][0])
        assert taken == pytest.approx(25.0, rel=1e-14)

    def test_demand_beyond_all_tanks_is_dropped(self):
        q, s = run(SLOW, f64(0.0, 0.0), f64(1e6, 0.0))
        assert all(np.all(s[k] == 0.0) for k in STORES[:4])
        assert q[0] == self.dry[0][0] and q[1] > 0  # the delay still releases day 0's runoff

    def test_rain_covering_the_demand_spares_the_lower_tanks(self):
        q, s = run(SLOW, f64(20.0), f64(10.0))
        wet = run(SLOW, f64(20.0), f64(0.0))[1]
        assert all(s[k][0] == wet[k][0] for k in ["T2", "T3", "T4"])
        assert s["T1"][0] == pytest.approx(wet["T1"][0] - 5.0, rel=1e-14)


def test_below_the_thresholds_only_the_bottom_tank_runs_off():
    p = np.random.default_rng(3).gamma(0.6, 5.0, 200)
    q, s = run(DEFAULTS, p, np.zeros_like(p))
    assert max(s[k].max() for k in STORES[:4]) < 500.5
    # Raising the side outlets changes nothing while no tank reaches them.
    np.testing.assert_array_equal(q, tank.simulate(f64(1000, 1000, *DEFAULTS[2:]), p, np.zeros_like(p)))
    # The day's runoff is the bottom outlet alone: 1 / K4 of the bottom tank, which keeps the rest.
    runoff = q + np.diff(np.concatenate([[0.0], s["b"]]))
    np.testing.assert_allclose(runoff, s["T4"] / (DEFAULTS[2] * DEFAULTS[3] * DEFAULTS[6] ** 2 - 1.0), rtol=1e-9)


def test_side_outlets_of_the_top_tank():
    def first_day(x1, x2, rain):
        return tank.simulate(f64(x1, x2, 20, 2, 0.5, 1, 2), f64(rain, 0, 0), f64(0, 0, 0))

    # 510 mm pass a lower outlet at 400 mm, but not an upper one at 300 + 400 mm; 1010 mm pass that too.
    assert first_day(1000, 400, 500)[0] > first_day(1000, 1000, 500)[0]
    np.testing.assert_array_equal(first_day(300, 400, 500), first_day(1000, 400, 500))
    assert first_day(300, 400, 1000)[0] > first_day(1000, 400, 1000)[0]


def test_a_dry_day_above_the_lower_outlets():
    # x2 = 1 below every tank's 10 mm, x3 = 1, K2 = K3 = K4 = 2, worked by hand: the top tank loses 9 mm
    # sideways and 1 mm down; the second holds 11, loses 5 sideways, halves to 3; the third holds 13,
    # loses 6, halves to 3.5; the bottom holds 13.5 and halves.
    q, s = run(f64(1000, 1, 1, 2, 0.5, 1, 1), f64(0.0), f64(0.0))
    assert [s[k][0] for k in STORES[:4]] == [0.0, 3.0, 3.5, 6.75]
    assert q[0] + s["b"][0] == pytest.approx(9 + 5 + 6 + 6.75, rel=1e-15)


@pytest.mark.parametrize("x5, w", [(0.5, [2 / 3, 1 / 3]), (1.0, [0.5, 0.5]), (1 + 1e-9, [0, 1, 0]),
                                   (1.25, [0, 0.8, 0.2]), (2.75, [0, 0, 4 / 7, 3 / 7]), (5.0, [0, 0, 0, 0, 0.5, 0.5])])
def test_fast_tanks_empty_on_the_day_and_the_delay_splits(x5, w):
    # Every constant 1: all 140 mm (rain and the initial 40) leave the tanks on day 0; the delay spreads them.
    q, s = run(f64(1, 1000, 1, 1, x5, 1, 1), np.array([100.0] + [0.0] * 6), np.zeros(7))
    assert all(np.all(s[k] == 0.0) for k in STORES[:4])
    np.testing.assert_allclose(q, 140.0 * np.pad(w, (0, 7 - len(w))), rtol=1e-12, atol=1e-6)
