"""Calibrator objects: construction checks, argument handling, protocol, determinism and threads."""
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import vardex_rs
from helpers import MODELS
from vardex_rs.calibration.dds import Dds
from vardex_rs.calibration.sce import Sce

N = 730
WARMUP = 365


@pytest.fixture(scope="module")
def series():
    rng = np.random.default_rng(11)
    p = rng.gamma(0.6, 6.0, N)
    e = 2.0 + 1.5 * np.sin(np.arange(N) * 2 * np.pi / 365)
    obs = vardex_rs.hydro.gr4j.simulate(np.array([320.0, -0.8, 85.0, 2.1]), p, e)
    doy = (np.arange(N) % 365 + 1).astype(np.uint64)
    temp = 8.0 + 12.0 * np.sin((np.arange(N) - 100) * 2 * np.pi / 365)
    return {"p": p, "e": e, "obs": obs, "doy": doy, "temp": temp}


def forcing(s, snow=False, **override):
    args = dict(
        precipitation=s["p"], temperature=s["temp"] if snow else None, pet=s["e"],
        day_of_year=s["doy"] if snow else None, elevation_bands=np.array([200.0, 400.0]) if snow else None,
        median_elevation=300.0 if snow else None, observations=s["obs"], warmup_steps=WARMUP,
    )
    args.update(override)
    return args


def sce(snow_model=None, objective="nse", transformation="none", n_complexes=2, k_stop=5, max_evaluations=10000,
        seed=42, hydro_model="gr4j"):
    return Sce(hydro_model, snow_model, objective, transformation, n_complexes, k_stop, 0.1, 0.001,
               max_evaluations, seed)


def dds(snow_model=None, objective="nse", transformation="none", r=0.2, max_evaluations=200, seed=7,
        hydro_model="gr4j"):
    return Dds(hydro_model, snow_model, objective, transformation, r, max_evaluations, seed)


def run(obj, f, steps):
    obj.init(**f)
    return [obj.step(**f) for _ in range(steps)]


def assert_same_trajectory(a, b):
    assert len(a) == len(b)
    for (d1, p1, s1, t1), (d2, p2, s2, t2) in zip(a, b):
        assert d1 == d2
        np.testing.assert_array_equal(p1, p2)
        np.testing.assert_array_equal(s1, s2)
        np.testing.assert_array_equal(t1, t2)


class TestConstruction:
    @pytest.mark.parametrize("make", [sce, dds])
    @pytest.mark.parametrize("objective", ["NSE", "Kge", "rmse", "\u212age"])
    def test_objective_is_case_insensitive(self, make, objective, series):
        f = forcing(series)
        assert_same_trajectory(run(make(objective=objective), f, 2), run(make(objective=objective.lower()), f, 2))

    @pytest.mark.parametrize("make", [sce, dds])
    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"objective": "nse "}, "Unknown objective function 'nse '. Valid options: nse, kge, rmse"),
            ({"objective": "mae", "transformation": "bad"},
             "Unknown objective function 'mae'. Valid options: nse, kge, rmse"),
            ({"transformation": "LN"}, "Unknown transformation function 'LN'. Valid options: log, sqrt, none"),
            ({"snow_model": "CemaNeige"}, "Unknown snow model 'CemaNeige'"),
            ({"snow_model": "snow17", "hydro_model": "nope"}, "Unknown snow model 'snow17'"),
            ({"hydro_model": "GR4J"}, "Unknown hydro model 'GR4J'"),
            ({"hydro_model": ""}, "Unknown hydro model ''"),
        ],
    )
    def test_option_errors(self, make, kwargs, message):
        with pytest.raises(ValueError) as info:
            make(**kwargs)
        assert str(info.value) == message
        assert not isinstance(info.value, vardex_rs.VardexError)

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"n_complexes": 0}, "invalid algorithm parameter: n_complexes must be at least 1, got 0"),
            ({"k_stop": 0}, "invalid algorithm parameter: k_stop must be at least 1, got 0"),
            ({"k_stop": 0, "hydro_model": "x"}, "invalid algorithm parameter: k_stop must be at least 1, got 0"),
            ({"n_complexes": 0, "transformation": "x"},
             "Unknown transformation function 'x'. Valid options: log, sqrt, none"),
        ],
    )
    def test_sce_settings(self, kwargs, message):
        with pytest.raises(ValueError, match=f"^{message}$"):
            sce(**kwargs)

    @pytest.mark.parametrize(
        "r, text", [(0.0, "0"), (-0.5, "-0.5"), (1.0000001, "1.0000001"), (float("nan"), "NaN"),
                    (float("inf"), "inf"), (-0.0, "-0")],
    )
    def test_dds_rejects_r(self, r, text):
        with pytest.raises(ValueError) as info:
            dds(r=r, hydro_model="unknown")
        assert str(info.value) == f"invalid algorithm parameter: neighborhood size r must be in (0, 1], got {text}"

    def test_dds_check_order(self):
        with pytest.raises(ValueError, match="^Unknown objective"):
            dds(objective="x", r=5.0)
        with pytest.raises(ValueError, match="max_evaluations must be at least 2, got 1$"):
            dds(max_evaluations=1, hydro_model="unknown")
        dds(r=1.0, max_evaluations=2)

    @pytest.mark.parametrize(
        "kwargs, exc",
        [({"seed": -1}, OverflowError), ({"seed": 2**64}, OverflowError), ({"seed": 1.0}, TypeError),
         ({"max_evaluations": "10"}, TypeError), ({"hydro_model": b"gr4j"}, TypeError),
         ({"snow_model": 1}, TypeError)],
    )
    def test_argument_types(self, kwargs, exc):
        with pytest.raises(exc, match="^argument '"):
            sce(**kwargs)

    def test_largest_seed_accepted(self, series):
        f = forcing(series)
        largest = run(sce(seed=2**64 - 1), f, 1)
        assert_same_trajectory(largest, run(sce(seed=2**64 - 1), f, 1))
        assert not np.array_equal(largest[0][1], run(sce(seed=0), f, 1)[0][1])    # not folded onto another seed


