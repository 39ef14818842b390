"""Split-sample calibration: periods, validation, spin-up, kept samples, vardex.simulate and their command line."""
import csv
import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vardex
import vardex_rs.calibration.dds
import vardex_rs.hydro
import vardex_rs.metrics
import vardex_rs.snow.cemaneige
from vardex import periods, simulation

from helpers import same_bits

FAST = dict(optimiser="dds", max_evaluations=25, progress=False, seed=4, snow=False)
CAL, VAL = ("2001-01-01", "2002-03-31"), ("2002-04-01", "2003-12-31")


@pytest.fixture(scope="module")
def catchment():
    return vardex.load_camels("01022500")


def by_hand(catchment, model, params, first, last, warmup, spinup=0, snow=False):
    """The stated rule with vardex_rs alone: simulate from `warmup` days before `first` (the warm-up repeated
    `spinup` times in front), score on first..last with the observed days only."""
    dates = catchment.dates
    i, j = int(np.flatnonzero(dates == np.datetime64(first))[0]), int(np.flatnonzero(dates == np.datetime64(last))[0])
    start = max(i - warmup, 0)
    pick = np.r_[np.tile(np.arange(start, i), spinup), np.arange(start, j + 1)].astype(int)
    values = np.array(list(params.values()))
    rain = catchment.precipitation[pick]
    if snow:
        bands = catchment.median_elevation + np.array([-200.0, 0.0, 200.0])
        rain = vardex_rs.snow.cemaneige.simulate(values[:3], rain, catchment.temperature[pick],
                                                 catchment.day_of_year[pick], bands, catchment.median_elevation)
        values = values[3:]
    sim = getattr(vardex_rs.hydro, model).simulate(values, rain, catchment.pet[pick])[len(pick) - (j + 1 - start):]
    obs, scored = catchment.observed[i:j + 1], sim[i - start:]
    kept = ~np.isnan(obs)
    metrics = {name: getattr(vardex_rs.metrics, f"calculate_{name}")(obs[kept], scored[kept])
               for name in ("rmse", "nse", "kge")}
    return sim, metrics, i - start


def plain(metrics):
    """rmse, nse and kge of a result's metrics."""
    return {k: metrics[k] for k in ("rmse", "nse", "kge")}


@pytest.mark.parametrize("model, snow, spinup", [("gr4j", False, 0), ("nam", False, 2), ("hbv", True, 1)])
def test_split_sample_follows_the_rule(catchment, model, snow, spinup):
    r = vardex.calibrate(catchment, model, period=CAL, validation=VAL, warmup=300, spinup=spinup, **{**FAST, "snow": snow})
    sim, metrics, warm = by_hand(catchment, model, r.params, *CAL, 300, spinup, snow)
    assert same_bits(r.simulation, sim) and plain(r.metrics) == metrics and r.warmup == warm == 300
    sim, metrics, warm = by_hand(catchment, model, r.params, *VAL, 300, spinup, snow)
    assert same_bits(r.validation_simulation, sim) and plain(r.validation) == metrics and r.validation_warmup == warm
    assert r.period == tuple(np.datetime64(d) for d in CAL) and r.spinup == spinup
    assert r.validation_period == tuple(np.datetime64(d) for d in VAL)
    assert (r.gauge, r.forcing) == ("01022500", "daymet")
    # evaluate() applies the same rule to any period
    assert r.evaluate(catchment, CAL) == plain(r.metrics)
    assert r.evaluate(catchment, VAL, objective="KGE") == metrics["kge"]


def test_short_warmup_starts_at_the_record_and_warns(catchment):
    early = (str(catchment.dates[100]), "2000-12-31")
    with pytest.warns(periods.WarmupWarning, match="100 days of warm-up instead of 365"):
        r = vardex.calibrate(catchment, "gr4j", period=early, **FAST)
    sim, metrics, warm = by_hand(catchment, "gr4j", r.params, *early, 365)
    assert warm == r.warmup == 100 and same_bits(r.simulation, sim) and plain(r.metrics) == metrics


def test_default_period_is_the_record_after_warmup_as_before(catchment):
    r = vardex.calibrate(catchment, "gr4j", **FAST)
    # what calibrate did before periods existed: vardex_rs's Dds on the whole record
    dds = vardex_rs.calibration.dds.Dds("gr4j", None, "nse", "none", 0.2, 25, 4)
    forcing = (catchment.precipitation, None, catchment.pet, None, None, None, catchment.observed, 365)
    dds.init(*forcing)
    while not (step := dds.step(*forcing))[0]:
        pass
    assert same_bits(r.simulation, step[2]) and list(r.params.values()) == list(step[1])
    assert r.period == (catchment.dates[365], catchment.dates[-1]) and r.warmup == 365 and r.spinup == 0
    assert r.validation is r.validation_period is r.validation_simulation is r.samples is None
    assert vardex.calibrate(catchment, "gr4j", spinup=0, period=r.period, **FAST).params == r.params


def test_spinup_settles_the_initial_state(catchment):
    # NAM's stores start far from this wet basin's state: each run of the warm-up year brings the period's
    # score nearer a fixed point.
    r = vardex.calibrate(catchment, "nam", period=CAL, **FAST)
    nse = [r.evaluate(catchment, CAL, objective="nse", spinup=k) for k in (0, 1, 20, 21)]
    assert abs(nse[3] - nse[2]) < 1e-3 * abs(nse[1] - nse[0])
    assert nse[0] == r.evaluate(catchment, CAL, objective="nse", spinup=0, warmup=365) == r.score


