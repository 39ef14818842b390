"""MOHYSE: the gamma-shaped unit hydrograph, rain meeting PET first, the infiltration cut-off, water balance."""
import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64

mohyse = vardex_rs.hydro.mohyse
DEFAULTS = mohyse.init()[0]


def with_params(**changes):
    x = DEFAULTS.copy()
    for name, value in changes.items():
        x[int(name[1:]) - 1] = value
    return x


@pytest.mark.parametrize("s, h", [(1.0, 0.5), (1.0, 5.0), (2.5, 0.7), (3.0, 2.75), (5.0, 5.0)])
def test_a_pulse_on_a_saturated_vadose_zone_traces_the_unit_hydrograph(s, h):
    # V = 40 >= x2: nothing infiltrates, the rain is all surface runoff and the stores evolve as on a dry day, so
    # the difference from the dry run is the pulse times the ordinates, and nothing after 80 days.
    params = with_params(x2=1.0, x6=s, x7=h)
    dry, wet = np.zeros(120), np.r_[100.0, np.zeros(119)]
    ds, ws = (vardex.model_states("mohyse", params, p, dry) for p in (dry, wet))
    assert np.array_equal(ds["V"], ws["V"]) and np.array_equal(ds["A"], ws["A"])
    k = np.arange(1.0, 81.0)
    u = k ** (s - 1) * np.exp(-k / h)
    response = mohyse.simulate(params, wet, dry) - mohyse.simulate(params, dry, dry)
    np.testing.assert_allclose(response[:80], 100.0 * u / u.sum(), rtol=1e-9, atol=1e-12)
    assert np.all(response[80:] == 0.0)
    if s == 1.0:  # pure exponential decay: the first day takes the most
        assert np.argmax(response) == 0


def test_rain_meets_pet_first():
    # Only the net rain and the demand left after it matter, so any forcing equals its netted version.
    rng = np.random.default_rng(5)
    p = np.where(rng.uniform(size=400) < 0.4, rng.gamma(1.5, 8.0, 400), 0.0)
    e = rng.uniform(0.0, 6.0, 400)
    for params in (DEFAULTS, with_params(x1=1.0, x2=50.0, x6=1.0)):
        netted = mohyse.simulate(params, np.maximum(p - e, 0.0), np.maximum(e - p, 0.0))
        assert np.array_equal(mohyse.simulate(params, p, e), netted)


def test_dry_run_drains_both_stores_from_the_first_day():
    params = with_params(x3=0.2, x4=0.3, x5=0.1, x6=1.0, x7=2.0)
    q = mohyse.simulate(params, np.zeros(200), np.zeros(200))
    r = np.exp(-1 / 2.0)
    w0 = (1 - r) / (1 - r**80)
    np.testing.assert_allclose(q[0], w0 * (0.3 * 40 + 0.1 * 30), rtol=1e-13)
    assert np.all(q > 0) and np.all(np.diff(q[30:]) < 0)


@pytest.mark.parametrize("x3, x4", [(0.3, 0.5), (0.001, 0.001), (0.6, 0.35)])
def test_water_balance_with_zero_pet(camels_forcing, x3, x4):
    # x3 + x4 <= 1 keeps V off its clamp; the ordinates sum to 1 only to rounding, hence the tolerance.
    p = camels_forcing("01022500")["prcp"][:1500]
    params = with_params(x2=300.0, x3=x3, x4=x4, x5=0.05, x6=4.0, x7=3.0)
    q = mohyse.simulate(params, p, np.zeros_like(p))
    s = vardex.model_states("mohyse", params, p, np.zeros_like(p))
    held = s["V"] + s["A"] + s["b"]
    assert np.all(s["V"] > 0) and np.ptp(s["V"]) > 10
    np.testing.assert_allclose(70.0 + np.cumsum(p), held + np.cumsum(q), rtol=1e-12)


def test_clamped_vadose_zone_gains_its_deficit():
    # x3 = x4 = 1: the first dry day drains 40 mm to the aquifer and 40 mm to the river while V only falls to 0.
    params = with_params(x3=1.0, x4=1.0, x5=0.2)
    q = mohyse.simulate(params, np.zeros(300), np.zeros(300))
    s = vardex.model_states("mohyse", params, np.zeros(300), np.zeros(300))
    assert np.all(s["V"] == 0.0)
    np.testing.assert_allclose(s["A"] + s["b"] + np.cumsum(q), 70.0 + 40.0, rtol=1e-13)
    # The clamp's 40 mm is the balance's vadose_floor, and only the first day needs it.
    floor = vardex.model_fluxes("mohyse", params, np.zeros(300), np.zeros(300))["vadose_floor"]
    assert floor[0] == 40.0 and np.all(floor[1:] == 0.0)
    assert vardex.water_balance("mohyse", params, np.zeros(300), np.zeros(300))["vadose_floor"] == 40.0


def test_errors():
    ok = np.ones(3)
    for n in (6, 8):  # the count is checked before any bound
        with pytest.raises(vardex_rs.VardexValidationError, match=f"^expected 7 params, got {n}$"):
            mohyse.simulate(np.full(n, -1.0), ok, ok)
    with pytest.raises(vardex_rs.VardexValidationError, match="^Parameter 'x7' value 0.49 outside bounds"):
        mohyse.simulate(with_params(x7=0.49), ok, ok)
    # Day 0 fills V to nearly the rain; day 1 sends all of V and the rain to the river at once.
    params = f64(0.5, 2000, 1, 1, 0.5, 1, 0.5)
    with pytest.raises(vardex_rs.VardexNumericalError,
                       match="^Numerical error in MOHYSE simulation: non-finite value inf at index 1$"):
        mohyse.simulate(params, np.full(3, 1.7e308), np.zeros(3))
