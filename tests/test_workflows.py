"""vardex.calibrate / vardex.compare on a shipped CAMELS catchment, with small budgets."""
import numpy as np
import pytest

import vardex
import vardex_rs
import vardex_rs.calibration.dds
import vardex_rs.calibration.sce
import vardex_rs.hydro
import vardex_rs.metrics
import vardex_rs.pet.oudin
import vardex_rs.snow.cemaneige
from vardex import calibration
from vardex.data import Catchment

from helpers import same_bits

GAUGE = "01022500"
WARMUP = 365
# SCE with both convergence criteria switched off, so only the budget (or max_steps) ends a run.
NO_CONVERGENCE = {"p_convergence_threshold": -1.0, "geometric_range_threshold": 0.0, "n_complexes": 2}


@pytest.fixture
def catchment(camels_forcing, camels_streamflow_mm):
    f = camels_forcing(GAUGE)
    pet = vardex_rs.pet.oudin.simulate(f["tmean"], f["doy"], f["lat"])
    return Catchment(GAUGE, "test", f["dates"], f["prcp"], f["tmean"], f["doy"], camels_streamflow_mm(GAUGE),
                     pet, f["lat"], f["elev_mean"], f["area_km2"])


def resimulate(catchment, result):
    hydro = getattr(vardex_rs.hydro, result.model)
    params = np.array(list(result.params.values()))
    precipitation = catchment.precipitation
    if result.snow:
        bands = catchment.median_elevation + np.array([-200.0, 0.0, 200.0])
        precipitation = vardex_rs.snow.cemaneige.simulate(params[:3], precipitation, catchment.temperature,
                                                          catchment.day_of_year, bands,
                                                          catchment.median_elevation)
        params = params[3:]
    return hydro.simulate(params, precipitation, catchment.pet)


def sce_cycle(n_params, n_complexes=2):
    return n_complexes * (2 * n_params + 1)


def sce_cycle_evaluations(catchment, steps, seed=1):
    """Exact evaluations spent by the first `steps` SCE cycles on GR4J, convergence criteria off.

    Sce reports done at the first cycle whose count exceeds its budget, so `steps` cycles stay undone exactly
    when the budget is at least their count: the smallest such budget is the count.
    """
    forcing = (catchment.precipitation, None, catchment.pet, None, None, None, catchment.observed, WARMUP)

    def undone(budget):
        sce = vardex_rs.calibration.sce.Sce("gr4j", None, "nse", "none", 2, 10, -1.0, 0.0, budget, seed)
        sce.init(*forcing)
        return not any(sce.step(*forcing)[0] for _ in range(steps))
    low, high = 0, 3 * sce_cycle(4) * steps
    while low < high:
        mid = (low + high) // 2
        low, high = (low, mid) if undone(mid) else (mid + 1, high)
    return low


@pytest.mark.parametrize("optimiser, snow, model, budget", [("sce", False, "gr4j", 400), ("dds", True, "hymod", 60),
                                                            ("sce", True, "gr4j", 600)])
def test_result_record_is_consistent(catchment, optimiser, snow, model, budget):
    r = vardex.calibrate(catchment, model, snow=snow, optimiser=optimiser, max_evaluations=budget,
                         warmup=WARMUP, progress=False, seed=3)
    assert (r.model, r.snow, r.optimiser, r.objective, r.transformation, r.seed) == (
        model, snow, optimiser, "nse", "none", 3)
    hydro = getattr(vardex_rs.hydro, model)
    names = (["ctg", "kf", "qnbv"] if snow else []) + list(hydro.param_names)
    assert list(r.params) == names
    bounds = hydro.init()[1]
    if snow:
        bounds = np.vstack([[[0, 1], [0, 20], [0, 2000]], bounds])
    values = np.array(list(r.params.values()))
    assert np.all((bounds[:, 0] <= values) & (values <= bounds[:, 1]))

    np.testing.assert_array_equal(r.simulation, resimulate(catchment, r))
    obs, sim = catchment.observed[WARMUP:], r.simulation[WARMUP:]
    keep = np.isfinite(obs)
    obs, sim = np.ascontiguousarray(obs[keep]), np.ascontiguousarray(sim[keep])
    assert {k: r.metrics[k] for k in ("rmse", "nse", "kge")} == {"rmse": vardex_rs.metrics.calculate_rmse(obs, sim),
                                                               "nse": vardex_rs.metrics.calculate_nse(obs, sim),
                                                               "kge": vardex_rs.metrics.calculate_kge(obs, sim)}
    # KGE reassembled from its components; the bias ratio and the percent bias say the same
    m = r.metrics
    assert m["kge"] == pytest.approx(1 - np.sqrt((m["kge_r"] - 1) ** 2 + (m["kge_alpha"] - 1) ** 2
                                                 + (m["kge_beta"] - 1) ** 2), abs=1e-12)
    assert m["pbias"] == pytest.approx(100 * (m["kge_beta"] - 1), abs=1e-9)

    assert r.steps == len(r.history) > 0 and r.history[-1] == r.score
    assert all(a <= b for a, b in zip(r.history, r.history[1:]))
    assert r.evaluations <= budget and r.seconds > 0 and not r.interrupted


