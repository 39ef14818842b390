"""The vardex layer converts what a user naturally passes; the compiled surface stays strict."""
import re

import numpy as np
import pytest

import vardex
import vardex_rs


def test_model_states_take_lists_float32_and_integers():
    d = np.array([350.0, 0.0, 90.0, 2.5])
    p, e = [0.0, 12.5, 3.0, 0.0], np.array([1, 1, 2, 1], dtype=np.int32)
    want = vardex.model_states("gr4j", d, np.array(p), e.astype(np.float64))
    for got in (vardex.model_states("gr4j", list(d), p, e),
                vardex.model_states("gr4j", d.astype(np.float32), tuple(p), e.tolist())):
        assert list(got) == list(want)
        for k in want:
            np.testing.assert_array_equal(got[k], want[k])
    with pytest.raises(TypeError, match="^argument 'pet': "):
        vardex_rs.hydro.gr4j.simulate(d, np.array(p), e)  # the compiled surface does not convert


def test_pandas_series_are_accepted():
    pd = pytest.importorskip("pandas")
    d = vardex_rs.hydro.gr4j.init()[0]
    got = vardex.model_states("gr4j", d, pd.Series([1.0, 2.0]), pd.Series([0.5, 0.5]))
    assert got["S"].shape == (2,)


def test_day_of_year_conversion_refuses_what_would_lose_information():
    params, p, t = vardex_rs.snow.cemaneige.init()[0], [1.0, 1.0], [-3.0, -3.0]
    ok = vardex.cemaneige_states(params, p, t, [1, 2], [100.0], np.int64(100))
    np.testing.assert_array_equal(ok["G_0"], vardex.cemaneige_states(
        params, p, t, np.array([1, 2], dtype=np.uint64), [100.0], 100.0)["G_0"])
    for bad, message in [([1.0, np.nan], "NaN at index 1"), ([1, -2], "-2 at index 1"), ([1.5, 2], "1.5"),
                         ([1.0, 2.0**64], "1.8446744073709552e\\+19 at index 1"), ([1, 2**64], "at index 1")]:
        with pytest.raises(ValueError, match=rf"^argument 'day_of_year': .*{message}"):
            vardex.cemaneige_states(params, p, t, bad, [100.0], 100.0)
    with pytest.raises(TypeError, match="^argument 'precipitation': "):
        vardex.cemaneige_states(params, "rain", t, [1, 2], [100.0], 100.0)

    # Day numbers too large for float64 to hold exactly still reach the model's own range check.
    for huge in ([1, 2**64 - 1], np.array([1, 2**62 + 1], dtype=np.int64)):
        with pytest.raises(vardex_rs.VardexValidationError) as raw:
            vardex_rs.snow.cemaneige.simulate(params, np.array(p), np.array(t), np.asarray(huge, dtype=np.uint64),
                                              np.array([100.0]), 100.0)
        with pytest.raises(vardex_rs.VardexValidationError, match=f"^{re.escape(str(raw.value))}$"):
            vardex.cemaneige_states(params, p, t, huge, [100.0], 100.0)
