"""SMAR: water balance from the recorded stores, the first day's upper-soil moisture, dry and wet days,
empty upper soil, and a storm that drains through all sixteen layers."""
import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import f64

smar = vardex_rs.hydro.smar
LAYERS = [f"L{k}" for k in range(16)]
STORES = LAYERS + ["Gl", "Gq", "b"]  # every store once: the upper-soil moisture Su is derived, not recorded
DEFAULT = f64(0.505, 5.005, 0.5, 250.5, 100.5, 2.75, 1.05, 0.5)
BOX = [DEFAULT, f64(0.01, 0.01, 0.01, 1, 1, 0.5, 0.1, 0.01), f64(1, 10, 0.99, 500, 200, 5, 2, 0.99),
       f64(0.9, 0.5, 0.9, 20, 3, 1.0, 1.5, 0.2)]


def run(params, p, e):
    p, e = np.asarray(p, dtype=np.float64), np.asarray(e, dtype=np.float64)
    s = vardex.model_states("smar", params, p, e)
    assert list(s) == STORES
    return smar.simulate(params, p, e), s


def with_(**kw):
    return f64(*(kw.get(f"x{i + 1}", v) for i, v in enumerate(DEFAULT)))


@pytest.mark.parametrize("params", BOX)
def test_water_balance(params, camels_forcing):
    data = camels_forcing("01022500")
    p = data["prcp"][:2000]
    pet = vardex_rs.pet.oudin.simulate(data["tmean"], data["doy"], data["lat"])[:2000]
    start = 16 * 2.0 + 50.0 + 20.0
    q, s = run(params, p, np.zeros_like(p))
    held = sum(s[k] for k in STORES)
    np.testing.assert_allclose(start + np.cumsum(p), np.cumsum(q) + held, rtol=1e-12, atol=1e-9)
    # With PET the rain first meets the corrected demand; the layers then evaporate at most what is left.
    q, s = run(params, p, pet)
    ec = params[6] * pet
    held = np.concatenate([[start], sum(s[k] for k in STORES)])
    loss = p - q - np.diff(held)
    assert np.all(loss >= np.minimum(p, ec) - 1e-9) and np.all(loss <= ec + 1e-9)
    assert all(np.all((s[k] >= 0) & (s[k] <= 25)) for k in LAYERS)


def test_first_day_uses_su_100_then_the_upper_layers():
    # x1 = 1: a fraction Su / 125 of the rain runs off directly, the rest soaks into the top layer.
    q, s = run(with_(x1=1.0), [10.0, 10.0], [0.0, 0.0])
    assert s["L0"][0] == pytest.approx(2.0 + 10.0 * (1 - 100 / 125), rel=1e-14)  # not Su = 10
    su = sum(s[k][0] for k in LAYERS[:5])  # the upper layers at the end of day 0
    assert s["L0"][1] == pytest.approx(s["L0"][0] + 10.0 * (1 - su / 125), rel=1e-14)
    assert all(np.all(s[k] == 2.0) for k in LAYERS[1:])


def test_dry_days_evaporate_top_down_and_drain_the_reservoirs():
    params = with_(x3=0.5, x7=1.0)
    q, s = run(params, np.zeros(20), np.ones(20))
    # Each layer meets one more factor x3 of what the layers above left of the 1 mm demand.
    assert s["L0"][0] == pytest.approx(1.5, rel=1e-15)
    assert s["L1"][0] == pytest.approx(2.0 - 0.25 * 0.5, rel=1e-15)
    layers = np.array([s[k] for k in LAYERS])
    assert np.all(np.diff(layers, axis=1) <= 0) and np.all(2.0 - layers[:, 0] > 0)
    assert 2.0 * 16 - layers[:, 0].sum() < 1.0
    np.testing.assert_allclose(s["Gl"][1:] / s["Gl"][:-1], 1 - 1 / params[4], rtol=1e-13)
    gq = np.concatenate([[20.0], s["Gq"]])
    np.testing.assert_allclose(gq[1:], gq[:-1] * params[3] / (params[3] + gq[:-1]), rtol=1e-13)
    # Rain below the corrected PET only evaporates: nothing infiltrates or runs off.
    q2, s2 = run(params, np.full(20, 0.5), np.ones(20))
    assert np.all(np.diff(np.array([s2[k] for k in LAYERS]), axis=1) <= 0)
    np.testing.assert_array_equal(q2, q)


def test_wet_days_do_not_evaporate():
    params = with_(x7=1.5)
    q0, s0 = run(params, np.zeros(10), np.zeros(10))
    q, s = run(params, np.full(10, 3.0), np.full(10, 2.0))  # P equal to the corrected PET: as if dry
    assert all(np.array_equal(s[k], s0[k]) for k in s) and np.array_equal(q, q0)
    q, s = run(params, np.full(10, 4.0), np.full(10, 2.0))
    assert all(np.all(np.diff(np.concatenate([[2.0], s[k]])) >= 0) for k in LAYERS)


@pytest.mark.parametrize("rain", [150.0, 300.0])
def test_empty_upper_soil_takes_up_to_200_mm_without_direct_runoff(rain):
    params = with_(x3=0.99, x7=2.0, x6=0.5)
    q0, s0 = run(params, [0.0, 0.0], [100.0, 0.0])  # a 200 mm demand empties every layer
    assert all(s0[k][0] == 0 for k in LAYERS)
    q, s = run(params, [0.0, rain], [100.0, 0.0])
    full = int(min(rain, 200.0) // 25)
    assert [s[k][1] for k in LAYERS] == [25.0] * full + [0.0] * (16 - full)
    # Nothing runs off directly; only rain beyond 200 mm reaches the quadratic reservoir.
    assert s["Gl"][1] == s0["Gl"][1]
    if rain <= 200:
        assert q[1] == q0[1] and s["Gq"][1] == s0["Gq"][1]
    else:
        assert s["Gq"][1] > s0["Gq"][1] + 50


def test_storm_beyond_free_space_leaves_as_deep_drainage():
    params = with_(x1=0.01, x2=0.01, x5=200.0, x8=0.01)
    q, s = run(params, [1000.0, 1000.0], [0.0, 0.0])
    i0, i1 = 200 * np.exp(-0.01 * 100 / 125), 200 * np.exp(-0.01)  # infiltration capacity, Su 100 then 125
    assert sum(s[k][0] for k in LAYERS) == pytest.approx(32.0 + i0, rel=1e-14)
    assert s["Gl"][0] == pytest.approx(50.0 * (1 - 1 / 200), rel=1e-15)  # nothing drained on day 0
    assert all(s[k][1] == 25.0 for k in LAYERS)
    z = i1 - (16 * 25.0 - 32.0 - i0)
    assert s["Gl"][1] == pytest.approx((0.99 * z + s["Gl"][0]) * (1 - 1 / 200), rel=1e-12)