def test_seed_reproduces_the_run(catchment):
    kw = dict(optimiser="dds", max_evaluations=40, progress=False)
    a, b = vardex.calibrate(catchment, seed=5, **kw), vardex.calibrate(catchment, seed=5, **kw)
    assert a.params == b.params and a.history == b.history and a.metrics == b.metrics
    np.testing.assert_array_equal(a.simulation, b.simulation)
    assert vardex.calibrate(catchment, seed=6, **kw).params != a.params


def test_budgets_and_step_limits(catchment):
    dds = vardex.calibrate(catchment, optimiser="dds", max_evaluations=30, progress=False, snow=False)
    assert (dds.done, dds.steps, dds.evaluations) == (True, 29, 30)

    # An SCE cycle spends between c and 3c evaluations: the run ends within the budget, less than one
    # worst-case cycle short of it, and reports what it spent.
    budget, population = 300, sce_cycle(4)
    sce = vardex.calibrate(catchment, optimiser="sce", max_evaluations=budget, progress=False, snow=False,
                           **NO_CONVERGENCE)
    spent = population + sce_cycle_evaluations(catchment, sce.steps)
    assert sce.done and budget - 3 * population < spent == sce.evaluations <= budget

    limited = vardex.calibrate(catchment, optimiser="sce", max_steps=2, progress=False, **NO_CONVERGENCE)
    assert (limited.steps, len(limited.history), limited.done) == (2, 2, False)
    with pytest.raises(ValueError, match="max_evaluations must be at least 180"):   # 5 complexes by default
        vardex.calibrate(catchment, optimiser="sce", max_evaluations=179, progress=False, snow=False)
    with pytest.raises(TypeError, match="r"):
        vardex.calibrate(catchment, optimiser="sce", max_evaluations=200, progress=False, snow=False, r=0.2)


@pytest.mark.parametrize("optimiser, snow", [("sce", False), ("sce", True), ("dds", False), ("dds", True)])
def test_counted_calibrators_step_like_the_public_ones(catchment, optimiser, snow):
    # vardex drives vardex._core's classes for their count; every step must match vardex_rs's bit for bit.
    model = "cemaneige" if snow else None
    if optimiser == "sce":
        args = ("gr4j", model, "kge", "sqrt", 2, 3, 0.1, 1e-3, 150, 9)
        public, counted = vardex_rs.calibration.sce.Sce(*args), vardex._core.Sce(*args)
    else:
        args = ("gr4j", model, "kge", "sqrt", 0.2, 6, 9)
        public, counted = vardex_rs.calibration.dds.Dds(*args), vardex._core.Dds(*args)
    bands = catchment.median_elevation + np.array([-200.0, 0.0, 200.0])
    forcing = (catchment.precipitation, catchment.temperature if snow else None, catchment.pet,
               catchment.day_of_year if snow else None, bands if snow else None,
               catchment.median_elevation if snow else None, catchment.observed, WARMUP)
    assert public.init(*forcing) is counted.init(*forcing) is None
    counts, done = [counted.evaluations], [False]
    for _ in range(8):
        a, b = public.step(*forcing), counted.step(*forcing)
        assert a[0] == b[0] and all(same_bits(x, y) for x, y in zip(a[1:], b[1:]))
        counts.append(counted.evaluations)
        done.append(bool(a[0]))
    if optimiser == "dds":
        assert counts == [1, 2, 3, 4, 5, 6, 6, 6, 6]    # budget 6: spent, then done without evaluating
    else:
        # The population is not counted; each cycle adds s to 3s; once done, steps only re-simulate.
        s = sce_cycle(7 if snow else 4)
        assert counts[0] == 0 and done[-1]
        for was_done, before, after in zip(done, counts, counts[1:]):
            assert after - before == 0 if was_done else s <= after - before <= 3 * s


