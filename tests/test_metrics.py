"""NSE, KGE and RMSE: input checks, degenerate cases and bit-exact agreement with a plain reference."""

import math
import struct

import numpy as np
import pytest

import vardex_rs
from vardex_rs.metrics import calculate_kge, calculate_nse, calculate_rmse

ALL = [calculate_rmse, calculate_nse, calculate_kge]
Validation = vardex_rs.VardexValidationError
Numerical = vardex_rs.VardexNumericalError


def bits(x):
    return struct.pack("<d", x)


# Plain loops in the documented evaluation order; running sums in index order.
def ref_rmse(o, s):
    q = 0.0
    for oi, si in zip(o, s):
        d = oi - si
        q = q + d * d
    return math.sqrt(q / float(len(o)))


def ref_nse(o, s):
    n = float(len(o))
    total = 0.0
    for oi in o:
        total = total + oi
    mean_o = total / n
    num = den = 0.0
    for oi, si in zip(o, s):
        num = num + (oi - si) * (oi - si)
        den = den + (oi - mean_o) * (oi - mean_o)
    return 1.0 - num / den


def ref_kge(o, s):
    n = float(len(o))
    so = soo = ss = sss = sos = 0.0
    for oi, si in zip(o, s):
        so += oi
        soo += oi * oi
        ss += si
        sss += si * si
        sos += oi * si
    mo = so / n
    vo = soo / n - mo * mo
    ms = ss / n
    vs = sss / n - ms * ms
    r = (sos / n - mo * ms) / (math.sqrt(vo) * math.sqrt(vs))
    alpha = math.sqrt(vs) / math.sqrt(vo)
    beta = ms / mo
    return 1.0 - math.sqrt(((alpha - 1.0) * (alpha - 1.0) + (r - 1.0) * (r - 1.0)) + (beta - 1.0) * (beta - 1.0))


REFS = {calculate_rmse: ref_rmse, calculate_nse: ref_nse, calculate_kge: ref_kge}


def arr(*xs):
    return np.array(xs, dtype=np.float64)


def random_pair(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 3000))
    scale = 10.0 ** rng.uniform(-3, 4)
    o = rng.gamma(0.7, scale, n) + rng.uniform(0, scale)
    s = o * rng.uniform(0.5, 1.5) + rng.normal(0, scale, n)
    return o, s


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("fn", ALL, ids=lambda f: f.__name__)
def test_matches_reference_bit_for_bit(fn, seed):
    o, s = random_pair(seed)
    got = fn(o, s)
    assert isinstance(got, float)
    assert bits(got) == bits(REFS[fn](o.tolist(), s.tolist()))


@pytest.mark.parametrize("fn", ALL, ids=lambda f: f.__name__)
def test_real_streamflow_persistence_forecast(fn, camels_streamflow_mm):
    # Yesterday's flow as today's forecast, on the days where both are observed.
    q = camels_streamflow_mm("01022500")
    o, s = q[1:], q[:-1]
    keep = np.isfinite(o) & np.isfinite(s)
    o, s = o[keep], s[keep]
    assert len(o) > 1000
    got = fn(o, s)
    assert bits(got) == bits(REFS[fn](o.tolist(), s.tolist()))
    if fn is not calculate_rmse:
        assert 0.5 < got < 1.0


def test_strided_views_read_in_logical_order():
    o, s = random_pair(99)
    for fn in ALL:
        for view in (slice(None, None, -1), slice(1, None, 3)):
            ov, sv = o[view], s[view]
            assert bits(fn(ov, sv)) == bits(REFS[fn](ov.tolist(), sv.tolist()))


@pytest.mark.parametrize("fn", ALL, ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    "o, s, message",
    [
        (arr(1, 2, 3), arr(1, 2, 3, 4), "observations and simulations must have the same length (got 3 and 4)"),
        (arr(), arr(1.0), "observations and simulations must have the same length (got 0 and 1)"),
        (arr(), arr(), "Empty input arrays"),
        # Length is checked before any element scan.
        (arr(np.nan), arr(1, 2), "observations and simulations must have the same length (got 1 and 2)"),
        (arr(1, 2, 3), arr(1, 2, np.nan), "NaN found in simulations at index 2"),
        (arr(np.inf, 1, 2), arr(np.nan, np.nan, np.nan), "Infinity found in observations at index 0"),
        (arr(np.inf, 1, 2, np.nan), arr(1, 2, 3, 4), "Infinity found in observations at index 0"),
        (arr(1, 2, -np.inf, np.nan), arr(1, 2, 3, 4), "Infinity found in observations at index 2"),
        (arr(1, 2, 3, 4, 5, 6, 7, np.nan), arr(np.inf, 1, 1, 1, 1, 1, 1, 1), "NaN found in observations at index 7"),
        (arr(1, 2, 3), arr(1, -np.inf, np.nan), "Infinity found in simulations at index 1"),
    ],
)
def test_input_checks_in_order(fn, o, s, message):
    with pytest.raises(Validation) as info:
        fn(o, s)
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_identical_series_are_perfect():
    o = np.random.default_rng(1).gamma(1.0, 2.0, 500)
    assert calculate_nse(o, o.copy()) == 1.0
    # sqrt(v) * sqrt(v) need not give v back exactly, so r may be off by an ulp.
    assert calculate_kge(o, o.copy()) == pytest.approx(1.0, abs=1e-12)
    assert calculate_rmse(o, o.copy()) == 0.0


