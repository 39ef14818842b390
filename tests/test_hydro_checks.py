"""Shared model checks: their order, the messages, the exception classes and number formatting."""
import math
import struct
from decimal import Decimal

import numpy as np
import pytest

import vardex_rs
from vardex_rs import VardexError, VardexNumericalError, VardexValidationError

gr4j = vardex_rs.hydro.gr4j
GOOD = np.array([350.0, 0.0, 90.0, 1.7])


def expected_text(v):
    """Shortest round-trip decimal in positional notation (independent of the module)."""
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    return format(Decimal(repr(float(v))).normalize(), "f")


def sim(params=GOOD, p=None, e=None):
    p = np.ones(5) if p is None else np.asarray(p, dtype=np.float64)
    e = np.ones(len(p)) if e is None else np.asarray(e, dtype=np.float64)
    return gr4j.simulate(np.asarray(params, dtype=np.float64), p, e)


class TestNumberFormatting:
    @pytest.mark.parametrize(
        "value, text",
        [(5.0, "5"), (9.99, "9.99"), (1501.0, "1501"), (0.8, "0.8"), (1e21, "1000000000000000000000"),
         (1e23, "100000000000000000000000"), (2.5e-8, "0.000000025"), (float("inf"), "inf"),
         (float("-inf"), "-inf"), (float("nan"), "NaN"), (1e300, "1" + "0" * 300)],
    )
    def test_parameter_value_written_exactly(self, value, text):
        with pytest.raises(VardexValidationError) as info:
            sim([value, 0.0, 90.0, 1.7])
        assert str(info.value) == f"Parameter 'x1' value {text} outside bounds [10, 1500]"

    def test_negative_values_round_trip(self):
        rng = np.random.default_rng(3)
        values = -np.concatenate([
            rng.uniform(0, 1, 40), 10.0 ** rng.uniform(-320, 308, 80), [5e-324, 2.2250738585072014e-308],
            [1.7976931348623157e308, 0.1 + 0.2, 123456789.125],
        ])
        for v in values:
            p = np.array([1.0, v, 2.0])
            with pytest.raises(VardexValidationError) as info:
                sim(p=p)
            text = str(info.value).rsplit(": ", 1)[1]
            assert text == expected_text(v)
            assert "e" not in text and float(text) == v

    def test_negative_zero_and_negative_nan(self):
        # -0.0 passes the sign scan; a NaN with the sign bit set is still "NaN".
        assert np.all(np.isfinite(sim(p=[0.0, -0.0, 1.0])))
        neg_nan = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000001))[0]
        with pytest.raises(VardexValidationError, match=r"^Non-finite value in precipitation at index 1: NaN$"):
            sim(p=[0.0, neg_nan])


class TestCheckOrder:
    @pytest.mark.parametrize(
        "params, p, e, message",
        [
            ([1.0, 2.0, 3.0], [1.0], [1.0], "expected 4 params, got 3"),
            ([1.0] * 5, [1.0], [1.0, 2.0], "expected 4 params, got 5"),
            ([9.99, 99.0, 0.0, 0.0], [], [1.0], "Parameter 'x1' value 9.99 outside bounds [10, 1500]"),
            ([350.0, 3.5, 5.0, 11.0], [], [1.0], "Parameter 'x2' value 3.5 outside bounds [-5, 3]"),
            ([350.0, 0.0, 90.0, 0.79], [1.0], [1.0], "Parameter 'x4' value 0.79 outside bounds [0.8, 10]"),
            ([350.0, float("nan"), 90.0, 1.0], [], [], "Parameter 'x2' value NaN outside bounds [-5, 3]"),
            ([350.0, 0.0, float("-inf"), 1.0], [], [], "Parameter 'x3' value -inf outside bounds [10, 400]"),
            (GOOD, [], [1.0], "precipitation and pet must have the same length (got 0 and 1)"),
            (GOOD, [1.0, 2.0], [1.0], "precipitation and pet must have the same length (got 2 and 1)"),
            (GOOD, [], [], "Empty input array: precipitation"),
            (GOOD, [1, -2, 3, 4, 5, float("nan")], [1] * 6, "Non-finite value in precipitation at index 5: NaN"),
            (GOOD, [1, 2, -3], [float("inf"), 1, 1], "Non-finite value in pet at index 0: inf"),
            (GOOD, [1, 2, -3], [1, -1, 1], "Negative value in precipitation at index 2: -3"),
            (GOOD, [1, 2, 3], [1, -0.5, -1], "Negative value in pet at index 1: -0.5"),
        ],
    )
    def test_first_failure_wins(self, params, p, e, message):
        with pytest.raises(VardexValidationError) as info:
            sim(params, p, e)
        assert str(info.value) == message
        assert info.value.args == (message,)
        assert isinstance(info.value, VardexError)

    def test_bounds_are_inclusive(self):
        d, bounds = gr4j.init()
        for row in (bounds[:, 0], bounds[:, 1]):
            out = sim(row, np.full(30, 2.0), np.full(30, 1.0))
            assert out.shape == (30,) and np.all(np.isfinite(out))


class TestExtremeInputs:
    @pytest.mark.parametrize(
        "p",
        [np.full(50, 1e300), np.full(50, 1.7976931348623157e308), np.array([5e-324] * 10),
         np.concatenate([np.zeros(100), [1e250], np.zeros(100)])],
    )
    def test_extreme_inputs_never_crash(self, p):
        for params in ([10.0, -5.0, 10.0, 0.8], [1500.0, 3.0, 400.0, 10.0]):
            try:
                out = sim(params, p=p, e=np.zeros(len(p)))
            except VardexNumericalError as err:
                assert "GR4J simulation" in str(err)
            else:
                assert np.all(np.isfinite(out)) and np.all(out >= 0)
