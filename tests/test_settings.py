"""One settings record for every entry point: a bad option is refused the same way by calibrate,
calibrate_many and the command line, before any work; and whatever the API accepts, a results file it wrote
resumes with the same call."""
import math
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vardex
import vardex_rs.hydro
from vardex import batch
from vardex.settings import U64_MAX

# (API options, the same on the command line or None, exception, message)
BAD = [
    (dict(optimiser="dds", max_evaluations=2.7), ["--optimiser", "dds", "--max-evaluations", "2.7"], TypeError,
     "max_evaluations must be a whole number, got 2.7"),
    (dict(optimiser="dds", max_evaluations=-5), ["--optimiser", "dds", "--max-evaluations", "-5"], ValueError,
     "max_evaluations must be an integer in [1, 18446744073709551615], got -5"),
    (dict(max_evaluations=2**64), ["--max-evaluations", str(2**64)], ValueError,
     "max_evaluations must be an integer in [1, 18446744073709551615]"),
    (dict(optimiser="dds", max_evaluations=1), ["--optimiser", "dds", "--max-evaluations", "1"], ValueError,
     "max_evaluations must be at least 2 for DDS, got 1"),
    (dict(max_steps=1.5), ["--max-steps", "1.5"], TypeError, "max_steps must be a whole number, got 1.5"),
    (dict(max_steps="3"), None, TypeError, "max_steps must be a whole number, got '3'"),
    (dict(max_steps=0), ["--max-steps", "0"], ValueError, "max_steps must be an integer in [1, "),
    (dict(optimiser="sce", n_complexes=0), None, ValueError, "n_complexes must be an integer in [1, "),
    (dict(optimiser="sce", n_complexes=-3), None, ValueError, "n_complexes must be an integer in [1, "),
    (dict(optimiser="sce", n_complexes=2**70), None, ValueError, "n_complexes must be an integer in [1, "),
    (dict(optimiser="sce", n_complexes=10**12, max_evaluations=U64_MAX), None, ValueError,
     "more than this machine's memory holds"),
    (dict(optimiser="sce", k_stop=2**64), None, ValueError, "k_stop must be an integer in [1, "),
    (dict(optimiser="sce", p_convergence_threshold=math.nan), None, ValueError,
     "p_convergence_threshold must be a real number"),
    (dict(optimiser="dds", r=2.0), None, ValueError, "neighborhood size r must be in (0, 1]"),
    (dict(optimiser="sce", max_evaluations=400, snow=True),
     ["--optimiser", "sce", "--max-evaluations", "400", "--snow"], ValueError,
     "max_evaluations must be at least 500 for SCE with 12 parameters and 5 complexes, got 400"),
    (dict(objective="bogus"), ["--objective", "bogus"], ValueError,
     "Unknown objective function 'bogus'. Valid options: nse, kge, rmse"),
    (dict(transformation="cube"), ["--transformation", "cube"], ValueError,
     "Unknown transformation function 'cube'. Valid options: log, sqrt, none"),
    (dict(optimiser="nope"), ["--optimiser", "nope"], ValueError, "Unknown optimiser 'nope'. Valid options: sce, dds"),
    (dict(warmup=-1), ["--warmup", "-1"], ValueError, "warmup must be an integer in [0, "),
    (dict(warmup=True), None, TypeError, "warmup must be a whole number, got True"),
    (dict(spinup=10**12), ["--spinup", str(10**12)], ValueError, "more than this machine's memory holds"),
    (dict(snow="maybe"), None, ValueError, "snow must be True, False or 'auto'"),
    (dict(keep="some"), None, ValueError, "keep must be None or 'all'"),
    (dict(foo=1), None, TypeError, "Unknown dds settings: foo"),
    (dict(optimiser="sce", r=0.2), None, TypeError, "Unknown sce settings: r"),
    (dict(starts=3, max_evaluations=5), ["--starts", "3", "--max-evaluations", "5"], ValueError,
     "max_evaluations must be at least 6 for DDS in each of 3 starts, got 5"),
    (dict(period=("2002-01-01", "2002-12-31"), validation=("2002-06-01", "2003-06-30")),
     ["--period", "2002-01-01:2002-12-31", "--validation", "2002-06-01:2003-06-30"], ValueError,
     "the validation period 2002-06-01:2003-06-30 overlaps the calibration period 2002-01-01:2002-12-31"),
]
SEEDS = [(-1, "seed must be an integer in [0, 18446744073709551615], got -1"),
         (2**64, "seed must be an integer in [0, 18446744073709551615]"), (1.5, "seed must be a whole number")]


