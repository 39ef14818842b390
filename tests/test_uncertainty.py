"""GLUE: the Latin hypercube, the behavioural sets and their weights, the band and its coverage, the same for any
number of threads, through the API and the command line."""
import json
import math
import subprocess
import sys

import numpy as np
import pytest

import vardex
from vardex.uncertainty import latin_hypercube, weighted_quantile

KW = dict(n=200, threshold=0.0, period=("2001-01-01", "2001-12-31"), validation=("2002-01-01", "2002-12-31"),
          snow=False)


@pytest.fixture(scope="module")
def catchment():
    return vardex.load_camels("01022500")


def test_the_latin_hypercube_puts_one_point_in_each_stratum():
    bounds = np.array([[0.0, 10.0], [-1.0, 1.0], [5.0, 6.0]])
    points = latin_hypercube(bounds, 50, seed=4)
    for j, (lo, hi) in enumerate(bounds):
        strata = np.floor((points[:, j] - lo) / (hi - lo) * 50).astype(int)
        assert sorted(strata) == list(range(50))
    assert np.array_equal(points, latin_hypercube(bounds, 50, seed=4))
    assert not np.array_equal(points, latin_hypercube(bounds, 50, seed=5))


def test_weighted_quantiles_by_hand():
    values = np.array([[1.0, 10.0], [2.0, 30.0], [3.0, 20.0]])
    weights = np.array([0.1, 0.3, 0.6])
    # column 0 sorted 1, 2, 3 with cumulative weights 0.1, 0.4, 1.0; column 1: 10, 20, 30 with 0.1, 0.7, 1.0
    assert list(weighted_quantile(values, weights, 0.05)) == [1.0, 10.0]
    assert list(weighted_quantile(values, weights, 0.5)) == [3.0, 20.0]
    assert list(weighted_quantile(values, weights, 0.95)) == [3.0, 30.0]


def test_glue_behavioural_sets_weights_band_and_coverage(catchment):
    g = vardex.glue(catchment, "gr4j", **KW)
    assert g.params.shape == (200, 4) and g.names == ["x1", "x2", "x3", "x4"]
    assert np.array_equal(g.behavioural, g.scores >= 0.0) and 0 < g.behavioural.sum() < 200
    assert g.weights.sum() == pytest.approx(1.0) and np.all(g.weights[~g.behavioural] == 0)
    excess = g.scores[g.behavioural] - 0.0
    np.testing.assert_allclose(g.weights[g.behavioural], excess / excess.sum())
    assert np.all(g.lower <= g.upper) and len(g.dates) == 365 and g.dates[0] == np.datetime64("2002-01-01")
    observed = catchment.observed[np.isin(catchment.dates, g.dates)]
    seen = np.isfinite(observed)
    assert g.coverage == np.mean((observed[seen] >= g.lower[seen]) & (observed[seen] <= g.upper[seen]))
    # The same for any number of threads.
    one = vardex.glue(catchment, "gr4j", workers=1, **KW)
    assert np.array_equal(one.scores, g.scores) and np.array_equal(one.lower, g.lower)


def test_glue_refuses_what_it_cannot_do(catchment):
    with pytest.raises(ValueError, match="no behavioural set"):
        vardex.glue(catchment, "gr4j", **{**KW, "n": 20, "threshold": 0.99})
    with pytest.raises(ValueError, match="n must be at least 2"):
        vardex.glue(catchment, "gr4j", **{**KW, "n": 1})