def test_settings_reach_the_optimiser(catchment):
    # Three complexes instead of two make a larger population: a budget fit for two is then too small.
    sce = dict(optimiser="sce", max_evaluations=72, progress=False, snow=False)
    vardex.calibrate(catchment, max_steps=1, n_complexes=2, **sce)
    with pytest.raises(ValueError, match="at least 108"):
        vardex.calibrate(catchment, n_complexes=3, **sce)
    with pytest.raises(ValueError, match="neighborhood size r"):
        vardex.calibrate(catchment, optimiser="dds", progress=False, r=2.0)


@pytest.mark.parametrize("objective", ["nse", "rmse"])
def test_compare_ranks_best_first(catchment, objective):
    models = None if objective == "nse" else ["gr4j", "hymod", "bucket"]
    results = vardex.compare(catchment, models, optimiser="dds", max_evaluations=3, objective=objective,
                             progress=False)
    assert sorted(r.model for r in results) == sorted(models or vardex.MODELS)
    assert len(results) == (20 if models is None else 3)
    scores = [r.metrics[objective] for r in results]
    finite = [s for s in scores if np.isfinite(s)]
    assert finite == sorted(finite, reverse=objective != "rmse")
    assert scores[:len(finite)] == finite


class _Interrupting:
    """Wraps an optimiser class so that its `where`-th call (init = 0, then steps) raises KeyboardInterrupt."""

    def __init__(self, cls, where):
        self.cls, self.where = cls, where

    def __call__(self, *args):
        engine, where, calls = self.cls(*args), self.where, [0]

        class Proxy:
            def _call(self, method, *a):
                calls[0] += 1
                if calls[0] - 1 == where:
                    raise KeyboardInterrupt
                return getattr(engine, method)(*a)

            def init(self, *a):
                return self._call("init", *a)

            def step(self, *a):
                return self._call("step", *a)

            @property
            def evaluations(self):
                return engine.evaluations
        return Proxy()


def test_keyboard_interrupt_returns_best_so_far(catchment, monkeypatch):
    kw = dict(optimiser="dds", max_evaluations=50, progress=False)
    reference = vardex.calibrate(catchment, max_steps=3, **kw)
    settings = vardex.Settings.build(models="gr4j", optimiser="dds", max_evaluations=50)
    r = calibration.run(catchment, settings, engines={"dds": _Interrupting(calibration.ENGINES["dds"], 4)})
    assert r.interrupted and not r.done and r.steps == 3
    assert r.params == reference.params and r.history == reference.history

    for where in (0, 1):    # during init, during the first step: nothing to return
        with pytest.raises(KeyboardInterrupt):
            calibration.run(catchment, vardex.Settings.build(models="gr4j", optimiser="sce"),
                            engines={"sce": _Interrupting(calibration.ENGINES["sce"], where)})


def test_progress_goes_to_stderr_only_when_asked(catchment, capfd):
    kw = dict(optimiser="dds", max_evaluations=5, snow=False)
    vardex.calibrate(catchment, progress=False, **kw)
    assert capfd.readouterr() == ("", "")
    vardex.calibrate(catchment, **kw)
    out, err = capfd.readouterr()
    assert out == "" and "evals=" in err and "nse=" in err
    # compare: one bar over the models, the calibrations' bars nested under it
    vardex.compare(catchment, ["gr4j", "hbv"], **kw)
    out, err = capfd.readouterr()
    assert out == "" and "compare" in err and "2/2" in err and "hbv dds" in err


@pytest.mark.parametrize("transformation", ["log", "sqrt"])
def test_transformed_objectives_are_reported_beside_the_scores_of_the_flows(catchment, transformation):
    kw = dict(optimiser="dds", max_evaluations=60, progress=False, transformation=transformation, objective="kge",
              period=("2001-01-01", "2001-12-31"), validation=("2002-01-01", "2002-12-31"))
    r = vardex.calibrate(catchment, "gr4j", **kw)
    plain = vardex.calibrate(catchment, "gr4j", **{**kw, "transformation": "none"})
    cal = r.window
    observed, simulated = catchment.observed[cal.first:cal.stop], r.simulation[cal.warmup:]
    # The scores are of the flows as they are; the objective as optimised is on transformed flows.
    assert r.metrics["nse"] == vardex.simulation.score(observed, simulated)["nse"]
    assert r.score == r.objective_value == r.history[-1] == vardex.simulation.score(observed, simulated,
                                                                                     transformation)["kge"]
    assert r.validation_objective == r.evaluate(catchment, r.validation_period, objective="kge")
    assert plain.objective_value == plain.metrics["kge"]