class TestCallArguments:
    @pytest.mark.parametrize("make", [sce, dds])
    def test_type_errors_name_the_argument(self, make, series):
        obj = make()
        with pytest.raises(OverflowError, match="^argument 'warmup_steps'"):
            obj.init(**forcing(series, warmup_steps=-1))
        with pytest.raises(TypeError, match="^argument 'day_of_year'"):
            obj.init(**forcing(series, day_of_year=series["doy"].astype(np.int64)))
        with pytest.raises(TypeError, match="^argument 'observations'"):
            obj.step(**forcing(series, observations=list(series["obs"])))
        with pytest.raises(TypeError, match="^argument 'median_elevation'"):
            obj.step(**forcing(series, median_elevation="high"))
        with pytest.raises(TypeError):
            obj.init(series["p"])

    def test_positional_equals_keyword(self, series):
        f = forcing(series)
        positional = [f[k] for k in ("precipitation", "temperature", "pet", "day_of_year", "elevation_bands",
                                     "median_elevation", "observations", "warmup_steps")]
        a, b = dds(), dds()
        a.init(*positional)
        b.init(**f)
        assert_same_trajectory([a.step(*positional)], [b.step(**f)])

    def test_inputs_are_copied_not_written(self, series):
        f = forcing(series)
        before = {k: v.copy() for k, v in f.items() if isinstance(v, np.ndarray)}
        run(sce(), f, 2)
        for k, v in before.items():
            np.testing.assert_array_equal(f[k], v)