def model_with(n):
    """A model of n parameters, CemaNeige's three included, from the registry."""
    return next(m for m in vardex.MODELS if len(getattr(vardex_rs.hydro, m).param_names) + 3 == n)


@pytest.mark.parametrize("options, cli, error, message", BAD)
def test_a_bad_option_is_refused_alike_everywhere_before_any_work(tmp_path, options, cli, error, message):
    # snow=False and a gauge that does not exist: any work started would fail on the data first.
    model = model_with(12) if "SCE with 12" in message else "gr4j"
    kw = {"snow": False, **options}
    with pytest.raises(error) as api:
        vardex.calibrate("99999999", model, progress=False, **kw)
    assert message in str(api.value)
    out = tmp_path / "r.csv"
    with pytest.raises(error) as many:
        vardex.calibrate_many(["99999999", "99999998"], model, [1, 2], out=out, progress=False, **kw)
    assert str(many.value) == str(api.value) and not out.exists()
    if cli is not None:
        snow = [] if "--snow" in cli else ["--no-snow"]
        run = subprocess.run([sys.executable, "-m", "vardex", "batch", *snow, "--models", model, "--out", out,
                              "--no-progress", *cli], capture_output=True, text=True, timeout=120)
        assert run.returncode == 2 and run.stdout == "" and not out.exists()
        lines = run.stderr.strip().splitlines()
        assert len(lines) == 1 and (message in lines[0] or "expected a whole number" in lines[0]), lines


@pytest.mark.parametrize("seed, message", SEEDS)
def test_a_bad_seed_is_refused_alike(seed, message):
    for call in (lambda: vardex.calibrate("99999999", seed=seed, progress=False),
                 lambda: vardex.calibrate_many("99999999", "gr4j", seed, progress=False)):
        with pytest.raises((TypeError, ValueError), match=message.replace("[", r"\[").replace("]", r"\]")):
            call()


def test_repeated_seeds_are_named_in_one_short_line():
    with pytest.raises(ValueError) as err:
        vardex.calibrate_many("01022500", "gr4j", list(range(10**6)) * 2, progress=False)
    assert str(err.value) == "repeated seed: 0, 1, 2, 3, 4 and more"


def test_counts_take_integral_floats_and_numpy_integers():
    record = vardex.Settings.build(warmup=np.int64(30), seeds=[np.uint8(2), 3.0], max_steps=2.0, n_complexes=2.0,
                                   objective="KGE", optimiser="SCE", transformation="Log")
    assert (record.warmup, record.seeds, record.max_steps, record.options["n_complexes"]) == (30, (2, 3), 2, 2)
    assert (record.objective, record.optimiser, record.transformation) == ("kge", "sce", "log")
    assert all(type(v) is int for v in (record.warmup, *record.seeds, record.max_steps))


def tiny():
    rng = np.random.default_rng(5)
    dates = np.arange("2001-01-01", "2002-12-31", dtype="datetime64[D]")
    rain = rng.gamma(0.6, 6.0, len(dates))
    temperature = 8 + 12 * np.sin(np.arange(len(dates)) / 58.0)
    flow = np.convolve(rain, np.full(20, 0.03))[:len(dates)]
    return vardex.Catchment.from_arrays(dates, rain, temperature, flow, latitude=45.0, elevation=300.0)


class Refused:
    """Calibrators that must not be built: a resumed batch has every row already."""

    def __getitem__(self, name):
        raise AssertionError(f"the resumed batch calibrated again ({name})")


def integral(values):
    return st.one_of(values, values.map(float))