@pytest.mark.parametrize("options, reason", [
    (dict(optimiser="dds", max_evaluations=40), "budget"),
    (dict(max_steps=2), "max_steps"),
    (dict(optimiser="sce", n_complexes=2, restart=False), "converged: "),
    (dict(optimiser="sce", n_complexes=2, k_stop=1000, geometric_range_threshold=0.0, max_evaluations=300),
     "budget"),
])
def test_a_result_says_why_it_stopped(catchment, options, reason):
    r = vardex.calibrate(catchment, "gr4j", snow=False, progress=False, **options)
    assert r.stop_reason.startswith(reason) and r.starts == 1
    assert r.done == (reason != "max_steps")


@pytest.mark.parametrize("share, expected", [(0.0, "lower"), (0.004, "lower"), (0.006, None), (0.5, None),
                                             (0.996, "upper"), (1.0, "upper")])
def test_parameters_within_half_a_percent_of_a_bound_are_flagged(share, expected):
    from vardex import diagnostics

    (lo, hi), *_ = vardex_rs.hydro.gr4j.init()[1]
    defaults = vardex_rs.hydro.gr4j.init()[0]
    params = {"x1": lo + share * (hi - lo), "x2": defaults[1], "x3": defaults[2], "x4": defaults[3]}
    assert diagnostics.at_bounds("gr4j", False, params) == ({} if expected is None else {"x1": expected})


def test_several_seeds_keep_the_best_and_say_how_far_apart_they_are(catchment):
    kw = dict(optimiser="dds", max_evaluations=30, progress=False, snow=False)
    singles = {s: vardex.calibrate(catchment, "gr4j", seed=s, **kw) for s in (1, 2, 3)}
    r = vardex.calibrate(catchment, "gr4j", seeds=[1, 2, 3], **kw)
    best = max(singles.values(), key=lambda x: x.score)
    assert r.seed == best.seed and r.params == best.params and r.score == best.score
    assert r.seed_scores == {s: x.score for s, x in singles.items()}
    assert r.seed_spread == max(r.seed_scores.values()) - min(r.seed_scores.values())
    ranked = vardex.compare(catchment, ["gr4j", "bucket"], seeds=[1, 2, 3], **kw)
    assert ranked[0].score == max(x.score for x in ranked) and all(x.seed_scores for x in ranked)
    with pytest.raises(TypeError, match="seed or seeds"):
        vardex.calibrate(catchment, "gr4j", seed=2, seeds=[1], **kw)


@pytest.mark.parametrize("starts, restart", [(2, False), (3, True), (1, True), (1, False)])
def test_starts_share_the_budget_and_one_start_is_the_plain_run(catchment, starts, restart):
    kw = dict(optimiser="sce", progress=False, snow=False, max_evaluations=3000, n_complexes=2)
    plain = vardex.calibrate(catchment, "gr4j", restart=False, **kw)
    r = vardex.calibrate(catchment, "gr4j", starts=starts, restart=restart, **kw)
    assert r.evaluations <= 3000 and r.starts >= starts
    if starts == 1:    # its first start is the plain run; a restart can only add to it
        assert r.score >= plain.score
    assert all(a <= b for a, b in zip(r.history, r.history[1:]))    # the best over all starts, step by step
    again = vardex.calibrate(catchment, "gr4j", starts=starts, restart=restart, **kw)
    assert (again.params, again.history) == (r.params, r.history)    # every start seeded from the run's seed
    if starts == 1 and not restart:
        assert (r.params, r.history) == (plain.params, plain.history)


@pytest.mark.parametrize("budget, starts", [(None, 3), (6000, 2), (3000, 1), (5999, 1), (2, 1)])
def test_dds_by_default_makes_a_start_per_3000_evaluations_and_spends_the_budget(catchment, budget, starts):
    kw = dict(progress=False, snow=False, max_evaluations=budget)
    r = vardex.calibrate(catchment, "gr4j", **kw)
    assert (r.optimiser, r.starts, r.stop_reason) == ("dds", starts, "budget")
    assert r.evaluations == (budget or 9000) and r.done
    if starts > 1:    # the first start is the plain run on its share; the others can only add to it
        first = vardex.calibrate(catchment, "gr4j", **{**kw, "max_evaluations": r.evaluations // starts, "starts": 1})
        assert first.starts == 1 and r.score >= first.score