class TestProtocol:
    @pytest.mark.parametrize("snow, n", [(False, 4), (True, 7)])
    @pytest.mark.parametrize("make", [sce, dds])
    def test_step_result_shape(self, make, snow, n, series):
        obj = make(snow_model="cemaneige" if snow else None)
        done, params, sim, triple = run(obj, forcing(series, snow=snow), 1)[0]
        assert type(done) is bool
        assert params.shape == (n,) and sim.shape == (N,) and triple.shape == (3,)
        assert all(a.dtype == np.float64 for a in (params, sim, triple))

    @pytest.mark.parametrize("make", [sce, dds])
    def test_missing_snow_inputs(self, make, series):
        obj = make(snow_model="cemaneige")
        with pytest.raises(ValueError, match="^snow model requires temperature, day_of_year, elevation_bands, and "
                                             "median_elevation$"):
            obj.init(**forcing(series, snow=True, temperature=None))

    @pytest.mark.parametrize("make", [sce, dds])
    @pytest.mark.parametrize("warmup", [N - 100, N, N + 5, 2**64 - 1])
    def test_no_observations_in_window(self, make, warmup, series):
        obs = series["obs"].copy()
        obs[N - 100:] = np.nan
        with pytest.raises(ValueError, match="^no streamflow observations available in the calibration window"):
            make().init(**forcing(series, observations=obs, warmup_steps=warmup))

    def test_step_on_empty_window_fails_cleanly(self, series):
        obj = dds()
        obj.init(**forcing(series))
        with pytest.raises(ValueError, match="^Empty input arrays$"):
            obj.step(**forcing(series, warmup_steps=N))
        obj.step(**forcing(series))  # still usable

    def test_length_mismatch_message(self, series):
        with pytest.raises(ValueError, match=r"^precipitation, temperature, pet and day_of_year must have the same "
                                             r"length \(got 730, 729, 730 and 730\)$"):
            dds().init(**forcing(series, temperature=series["temp"][:-1]))

    def test_model_error_is_value_error(self, series):
        e = series["e"].copy()
        e[3] = -1.0
        with pytest.raises(ValueError, match="^Negative value in pet at index 3: -1$") as info:
            dds().init(**forcing(series, pet=e))
        assert type(info.value) is ValueError

    def test_dds_budget_of_two(self, series):
        obj = dds(max_evaluations=2)
        f = forcing(series)
        obj.init(**f)
        first = obj.step(**f)
        assert first[0] is True
        assert_same_trajectory([obj.step(**f), obj.step(**f)], [first, first])

    def test_sce_zero_budget_finishes_first_cycle(self, series):
        f = forcing(series)
        steps = run(sce(max_evaluations=0), f, 3)
        assert [s[0] for s in steps] == [True, True, True]
        assert_same_trajectory(steps[1:], [steps[0], steps[0]])

    def test_step_after_done_draws_nothing(self, series):
        f = forcing(series)
        a, b = sce(max_evaluations=0, seed=5), sce(max_evaluations=0, seed=5)
        run(a, f, 3)  # two extra steps after done
        run(b, f, 1)
        a.init(**f)
        b.init(**f)
        assert_same_trajectory([a.step(**f)], [b.step(**f)])

    @pytest.mark.parametrize("make", [sce, dds])
    @pytest.mark.parametrize("objective, better", [("nse", max), ("kge", max), ("rmse", min)])
    def test_best_never_gets_worse(self, make, objective, better, series):
        index = {"rmse": 0, "nse": 1, "kge": 2}[objective]
        values = [t[index] for _, _, _, t in run(make(objective=objective), forcing(series), 8)]
        for prev, cur in zip(values, values[1:]):
            assert better(prev, cur) == cur

    def test_step_before_init_is_allowed(self, series):
        for obj in (sce(), dds()):
            done, params, sim, triple = obj.step(**forcing(series))
            assert np.all(np.isfinite(params))

    def test_failed_sce_step_keeps_state_usable(self, series):
        f = forcing(series)
        obj = sce()
        obj.init(**f)
        best = obj.step(**f)[3][1]
        with pytest.raises(ValueError):
            obj.step(**forcing(series, pet=-series["e"]))
        assert obj.step(**f)[3][1] >= best


class TestDeterminism:
    @pytest.mark.parametrize("make", [sce, dds])
    @pytest.mark.parametrize("transformation", ["none", "log", "sqrt"])
    def test_same_seed_same_trajectory(self, make, transformation, series):
        f = forcing(series, snow=True)
        a = run(make(snow_model="cemaneige", transformation=transformation), f, 4)
        b = run(make(snow_model="cemaneige", transformation=transformation), f, 4)
        assert_same_trajectory(a, b)

    def test_different_seeds_differ(self, series):
        f = forcing(series)
        a = run(dds(seed=1), f, 3)
        b = run(dds(seed=2), f, 3)
        assert not np.array_equal(a[-1][1], b[-1][1])

    def test_independent_of_worker_count(self, tmp_path):
        if not hasattr(os, "sched_getaffinity") or len(os.sched_getaffinity(0)) < 2:
            pytest.skip("needs at least two processors")
        script = (
            "import numpy as np, sys\n"
            "from vardex_rs.calibration.sce import Sce\n"
            "import vardex_rs\n"
            "rng = np.random.default_rng(3); n = 800\n"
            "p = rng.gamma(0.6, 6.0, n); e = np.full(n, 2.0)\n"
            "obs = vardex_rs.hydro.gr4j.simulate(np.array([250.0, 0.5, 60.0, 1.5]), p, e)\n"
            "s = Sce('gr4j', None, 'kge', 'sqrt', 4, 5, 0.1, 0.001, 5000, 99)\n"
            "f = (p, None, e, None, None, None, obs, 100)\n"
            "s.init(*f)\n"
            "out = [s.step(*f) for _ in range(3)]\n"
            "np.save(sys.argv[1], np.concatenate([np.concatenate([r[1], r[2], r[3]]) for r in out]))\n"
        )
        one, all_ = tmp_path / "one.npy", tmp_path / "all.npy"
        subprocess.run(["taskset", "-c", "0", sys.executable, "-c", script, str(one)], check=True)
        subprocess.run([sys.executable, "-c", script, str(all_)], check=True)
        np.testing.assert_array_equal(np.load(one), np.load(all_))


