"""Oudin PET: input checks, polar and cold cases, bit-exact agreement with a plain reference."""

import math

import numpy as np
import pytest

import vardex_rs
from vardex_rs.pet.oudin import simulate
from helpers import f64, same_bits, u64

Validation = vardex_rs.VardexValidationError
PI = 3.141592653589793


def ref_oudin(temperature, day_of_year, latitude):
    phi = (latitude * PI) / 180.0
    out = []
    for t, d in zip(temperature.tolist(), day_of_year.tolist()):
        j = float(d)
        delta = 0.409 * math.sin(0.01721420632103996 * j - 1.39)
        x = math.tan(delta) * (-math.tan(phi))
        x = min(max(x, -1.0), 1.0)
        omega = math.acos(x)
        dr = math.cos(((j + j) * PI) / 365.0) * 0.033 + 1.0
        k = dr * (0.082 * 458.3662361046586)
        ra = (math.sin(omega) * (math.cos(phi) * math.cos(delta)) + (math.sin(phi) * omega) * math.sin(delta)) * k
        lam = t * (-0.002361) + 2.501
        pet = (((t + 5.0) * (ra / (lam * 1000.0))) / 100.0) * 1000.0
        out.append(pet if pet > 0.0 else 0.0)
    return np.array(out)


@pytest.mark.parametrize("latitude", [-90.0, -66.6, -45.3, -12.0, 0.0, 23.44, 44.60797, 66.5, 70.1, 89.99, 90.0])
def test_matches_reference_bit_for_bit(latitude):
    rng = np.random.default_rng(int(abs(latitude) * 100))
    days = np.arange(1, 367, dtype=np.uint64)
    temperature = rng.uniform(-15.0, 40.0, len(days))
    temperature[:4] = [-100.0, 100.0, -5.0, 0.0]
    got = simulate(temperature, days, latitude)
    assert same_bits(got, ref_oudin(temperature, days, latitude))


def test_real_catchment(camels_forcing):
    f = camels_forcing("01022500")
    pet = simulate(f["tmean"], f["doy"], f["lat"])
    assert same_bits(pet, ref_oudin(f["tmean"], f["doy"], f["lat"]))
    # A temperate coastal catchment: some 400-900 mm a year, far more in July than in January.
    years = len(pet) / 365.25
    assert 400.0 < pet.sum() / years < 900.0
    months = f["dates"].astype("datetime64[M]").astype(int) % 12 + 1
    assert pet[months == 7].mean() > 5.0 * pet[months == 1].mean()


def test_strided_inputs_read_in_logical_order():
    temperature = np.linspace(-10.0, 35.0, 200)
    days = np.arange(1, 201, dtype=np.uint64)
    got = simulate(temperature[::-2], days[::-2], 48.0)
    assert same_bits(got, ref_oudin(temperature[::-2], days[::-2], 48.0))


def test_cold_days_give_exactly_zero():
    temperature = np.array([-5.0, -5.000001, -20.0, -100.0] * 92)
    days = np.arange(1, 369, dtype=np.uint64)[: len(temperature)] % 366 + 1
    for latitude in (-60.0, 0.0, 45.0):
        pet = simulate(temperature, days, latitude)
        assert np.all(pet == 0.0) and not np.any(np.signbit(pet))


def test_polar_day_and_night():
    t = f64(20.0)
    # Midsummer at the pole: the sun never sets, radiation and PET are positive.
    assert simulate(t, u64(172), 90.0)[0] > 0.0
    assert simulate(t, u64(355), -90.0)[0] > 0.0
    # Midwinter: no radiation at all.
    assert simulate(t, u64(355), 90.0)[0] == 0.0
    assert simulate(t, u64(172), -90.0)[0] == 0.0
    # Beyond the polar circle in winter the clamp gives polar night too.
    assert simulate(t, u64(1), 80.0)[0] == 0.0


def test_boundaries_accepted():
    temperature = f64(-100.0, 100.0, 100.0)
    days = u64(1, 366, 200)
    for latitude in (-90.0, 90.0):
        out = simulate(temperature, days, latitude)
        assert out.shape == (3,) and np.all(np.isfinite(out))


@pytest.mark.parametrize(
    "temperature, days, latitude, message",
    [
        (f64(1, 2, 3), u64(1, 2), 45.0, "temperature and day_of_year must have the same length (got 3 and 2)"),
        (f64(), u64(1), 45.0, "temperature and day_of_year must have the same length (got 0 and 1)"),
        (f64(), u64(), 45.0, "Empty input array: temperature"),
        (f64(), u64(), 95.0, "Empty input array: temperature"),
        # One scan over temperature: the first offending index wins, whatever its fault.
        (f64(150, np.nan), u64(1, 2), 45.0, "Temperature 150 at index 0 outside physical range [-100, 100]"),
        (f64(1, np.nan, 150), u64(1, 2, 3), 45.0, "Non-finite value in temperature at index 1: NaN"),
        (f64(1, 2, -100.5), u64(1, 2, 3), 45.0, "Temperature -100.5 at index 2 outside physical range [-100, 100]"),
        (f64(1, -np.inf), u64(1, 2), 45.0, "Non-finite value in temperature at index 1: -inf"),
        (f64(100.00000000000001), u64(1), 45.0,
         "Temperature 100.00000000000001 at index 0 outside physical range [-100, 100]"),
        # Temperatures are examined before day numbers, day numbers before latitude.
        (f64(1, 2, 3, 4, np.nan), u64(0, 1, 1, 1, 1), 45.0, "Non-finite value in temperature at index 4: NaN"),
        (f64(1, 2), u64(0, 1), 95.0, "Day of year 0 at index 0 outside valid range [1, 366]"),
        (f64(1, 2), u64(1, 367), 45.0, "Day of year 367 at index 1 outside valid range [1, 366]"),
        (f64(1), u64(2**64 - 1), 45.0,
         "Day of year 18446744073709551615 at index 0 outside valid range [1, 366]"),
        (f64(1), u64(1), 95.0, "Latitude 95 outside valid range [-90, 90]"),
        (f64(1), u64(1), -90.25, "Latitude -90.25 outside valid range [-90, 90]"),
        (f64(1), u64(1), math.nan, "Latitude NaN outside valid range [-90, 90]"),
        (f64(1), u64(1), math.inf, "Latitude inf outside valid range [-90, 90]"),
    ],
)
def test_checks_in_order(temperature, days, latitude, message):
    with pytest.raises(Validation) as info:
        simulate(temperature, days, latitude)
    assert str(info.value) == message


def test_day_of_year_must_be_uint64():
    with pytest.raises(TypeError, match=r"^argument 'day_of_year': "):
        simulate(f64(1, 2, 3), np.array([1, 2, 3]), 45.0)
