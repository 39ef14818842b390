"""The water a calibrated run leans on, and a result flowing into the rest of the API: balances over its scored
periods (CemaNeige in front when it ran), the shares its formulation created or removed, states, fluxes and a
DataFrame from the result itself."""
import numpy as np
import pytest

import vardex
from vardex import balance

FAST = dict(optimiser="dds", max_evaluations=40, progress=False, period=("2001-01-01", "2001-12-31"),
            validation=("2002-01-01", "2002-12-31"))


@pytest.fixture(scope="module")
def catchment():
    return vardex.load_camels("01022500")


@pytest.mark.parametrize("snow", [False, True])
@pytest.mark.parametrize("model", vardex.MODELS)
def test_a_result_s_balance_closes_over_each_period_and_names_what_it_leaned_on(catchment, model, snow):
    r = vardex.calibrate(catchment, model, snow=snow, **FAST)
    for period, water in (("calibration", r.water), ("validation", r.validation_water)):
        b = r.balance(catchment, period)
        scale = sum(abs(v) for k, v in b.items() if k not in ("residual", "potential_evaporation", "melt"))
        assert abs(b["residual"]) <= 1e-9 * scale, b
        assert ("snow_storage_change" in b) == snow
        assert water == balance.leaning(b)
        sources = [k for k in water if k not in ("created_water", "lost_water", "aet_pet")]
        assert water["created_water"] == pytest.approx(sum(max(b[k], 0) for k in sources) / b["precipitation"])
        assert water["lost_water"] == pytest.approx(sum(max(-b[k], 0) for k in sources) / b["precipitation"])
        assert water["aet_pet"] == b["actual_evaporation"] / b["potential_evaporation"]
    # Over the days of the period: the model's own streamflow total of its simulation there.
    assert b["streamflow"] == pytest.approx(np.sum(r.validation_simulation[r.validation_warmup:]), rel=1e-12)


@pytest.mark.parametrize("water, expected", [
    ({"created_water": 0.049, "aet_pet": 1.0}, []),
    ({"created_water": 0.06, "aet_pet": 0.8}, ["created water 6 % of P"]),
    ({"created_water": 0.0, "aet_pet": 1.2}, ["evaporation 1.20 x PET"]),
    (None, []),
])
def test_runs_leaning_on_created_water_or_extra_evaporation_are_flagged(water, expected):
    assert balance.flags(water) == expected


def test_states_fluxes_and_balances_take_a_result_or_a_dict(catchment):
    r = vardex.calibrate(catchment, "gr4j", snow=False, **FAST)
    values = np.array(list(r.params.values()))
    args = (catchment.precipitation, catchment.pet)
    for fn in (vardex.model_states, vardex.model_fluxes):
        expected = fn("gr4j", values, *args)
        for params in (r, r.params, dict(reversed(list(r.params.items())))):
            got = fn("gr4j", params, *args)
            assert all(np.array_equal(got[k], expected[k]) for k in expected)
    assert vardex.water_balance("gr4j", r, *args, first=365) == vardex.water_balance("gr4j", values, *args, first=365)
    with pytest.raises(ValueError, match="params must name exactly x1, x2, x3, x4"):
        vardex.model_states("gr4j", {"x1": 1.0}, *args)
    with pytest.raises(ValueError, match="result.balance"):
        vardex.water_balance("gr4j", vardex.calibrate(catchment, "gr4j", snow=True, **FAST), *args)


def test_a_result_as_a_dataframe(catchment):
    pytest.importorskip("pandas")
    r = vardex.calibrate(catchment, "gr4j", **{**FAST, "warmup": 200})
    df = r.to_pandas(catchment)
    assert list(df.columns) == ["precipitation", "pet", "observed", "simulated", "period"]
    assert df.index[0] == np.datetime64("2000-06-15") and df.index[-1] == np.datetime64("2002-12-31")
    # The validation's warm-up lies in the calibration period: those days are calibration days.
    assert df.period.value_counts().to_dict() == {"calibration": 365, "validation": 365, "warm-up": 200}
    assert np.array_equal(df.simulated[df.period == "validation"], r.validation_simulation[r.validation_warmup:])
    assert np.array_equal(df.simulated[df.period != "validation"], r.simulation)
    with pytest.raises(ValueError, match="other data"):
        r.to_pandas(vardex.load_camels("03015500"))


def test_a_result_s_signature_errors_are_simulated_minus_observed(catchment):
    r = vardex.calibrate(catchment, "gr4j", snow=False, **FAST)
    win = r.validation_window
    observed = catchment.observed[win.first:win.stop]
    simulated = np.where(np.isfinite(observed), r.validation_simulation[r.validation_warmup:], np.nan)
    dates, rain = catchment.dates[win.first:win.stop], catchment.precipitation[win.first:win.stop]
    errors = r.validation_signature_errors
    assert {k: errors[k] for k in ("fhv", "flv", "fms")} == vardex.diagnostic_errors(observed, simulated)
    sim, obs = vardex.signatures(simulated, dates, rain), vardex.signatures(observed, dates, rain)
    assert errors["baseflow_index"] == sim["baseflow_index"] - obs["baseflow_index"]
    row, = vardex.calibrate_many(catchment, "gr4j", snow=False, **FAST)
    assert (row["val_fhv"], row["val_bfi_error"]) == (errors["fhv"], errors["baseflow_index"])
    assert row["bfi_error"] == r.signature_errors["baseflow_index"]