class TestThreads:
    def big_problem(self):
        rng = np.random.default_rng(4)
        n = 20000
        p = rng.gamma(0.6, 6.0, n)
        e = np.full(n, 2.0)
        obs = vardex_rs.hydro.gr4j.simulate(np.array([250.0, 0.5, 60.0, 1.5]), p, e)
        return dict(precipitation=p, temperature=None, pet=e, day_of_year=None, elevation_bands=None,
                    median_elevation=None, observations=obs, warmup_steps=365)

    def test_concurrent_use_of_one_object_is_refused(self):
        f = self.big_problem()
        obj = sce(n_complexes=6)
        for _ in range(20):
            outcomes = []
            started = threading.Event()

            def worker():
                started.set()
                try:
                    obj.init(**f)
                    outcomes.append("ok")
                except RuntimeError as err:
                    outcomes.append(str(err))

            t = threading.Thread(target=worker)
            t.start()
            started.wait()
            try:
                obj.step(**f)
                outcomes.append("ok")
            except RuntimeError as err:
                outcomes.append(str(err))
            t.join()
            if "Already borrowed" in outcomes:
                break
        assert sorted(outcomes) == ["Already borrowed", "ok"]
        obj.step(**f)  # the claim is released on every path

    def test_other_threads_run_during_calibration(self):
        f = self.big_problem()
        obj = sce(n_complexes=6)
        inside = threading.Event()
        finished = threading.Event()
        ticks = 0

        def worker():
            inside.set()
            obj.init(**f)
            finished.set()

        t = threading.Thread(target=worker)
        t.start()
        inside.wait()
        while not finished.is_set():
            ticks += 1
        t.join()
        assert ticks > 1000

    def test_two_objects_on_two_threads_match_sequential_runs(self):
        f = self.big_problem()
        expected = [run(dds(seed=s), f, 3) for s in (1, 2)]
        results = [None, None]

        def worker(i):
            results[i] = run(dds(seed=i + 1), f, 3)

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for got, want in zip(results, expected):
            assert_same_trajectory(got, want)


def test_dds_reuses_the_snow_only_where_it_would_be_the_same(series):
    """A candidate that leaves the snow parameters of the best takes its snow output; every evaluation still scores
    exactly as a fresh chain on the forcing of its own call, when the forcing changes between calls too."""
    from vardex import _core

    other = dict(series, p=series["p"] * 1.5, temp=series["temp"] - 3.0)
    forcings = [forcing(series, snow=True), forcing(other, snow=True)]
    engine = _core.Dds("gr4j", "cemaneige", "nse", "none", 0.2, 400, 3)
    engine.keep_samples()
    engine.init(**forcings[0])
    used = [0]
    for step in range(399):
        used.append(step % 3 == 2)    # every third call on the other forcing
        engine.step(**forcings[used[-1]])
    params, triples = engine.samples()
    unchanged = sum(np.array_equal(a[:3], b[:3]) for a, b in zip(params[1:], params[:-1]))
    assert unchanged > 100      # late candidates mostly leave the snow parameters as they were
    for x, triple, which in zip(params, triples, used):
        f = forcings[which]
        liquid = vardex_rs.snow.cemaneige.simulate(x[:3], f["precipitation"], f["temperature"], f["day_of_year"],
                                                   f["elevation_bands"], f["median_elevation"])
        flow = vardex_rs.hydro.gr4j.simulate(x[3:], liquid, f["pet"])
        expected = _core.score(f["observations"][WARMUP:], flow[WARMUP:], "none")
        assert np.array_equal(triple, expected), (x, triple, expected)