@pytest.mark.filterwarnings("ignore::vardex.WarmupWarning")
@settings(max_examples=12, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(optimiser=st.sampled_from(["sce", "SCE", "dds", "Dds"]), objective=st.sampled_from(["nse", "KGE", "rmse"]),
       transformation=st.sampled_from(["none", "Log", "sqrt"]), warmup=integral(st.integers(0, 400)),
       spinup=integral(st.integers(0, 2)), max_steps=st.one_of(st.none(), integral(st.integers(1, 2))),
       complexes=integral(st.integers(1, 3)),
       seeds=st.lists(st.one_of(st.integers(0, 2**64 - 1), st.integers(0, 2**53).map(float)), min_size=1,
                      max_size=2, unique_by=int),
       snow=st.sampled_from([True, False, "auto", "AUTO"]),
       periods=st.sampled_from([{}, dict(period=("2002-01-01", "2002-06-30")),
                                dict(period=("2002-01", "2002-06"), validation=("2002-07-01", "2002-12-30"))]))
def test_a_results_file_always_resumes_with_the_same_call(tmp_path_factory, optimiser, objective, transformation,
                                                          warmup, spinup, max_steps, complexes, seeds, snow, periods):
    catchment = tiny()
    options = dict(optimiser=optimiser, objective=objective, transformation=transformation, warmup=warmup,
                   spinup=spinup, snow=snow, max_steps=1 if max_steps is None else max_steps, **periods)
    if optimiser.lower() == "sce":
        options["settings"] = {"n_complexes": complexes}
    else:
        options["max_evaluations"] = 20
    out = tmp_path_factory.mktemp("resume") / "r.csv"
    first = vardex.calibrate_many(catchment, "gr4j", seeds, out=out, progress=False, **options)
    record = vardex.Settings.build(models="gr4j", seeds=seeds, **options)
    again = batch.run_many(catchment, record, out=out, progress=False, engines=Refused())
    assert again.rows == first.rows and not any(r["error"] for r in first)


@pytest.mark.parametrize("cold_rain, expected", [(0.08, False), (0.12, True)])
def test_snow_auto_decides_on_the_share_of_precipitation_on_freezing_days(cold_rain, expected):
    # A fifth of the days freeze (the old rule, 5 % of days, would run CemaNeige either way); what counts is
    # how much of the precipitation falls on them.
    days = 1000
    temperature = np.where(np.arange(days) % 5 == 0, -5.0, 10.0)
    rain = np.where(temperature < 0, cold_rain / 200, (1 - cold_rain) / 800) * 1000
    dates = np.arange("2001-01-01", np.datetime64("2001-01-01") + days, dtype="datetime64[D]")
    catchment = vardex.Catchment.from_arrays(dates, rain, temperature, rain * 0.3, latitude=45.0, elevation=500.0)
    from vardex.settings import snow_share

    assert snow_share(rain, temperature) == pytest.approx(cold_rain)
    r = vardex.calibrate(catchment, "gr4j", optimiser="dds", max_evaluations=10, progress=False)
    assert r.snow is expected


def test_elevation_bands_reach_every_entry_point(tmp_path):
    bands = [0.0, 150.0, 400.0]
    catchment = tiny()
    options = dict(optimiser="dds", max_evaluations=10, progress=False, snow=True, elevation_bands=bands)
    assert list(vardex.calibrate(catchment, "gr4j", **options).elevation_bands) == bands
    assert [list(r.elevation_bands) for r in vardex.compare(catchment, ["gr4j", "hbv"], **options)] == [bands] * 2
    out = tmp_path / "r.csv"
    assert vardex.calibrate_many(catchment, "gr4j", out=out, **options)[0]["elevation_bands"] == bands
    with pytest.raises(ValueError, match=r"written with bands=\[0.0, 150.0, 400.0\], this batch has bands=\(none\)"):
        vardex.calibrate_many(catchment, "gr4j", out=out, **{**options, "elevation_bands": None})
    json_file = tmp_path / "r.json"
    run = subprocess.run([sys.executable, "-m", "vardex", "calibrate", "01022500", "--elevation-bands", "0,150,400",
                          "--optimiser", "dds", "--max-evaluations", "10", "--json", json_file, "--no-progress"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and "% of the precipitation on days below 0 degC" in run.stdout
    import json

    assert json.loads(json_file.read_text())["elevation_bands"] == bands


def test_snow_parameters_and_parameter_roles_are_described():
    from vardex.models import describe

    assert list(describe("gr4j", snow=True))[:3] == ["ctg", "kf", "qnbv"]
    assert "mm/degC/day" in describe("hbv", snow=True)["kf"]
    assert "unit-hydrograph delay" in describe("BUCKET")["x4"]
    listing = subprocess.run([sys.executable, "-m", "vardex", "models"], capture_output=True, text=True,
                             timeout=60).stdout
    assert "cemaneige   3" in listing and "Degree-day melt factor" in listing and "hourly variant" in listing