def test_the_glue_command(tmp_path):
    out = tmp_path / "g.json"
    run = subprocess.run([sys.executable, "-m", "vardex", "glue", "01022500", "--n", "100", "--no-snow", "--period",
                          "2001:2001", "--validation", "2002:2002", "--json", str(out)], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    record = json.loads(out.read_text())
    assert record["n"] == 100 and 0 <= record["coverage"] <= 1 and len(record["lower"]) == 365
    assert "coverage" in run.stdout
    bad = subprocess.run([sys.executable, "-m", "vardex", "glue", "01022500", "--n", "10", "--threshold", "0.99",
                          "--no-snow"], capture_output=True, text=True, timeout=120)
    assert bad.returncode == 2 and "no behavioural set" in bad.stderr


def warm():
    """A catchment that never freezes: CemaNeige's parameters can have no effect on it."""
    rng = np.random.default_rng(2)
    dates = np.arange("2001-01-01", "2003-01-01", dtype="datetime64[D]")
    rain = rng.gamma(0.6, 6.0, len(dates))
    flow = np.convolve(rain, np.full(20, 0.02))[:len(dates)]
    return vardex.Catchment.from_arrays(dates, rain, np.full(len(dates), 20.0), flow, latitude=10.0,
                                        elevation=200.0)


@pytest.mark.parametrize("method, n, runs, key", [("sobol", 16, 16 * (7 + 2), "ST"), ("morris", 6, 6 * (7 + 1),
                                                                                        "mu_star")])
def test_sensitivity_finds_the_parameters_that_cannot_matter(method, n, runs, key):
    pytest.importorskip("SALib")
    c = warm()
    r = vardex.sensitivity(c, "gr4j", method=method, n=n, snow=True, warmup=100, progress=False)
    assert r.names == ["ctg", "kf", "qnbv", "x1", "x2", "x3", "x4"] and r.runs == runs
    assert all(abs(r.indices[p][key]) < 1e-12 for p in ("ctg", "kf", "qnbv"))    # no snow ever: no effect
    assert max(r.indices[p][key] for p in ("x1", "x2", "x3")) > 0.01
    again = vardex.sensitivity(c, "gr4j", method=method, n=n, snow=True, warmup=100, progress=False, workers=1)
    assert again.indices == r.indices


def test_sensitivity_refuses_bad_arguments_and_runs_from_the_command_line(tmp_path):
    pytest.importorskip("SALib")
    c = warm()
    with pytest.raises(ValueError, match="power of two"):
        vardex.sensitivity(c, "gr4j", n=10, progress=False)
    with pytest.raises(ValueError, match="Unknown method 'fast'"):
        vardex.sensitivity(c, "gr4j", method="fast", progress=False)
    out = tmp_path / "s.json"
    run = subprocess.run([sys.executable, "-m", "vardex", "sensitivity", "01022500", "--n", "8", "--no-snow",
                          "--period", "2001:2001", "--json", str(out)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "48 runs" in run.stderr and set(json.loads(out.read_text())["indices"]) == {"x1", "x2", "x3", "x4"}


def test_sobol_indices_of_the_ishigami_function_through_the_same_path():
    pytest.importorskip("SALib")
    from vardex import analysis

    problem = {"num_vars": 3, "names": ["x1", "x2", "x3"], "bounds": [[-math.pi, math.pi]] * 3}
    x = analysis.sample("sobol", problem, 1024, seed=7)
    y = np.sin(x[:, 0]) + 7 * np.sin(x[:, 1]) ** 2 + 0.1 * x[:, 2] ** 4 * np.sin(x[:, 0])
    found = analysis.analyse("sobol", problem, x, y, seed=7)
    known = {"x1": (0.3139, 0.5576), "x2": (0.4424, 0.4424), "x3": (0.0, 0.2437)}    # S1, ST (a = 7, b = 0.1)
    for name, (s1, st) in known.items():
        assert abs(found[name]["S1"] - s1) <= max(found[name]["S1_conf"], 0.02)
        assert abs(found[name]["ST"] - st) <= max(found[name]["ST_conf"], 0.02)


def test_glue_on_a_calibration_s_samples_says_they_are_not_a_random_sample(catchment):
    from vardex.uncertainty import glue_samples

    r = vardex.calibrate(catchment, "gr4j", snow=False, optimiser="dds", max_evaluations=200, keep="all",
                         period=KW["period"], validation=KW["validation"], progress=False)
    with pytest.warns(UserWarning, match="not a random sample"):
        g = glue_samples(r, catchment, threshold=0.0)
    assert len(g.scores) == 200 and np.array_equal(g.scores, r.samples["score"])
    assert g.dates[0] == np.datetime64("2002-01-01") and np.all(g.lower <= g.upper)
    unkept = vardex.calibrate(catchment, "gr4j", snow=False, optimiser="dds", max_evaluations=20, progress=False)
    with pytest.raises(ValueError, match='keep="all"'):
        glue_samples(unkept, catchment, threshold=0.0)


def test_on_a_synthetic_twin_the_band_holds_the_observations_at_the_rate_it_claims(catchment):
    # Observations made by the model itself with known parameters: the truth is among the sets GLUE can draw,
    # so its 5-95 % band must hold at least 90 % of them.
    true = {"x1": 350.0, "x2": 0.5, "x3": 90.0, "x4": 1.7}
    flow = vardex.simulate(catchment, "gr4j", true, snow=False)
    twin = vardex.Catchment.from_arrays(catchment.dates, catchment.precipitation, catchment.temperature, flow,
                                        latitude=catchment.latitude, elevation=catchment.median_elevation,
                                        pet=catchment.pet)
    for threshold in (0.5, 0.8):
        g = vardex.glue(twin, "gr4j", **{**KW, "n": 2000, "threshold": threshold})
        assert g.behavioural.sum() >= 20 and g.coverage >= 0.9, (threshold, g.coverage)