@pytest.mark.parametrize("optimiser", ["sce", "dds"])
@pytest.mark.parametrize("snow", [False, True])
def test_many_steps_in_one_call_are_the_steps_one_by_one(series, optimiser, snow):
    from vardex import _core

    make = (lambda: _core.Sce("hbv", "cemaneige" if snow else None, "kge", "sqrt", 2, 3, 0.1, 0.001, 2000, 5)) \
        if optimiser == "sce" else (lambda: _core.Dds("hbv", "cemaneige" if snow else None, "kge", "sqrt", 0.2, 300, 5))
    f = forcing(series, snow=snow)
    one, many = make(), make()
    for engine in (one, many):
        engine.keep_samples()
        engine.init(**f)
    steps = []
    while not steps or not steps[-1][0]:
        steps.append(one.step(**f))
    args = [f[k] for k in ("precipitation", "temperature", "pet", "day_of_year", "elevation_bands",
                           "median_elevation", "observations", "warmup_steps")]
    triples, last = many.run_steps(*args, 7)         # a first call, stopped by its count or the optimiser
    if not last[0]:
        more, last = many.run_steps(*args, 10**6)    # the rest, stopped by the optimiser
        triples = np.vstack([triples, more])
    assert np.array_equal(triples, np.array([s[3] for s in steps]))
    assert all(np.array_equal(a, b) for a, b in zip(last, steps[-1]))
    assert one.evaluations == many.evaluations
    assert all(np.array_equal(a, b) for a, b in zip(one.samples(), many.samples()))



@pytest.mark.parametrize("model", MODELS)
def test_early_rejection_changes_nothing_but_the_days_run(series, model):
    # With a sample log every evaluation runs in full; without one, a candidate whose RMSE or NSE is already
    # worse than what it must beat stops early. Every step must come out the same, bit for bit.
    from vardex import _core

    obs = series["obs"].copy()
    obs[WARMUP + 40:WARMUP + 70] = np.nan          # scored days with gaps
    stopped = {"sce": 0, "dds": 0}
    for optimiser in stopped:
        for objective in ("nse", "rmse"):
            for transformation in ("none", "log", "sqrt"):
                for snow in (False, True):
                    f = forcing(series, snow=snow, observations=obs)
                    args = (model, "cemaneige" if snow else None, objective, transformation)
                    make = ((lambda: _core.Sce(*args, 2, 3, 0.1, 0.001, 300, 5)) if optimiser == "sce" else
                            (lambda: _core.Dds(*args, 0.2, 120, 5)))
                    full, cut = make(), make()
                    full.keep_samples()
                    full.init(**f)
                    cut.init(**f)
                    while True:
                        a, b = full.step(**f), cut.step(**f)
                        assert a[0] == b[0] and all(np.array_equal(x, y) for x, y in zip(a[1:], b[1:])), \
                            (optimiser, objective, transformation, snow)
                        if a[0]:
                            break
                    assert full.evaluations == cut.evaluations and full.early_stops == (0, 0)
                    stopped[optimiser] += cut.early_stops[0]
    assert stopped["sce"] > 0 and stopped["dds"] > 0


@pytest.mark.parametrize("objective, constant, stops", [
    ("kge", False, False),      # not monotone in the squared errors: always in full
    ("nse", True, False),       # no variance in the observations: every NSE is -inf, nothing to beat
    ("rmse", True, True),       # RMSE needs no variance
    ("nse", False, True),
])
def test_which_runs_may_stop_early(series, objective, constant, stops):
    from vardex import _core

    obs = np.full(N, 1.5) if constant else series["obs"]
    for optimiser in (_core.Dds("hbv", None, objective, "none", 0.2, 150, 3),
                      _core.Sce("hbv", None, objective, "none", 2, 3, 0.1, 0.001, 400, 3)):
        f = forcing(series, observations=obs)
        optimiser.init(**f)
        while not optimiser.step(**f)[0]:
            pass
        assert (optimiser.early_stops[0] > 0) == stops and (optimiser.early_stops[1] > 0) == stops


def test_a_run_that_fails_late_reports_the_same_error_with_or_without_the_cut_off(series):
    # The snow model runs along with a run that may stop early; where anything fails, the evaluation is done
    # again in full, so that the error is the one (and in the order) of a full run. Finite rain of 1.79e308
    # overflows MORDOR's stores 235 days into the scored year.
    from vardex import _core

    f = forcing(series, snow=True)
    bad = dict(f, precipitation=f["precipitation"].copy())
    bad["precipitation"][600:603] = 1.79e308
    for make in (lambda: _core.Dds("mordor", "cemaneige", "nse", "none", 0.2, 100, 5),
                 lambda: _core.Sce("mordor", "cemaneige", "nse", "none", 2, 3, 0.1, 0.001, 400, 5)):
        errors = []
        for keep in (True, False):
            engine = make()
            if keep:
                engine.keep_samples()
            engine.init(**f)
            engine.step(**f)
            with pytest.raises(ValueError) as info:
                engine.step(**bad)
            errors.append(str(info.value))
        assert errors[0] == errors[1] and "MORDOR simulation: non-finite value inf at index 60" in errors[0], errors