def test_simulating_the_observed_mean():
    o = arr(1, 2, 3, 6)
    s = np.full(4, 3.0)
    assert calculate_nse(o, s) == 0.0
    with pytest.raises(Numerical, match=r"^Zero variance in simulations - KGE undefined$"):
        calculate_kge(o, s)
    assert bits(calculate_rmse(o, s)) == bits(ref_rmse(o.tolist(), s.tolist()))


@pytest.mark.parametrize("o", [np.full(5, 2.5), arr(7.0), arr(0.0, 0.0)], ids=["constant", "single", "zeros"])
def test_zero_observed_variance(o):
    s = np.arange(len(o), dtype=np.float64) + 1.0
    with pytest.raises(Numerical) as info:
        calculate_nse(o, s)
    assert str(info.value) == "Zero variance in observations - NSE undefined for constant observations"
    with pytest.raises(Numerical) as info:
        calculate_kge(o, s)
    assert str(info.value) == "Zero variance in observations - KGE undefined"
    assert bits(calculate_rmse(o, s)) == bits(ref_rmse(o.tolist(), s.tolist()))


def test_zero_observed_mean_only_after_variances():
    o, s = arr(-1, 1), arr(0, 2)
    with pytest.raises(Numerical) as info:
        calculate_kge(o, s)
    assert str(info.value) == "Zero mean in observations - KGE beta component undefined"
    assert calculate_nse(o, s) == 0.0
    assert calculate_rmse(o, s) == 1.0
    # Constant simulations with zero observed mean report the variance, not the mean.
    with pytest.raises(Numerical, match="^Zero variance in simulations - KGE undefined$"):
        calculate_kge(o, arr(5, 5))


def test_variance_threshold_is_absolute():
    # Observed variance 1e-12 is below the threshold although the series is not constant.
    o = arr(1.0, 1.0 + 2e-6)
    with pytest.raises(Numerical, match="NSE undefined"):
        calculate_nse(o, arr(1, 2))
    with pytest.raises(Numerical, match="^Zero variance in observations - KGE undefined$"):
        calculate_kge(o, arr(1, 2))
    # Just above it the scores are defined.
    o = arr(0.0, 1e-4)
    assert bits(calculate_nse(o, arr(1, 2))) == bits(ref_nse(o.tolist(), [1.0, 2.0]))


def test_overflow_is_a_numerical_error():
    o, s = arr(1e200, 3e200), arr(3e200, 1e200)
    cases = [
        (calculate_nse, "Numerical error in NSE calculation: numerator=inf, denominator=inf, result=NaN"),
        (calculate_rmse, "Numerical error in RMSE calculation: result is inf"),
        # Both one-pass variances are inf - inf = NaN, which passes the zero tests.
        (calculate_kge, "Numerical error in KGE calculation: r=NaN, alpha=NaN, beta=1, result=NaN"),
    ]
    for fn, message in cases:
        with pytest.raises(Numerical) as info:
            fn(o, s)
        assert str(info.value) == message


def test_base_class_catches_both_kinds():
    for o, s in [(arr(1, 1), arr(1, 2)), (arr(1), arr())]:
        with pytest.raises(vardex_rs.VardexError):
            calculate_nse(o, s)


@pytest.mark.parametrize("f, name", [(calculate_rmse, "RMSE"), (calculate_nse, "NSE"), (calculate_kge, "KGE")])
def test_overflowing_sums_of_finite_values_are_no_input_error(f, name):
    # Sums that overflow look like non-finite input to the first pass; the scan must then find nothing, and the
    # score's own numerical error stands. A NaN behind an overflow is still the input error, at its index.
    o, s = np.array([1e308, -1e308, 1.0]), np.array([-1e308, 1e308, 2.0])
    with pytest.raises(Numerical, match=f"^Numerical error in {name} calculation"):
        f(o, s)
    with pytest.raises(Validation, match="simulations.*index 2"):
        f(o, np.array([-1e308, 1e308, np.nan]))