@pytest.mark.parametrize("optimiser, budget", [("sce", 400), ("dds", 40)])
def test_keep_all_holds_every_evaluation(catchment, optimiser, budget):
    r = vardex.calibrate(catchment, "gr4j", optimiser=optimiser, max_evaluations=budget, keep="all",
                         progress=False, period=CAL)
    assert list(r.samples) == [*r.params, "score"]
    assert all(len(v) == r.evaluations for v in r.samples.values())
    best = np.array([r.samples[n] for n in r.params]).T
    hit = np.flatnonzero((best == list(r.params.values())).all(axis=1))
    assert hit.size and r.samples["score"][hit[0]] == r.score == r.samples["score"].max()
    # the same run without samples is the same run
    plain = vardex.calibrate(catchment, "gr4j", optimiser=optimiser, max_evaluations=budget, progress=False,
                             period=CAL)
    assert plain.params == r.params and plain.evaluations == r.evaluations


@pytest.mark.parametrize("snow", [False, True])
def test_simulate_equals_vardex_rs(catchment, snow):
    r = vardex.calibrate(catchment, "gr4j", **{**FAST, "snow": snow})
    whole = by_hand(catchment, "gr4j", r.params, catchment.dates[0], catchment.dates[-1], 0, snow=snow)[0]
    values = list(r.params.values())
    for params in (r, r.params, values, np.array(values)):
        assert same_bits(vardex.simulate(catchment, "gr4j", params), whole)
    assert same_bits(r.simulation, whole) and same_bits(vardex.simulate(catchment, "GR4J", r), whole)
    other = vardex.load_camels("03015500")     # parameters moved to another basin: its own snow layers
    own_bands = other.median_elevation + np.array([-200.0, 0.0, 200.0]) if snow else None
    assert same_bits(vardex.simulate(other, "gr4j", r), vardex.simulate(other, "gr4j", r.params,
                                                                        elevation_bands=own_bands))
    bands = np.array([100.0, 300.0])
    if snow:
        assert not np.array_equal(vardex.simulate(catchment, "gr4j", r, elevation_bands=bands), whole)


@pytest.mark.parametrize("call, error, message", [
    (dict(period=("2000-01-01", "1999-01-01")), ValueError, "ends before it starts"),
    (dict(period=("1970-01-01", "1990-01-01")), ValueError, "not within the record"),
    (dict(validation=("2003-01-01", "2005-01-01")), ValueError, "^validation .* not within the record"),
    (dict(period=("2000-02-30", "2001-01-01")), ValueError, "cannot read '2000-02-30' as a date"),
    (dict(period="2000-01-01:2001-01-01"), TypeError, "must be a \\(start, end\\) pair"),
    (dict(spinup=-1), ValueError, "spinup"),
    (dict(period=("2001-01-01", "2002-06-30"), validation=("2002-01-01", "2002-12-31")), ValueError,
     "validation period 2002-01-01:2002-12-31 overlaps the calibration period 2001-01-01:2002-06-30"),
    (dict(validation=("2002-01-01", "2002-12-31")), ValueError, "overlaps .*; give period= as well"),
    (dict(keep="some"), ValueError, "keep must be None or 'all'"),
])
def test_bad_periods_are_refused(catchment, call, error, message):
    with pytest.raises(error, match=message):
        vardex.calibrate(catchment, "gr4j", **{**FAST, **call})


def test_period_forms(catchment):
    dates = catchment.dates
    assert periods.bounds(("2001", "2004-02")) == (np.datetime64("2001-01-01"), np.datetime64("2004-02-29"))
    as_dates = periods.window(dates, (dates[400], dates[500].astype(object)), 365)
    assert (as_dates.start, as_dates.first, as_dates.stop) == (35, 400, 501)
    with pytest.raises(ValueError, match="START:END"):
        periods.parse_period("1990-01-01")
    with pytest.raises(ValueError, match="no streamflow observations"):
        simulation.score(np.full(3, np.nan), np.ones(3))
    with pytest.raises(ValueError, match="params must name exactly x1, x2, x3, x4; missing x4; unknown x5"):
        vardex.simulate(catchment, "gr4j", {"x1": 1, "x2": 0, "x3": 1, "x5": 1})


def vardex_cli(*args):
    """The console script, as a user runs it."""
    script = Path(sys.executable).with_name("vardex")
    return subprocess.run([str(script), *args], capture_output=True, text=True, timeout=300)


def test_cli_periods(tmp_path, catchment):
    out = vardex_cli("calibrate", "01022500", "--optimiser", "dds", "--no-progress", "--period", ":".join(CAL),
                     "--validation", ":".join(VAL), "--spinup", "1", "--json", str(tmp_path / "r.json"))
    assert out.returncode == 0, out.stderr
    record = json.loads((tmp_path / "r.json").read_text())
    assert record["period"] == list(CAL) and record["validation_period"] == list(VAL) and record["spinup"] == 1
    assert "val NSE" in out.stdout and f"{record['validation']['nse']:.3f}" in out.stdout

    out = vardex_cli("batch", "--out", str(tmp_path / "b.csv"), "--models", "gr4j", "--optimiser", "dds",
                     "--max-evaluations", "10", "--no-progress", "--gauges", "01022500",
                     "--period", ":".join(CAL), "--validation", ":".join(VAL))
    assert out.returncode == 0, out.stderr
    rows = list(csv.DictReader(open(tmp_path / "b.csv")))
    assert rows[0]["period"] == ":".join(CAL) and rows[0]["validation"] == ":".join(VAL)
    assert float(rows[0]["val_nse"]) < 1 and rows[0]["spinup"] == "0"

    for bad in (["--period", "1990-01-01"], ["--validation", "2001-01-01:2000-01-01"], ["--spinup", "-2"]):
        out = vardex_cli("compare", "01022500", "--models", "gr4j", *bad)
        assert out.returncode == 2 and "error" in out.stderr and out.stdout == ""
