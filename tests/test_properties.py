"""Property tests: whatever the input, every public function returns a well-formed result or raises exactly the
documented exception and message (the first failing check wins), never crashes, and never writes to its inputs."""
import math
import os
import re
import types

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vardex
import vardex_rs
from vardex_rs import VardexNumericalError as NumErr, VardexValidationError as ValErr
from vardex_rs.calibration.dds import Dds
from vardex_rs.calibration.sce import Sce

_common = dict(deadline=None, database=None, print_blob=True,
               suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("vardex-quick", max_examples=20, **_common)
settings.register_profile("thorough", max_examples=1000, **_common)
PROFILE = settings.get_profile(os.environ.get("VARDEX_HYPOTHESIS_PROFILE", "vardex-quick"))

MODELS = [name for name, m in vars(vardex_rs.hydro).items() if isinstance(m, types.ModuleType)]
ANY = st.one_of(st.floats(), st.sampled_from([-0.0, 5e-324, -5e-324, 2.2250738585072014e-308, -1.0, 100.00000000000001,
                                             1e308, -1e308, 1.7976931348623157e308, math.inf, -math.inf, math.nan]))
FLOAT = st.one_of(ANY, st.integers(-10**6, 10**6), st.booleans(), st.floats(width=32).map(np.float32))
U64 = st.one_of(st.integers(0, 2**64 - 1), st.booleans())
DOY, DOY_ANY = st.integers(1, 366), st.one_of(st.integers(0, 2**64 - 1), st.sampled_from([0, 367, 2**64 - 1]))
BAD = [list, tuple, float, str, lambda: [1.0, 2.0], lambda: np.zeros((2, 2)), lambda: np.zeros(()),
       lambda: np.zeros(3, np.float32), lambda: np.arange(3), lambda: np.zeros(3, bool), lambda: np.zeros(3, object),
       lambda: np.zeros(3, complex), lambda: np.zeros(3, "M8[D]")]
ODD = st.one_of(st.characters(exclude_categories=()), st.sampled_from("nsekgrmloqtİıΣ\u212a\u0307\0"))
NUMERICAL = r"Numerical error in {} simulation: non-finite value (NaN|inf|-inf) at index \d+"
DEGENERATE = {
    "calculate_nse": r"Zero variance in observations - NSE undefined for constant observations"
                     r"|Numerical error in NSE calculation: numerator=\S+, denominator=\S+, result=\S+",
    "calculate_kge": r"Zero variance in (observations|simulations) - KGE undefined"
                     r"|Zero mean in observations - KGE beta component undefined"
                     r"|Numerical error in KGE calculation: r=\S+, alpha=\S+, beta=\S+, result=\S+",
    "calculate_rmse": r"Numerical error in RMSE calculation: result is \S+"}


def fmt(v):
    return "NaN" if math.isnan(v) else np.format_float_positional(v, unique=True, trim="-")


def exact(cls, message):
    return cls, re.escape(message)


def first(found):
    return next((f for f in found if f), None)


def tag(good, bad, noisy, exc=TypeError):
    """(value, None), or when noisy one time in twenty (value, the exception class its conversion must raise)."""
    if not isinstance(bad, st.SearchStrategy):
        bad = st.sampled_from(bad).map(lambda f: (f() if callable(f) else f, exc))
    good = good.map(lambda v: (v, None))
    return st.integers(0, 19).flatmap(lambda k: bad if k == 19 else good) if noisy else good


@st.composite
def laid_out(draw, lists, dtype=np.float64):
    """The drawn values as a 1-D array in a random memory layout; junk in the gaps shows a misread element."""
    xs = draw(lists)
    a = np.array(xs, dtype=dtype)
    kind = draw(st.sampled_from(["plain", "reversed", "strided", "column", "readonly", "unaligned", "broadcast"]))
    if kind == "reversed":
        a = np.array(xs[::-1], dtype=dtype)[::-1]
    elif kind in ("strided", "column"):
        big = np.full((len(xs), 3), 0 if dtype == np.uint64 else math.nan, dtype=dtype)
        big[:, 1] = a
        a = big[:, 1] if kind == "column" else big.ravel()[1::3]
    elif kind == "readonly":
        a.flags.writeable = False
    elif kind == "unaligned":
        a, values = np.ndarray(len(xs), dtype=dtype, buffer=bytearray(a.nbytes + 1), offset=1), a
        a[:] = values
    elif kind == "broadcast" and 0 < len(xs) <= 4:  # stride 0 and read-only: one value repeated
        a = np.broadcast_to(a[:1], a.shape)
    return a


def array(clean, n, noisy, dirty=ANY, dtype=np.float64, none_ok=False):
    size = st.integers(0, 5).flatmap(lambda k: st.integers(0, 8) if k == 5 else st.just(n)) if noisy else st.just(n)
    elems = st.sampled_from([clean, clean, st.one_of(clean, dirty)]) if noisy else st.just(clean)
    good = laid_out(elems.flatmap(lambda e: size.flatmap(lambda k: st.lists(e, min_size=k, max_size=k))), dtype)
    good = st.one_of(good, good, good, st.none()) if none_ok and noisy else good
    wrong = (lambda: np.ones(3)) if dtype == np.uint64 else (lambda: np.arange(3, dtype=np.uint64))
    return tag(good, BAD + [wrong] + [None] * (not none_ok), noisy)


def params(bounds, noisy):
    inside = st.tuples(*[st.one_of(st.floats(lo, hi), st.sampled_from([lo, hi])) for lo, hi in bounds]).map(list)
    mixed = st.tuples(*[st.one_of(st.floats(lo, hi), ANY) for lo, hi in bounds]).map(list)
    return tag(laid_out(st.one_of(inside, mixed, st.lists(ANY, max_size=len(bounds) + 1)) if noisy else inside),
               BAD, noisy)


def scalar(good, noisy, none_ok=False):
    return tag(st.one_of(good, st.none()) if none_ok and noisy else good,
               ["1.5", [1.0], 1j, 10**400, b"1"] + [None] * (not none_ok), noisy)


def count(good, noisy):
    over = st.one_of(st.integers(max_value=-1), st.integers(min_value=2**64)).map(lambda v: (v, OverflowError))
    wrong = st.sampled_from([3.0, "3", None, [3], np.float64(3)]).map(lambda v: (v, TypeError))
    return tag(good, st.one_of(over, wrong), noisy)


def text(valid, noisy, none_ok=False, fold=True):
    """Option names: `valid` in any letter case (a fit only when the option ignores case), near misses, odd text."""
    cased = st.sampled_from(valid).flatmap(lambda s: st.tuples(*[st.sampled_from(
        sorted({c.lower(), c.upper()} | ({"\u212a"} if c == "k" else set()))) for c in s]).map("".join))
    fit = cased if fold else st.sampled_from(valid)
    near = st.tuples(st.sampled_from(valid), st.sampled_from([" ", "\0", "\u0307", "İ"])).map("".join)
    good = st.one_of(fit, fit, cased, near, st.text(ODD, max_size=6)) if noisy else fit
    return tag(st.one_of(good, st.none()) if none_ok else good, [None, 1, b"nse", ["nse"]][none_ok:], noisy)


def draw_args(data, **strategies):
    """Draws the arguments in signature order: (objects, their values as lists, the expected conversion error)."""
    tagged = [data.draw(s) for s in strategies.values()]
    conversion = first((exc, f"argument '{name}': .+") for name, (_, exc) in zip(strategies, tagged) if exc)
    return [a for a, _ in tagged], [a.tolist() if isinstance(a, np.ndarray) else a for a, _ in tagged], conversion


def snap(x):
    if isinstance(x, np.ndarray):
        return x.dtype.str, x.shape, x.strides, x.flags.writeable, x.tobytes()
    return type(x), repr(x)


def call(fn, args, *allowed):
    """fn(*args) -> (result, exception); the outcome must be one of `allowed` (None: success), inputs unchanged."""
    before = [snap(a) for a in args]
    try:
        out, err = fn(*args), None
    except Exception as e:  # noqa: BLE001 - the exact class is checked below
        out, err = None, e
    assert [snap(a) for a in args] == before, "an input was modified"
    for a in allowed:
        if a is None and err is None:
            return out, None
        if a is not None and type(err) is a[0] and re.fullmatch(a[1], str(err), re.S):
            assert a[0] in (TypeError, OverflowError) or err.args == (str(err),)
            return out, err
    raise AssertionError(f"{getattr(fn, '__name__', fn)}: got {err!r}, expected one of {allowed}") from err


def same(err):
    return err and (type(err), re.escape(str(err)))


# The vardex layer converts what the compiled surface refuses (lists, other dtypes): where a conversion failed
# there, it may succeed here, or fail on the argument or on the model's own checks.
LENIENT = [None, (TypeError, "argument '.+"), (ValueError, "argument '.+"), (ValErr, ".+"), (NumErr, ".+")]


def check_series(out, n, inputs=()):
    assert type(out) is np.ndarray and out.dtype == np.float64 and out.shape == (n,)
    assert out.flags.owndata and out.flags.writeable
    assert not any(isinstance(a, np.ndarray) and np.shares_memory(out, a) for a in inputs)


def scan(named, sign=True):
    """Finiteness over every array in order, then (when `sign`) the sign over every array in order."""
    return first(exact(ValErr, f"Non-finite value in {name} at index {i}: {fmt(v)}") for name, xs in named
                 for i, v in enumerate(xs) if not math.isfinite(v)) or first(
        exact(ValErr, f"Negative value in {name} at index {i}: {fmt(v)}") for name, xs in named if sign
        for i, v in enumerate(xs) if v < 0)


def bounds_check(values, names, bounds):
    if len(values) != len(bounds):
        return exact(ValErr, f"expected {len(bounds)} params, got {len(values)}")
    return first(exact(ValErr, f"Parameter '{k}' value {fmt(v)} outside bounds [{fmt(lo)}, {fmt(hi)}]")
                 for k, v, (lo, hi) in zip(names, values, bounds) if not (math.isfinite(v) and lo <= v <= hi))


def hydro_inputs(p, e):
    if len(p) != len(e):
        return exact(ValErr, f"precipitation and pet must have the same length (got {len(p)} and {len(e)})")
    return exact(ValErr, "Empty input array: precipitation") if not p else scan([("precipitation", p), ("pet", e)])


def days(d):
    return first(exact(ValErr, f"Day of year {v} at index {i} outside valid range [1, 366]")
                 for i, v in enumerate(d) if not 1 <= v <= 366)


def temperature(i, v):
    if not math.isfinite(v):
        return exact(ValErr, f"Non-finite value in temperature at index {i}: {fmt(v)}")
    return exact(ValErr, f"Temperature {fmt(v)} at index {i} outside physical range [-100, 100]")


def snow_inputs(p, t, d, z):
    if not len(p) == len(t) == len(d):
        return exact(ValErr, "precipitation, temperature and day_of_year must have the same length "
                             f"(got {len(p)}, {len(t)} and {len(d)})")
    return (not p and exact(ValErr, "Empty input array: precipitation")) or scan([("precipitation", p)]) \
        or scan([("temperature", t)], False) or first(temperature(i, v) for i, v in enumerate(t) if abs(v) > 100) \
        or days(d) or (not z and exact(ValErr, "Empty input array: elevation_layers")) \
        or scan([("elevation_layers", z)], False)


def init_tables(mod, n):
    defaults, bounds = mod.init()
    check_series(defaults, n)
    assert bounds.dtype == np.float64 and bounds.shape == (n, 2)
    assert np.all((bounds[:, 0] <= defaults) & (defaults <= bounds[:, 1]))
    with pytest.raises(TypeError):
        mod.init(1)
    return bounds.tolist()


@pytest.mark.parametrize("model", MODELS)
@PROFILE
@given(data=st.data())
def test_hydro_simulate_and_model_states(model, data):
    assert len(MODELS) == 20
    mod, n, noisy = getattr(vardex_rs.hydro, model), data.draw(st.integers(0, 8)), data.draw(st.booleans())
    bounds = init_tables(mod, len(mod.param_names))
    args, (x, p, e), conversion = draw_args(data, params=params(bounds, noisy),
                                            precipitation=array(st.floats(0, 50), n, noisy),
                                            pet=array(st.floats(0, 9), n, noisy))
    expected = conversion or bounds_check(x, mod.param_names, bounds) or hydro_inputs(p, e)
    numerical = (NumErr, NUMERICAL.format(f"(?i:{model})"))
    out, err = call(mod.simulate, args, *[expected] if expected else [None, numerical])
    if err is None:
        check_series(out, len(p), args)
        assert np.all(np.isfinite(out))
    # The states take simulate's arguments and raise its errors; an unknown model name is refused.
    name = data.draw(st.one_of(st.just(model), st.text(ODD, max_size=5), st.just(b"gr4j")))
    if name == model:
        if conversion:
            call(vardex.model_states, [name] + args, *LENIENT)
            return
        states, _ = call(vardex.model_states, [name] + args, same(err))
        assert err or states and all(check_series(s, len(p)) is None for s in states.values())
    elif isinstance(name, bytes):
        call(vardex.model_states, [name] + args, (TypeError, "argument 'model': .+"))
    elif name.strip().lower() not in MODELS:   # names are taken in any letter case
        unknown = (ValErr, re.escape(f"Unknown hydro model '{name}'. Valid models: {', '.join(MODELS)}"))
        call(vardex.model_states, [name] + args, unknown, *(LENIENT if conversion else []))


@PROFILE
@given(data=st.data())
def test_cemaneige_simulate_and_states(data):
    cn, n, noisy = vardex_rs.snow.cemaneige, data.draw(st.integers(0, 8)), data.draw(st.booleans())
    bounds = init_tables(cn, 3)
    args, v, conversion = draw_args(
        data, params=params(bounds, noisy), precipitation=array(st.floats(0, 50), n, noisy),
        temperature=array(st.floats(-30, 30), n, noisy), day_of_year=array(DOY, n, noisy, DOY_ANY, np.uint64),
        elevation_layers=array(st.floats(0, 4000), data.draw(st.integers(1, 3)), noisy),
        median_elevation=scalar(st.one_of(st.floats(0, 4000), FLOAT), noisy))
    expected = conversion or bounds_check(v[0], cn.param_names, bounds) or snow_inputs(*v[1:5])
    numerical = (NumErr, NUMERICAL.format("CemaNeige"))
    out, err = call(cn.simulate, args, *[expected] if expected else [None, numerical])
    if conversion:
        call(vardex.cemaneige_states, args, *LENIENT)
        return
    states, _ = call(vardex.cemaneige_states, args, same(err))
    if err is None:
        check_series(out, len(v[1]), args)
        assert np.all(np.isfinite(out))
        layers = range(len(v[4]))
        assert list(states) == [f"G_{j}" for j in layers] + [f"e_{j}" for j in layers]
        assert all(check_series(s, len(v[1])) is None for s in states.values())
        assert all(np.all(states[f"e_{j}"] <= 0) for j in layers)


@PROFILE
@given(data=st.data())
def test_oudin_pet(data):
    n, noisy = data.draw(st.integers(0, 8)), data.draw(st.booleans())
    args, (t, d, lat), expected = draw_args(
        data, temperature=array(st.floats(-100, 100), n, noisy), day_of_year=array(DOY, n, noisy, DOY_ANY, np.uint64),
        latitude=scalar(st.one_of(st.floats(-90, 90), st.sampled_from([90.0, -90.0]), FLOAT), noisy))
    if not expected and len(t) != len(d):
        expected = exact(ValErr, f"temperature and day_of_year must have the same length (got {len(t)} and {len(d)})")
    if not expected:  # one scan over the temperatures: the first offending index wins, whichever test it fails
        expected = (not t and exact(ValErr, "Empty input array: temperature")) or first(
            temperature(i, v) for i, v in enumerate(t) if not abs(v) <= 100) or days(d) or (
            not abs(float(lat)) <= 90 and exact(ValErr, f"Latitude {fmt(float(lat))} outside valid range [-90, 90]"))
    out, err = call(vardex_rs.pet.oudin.simulate, args, expected or None)
    if err is None:
        check_series(out, len(t), args)
        assert np.all(np.isfinite(out) & (out >= 0))


@PROFILE
@given(data=st.data())
def test_metrics(data):
    name, n = data.draw(st.sampled_from(sorted(DEGENERATE))), data.draw(st.integers(0, 8))
    noisy = data.draw(st.booleans())
    observations = array(st.floats(-1e3, 1e3), n, noisy)
    same_array = object()
    args, (o, s), expected = draw_args(data, observations=observations, simulations=st.one_of(
        st.just((same_array, None)), observations))
    if s is same_array:
        args[1], s = args[0], o
    if not expected:
        expected = (len(o) != len(s) and exact(
            ValErr, f"observations and simulations must have the same length (got {len(o)} and {len(s)})")) or (
            not o and exact(ValErr, "Empty input arrays")) or first(
            exact(ValErr, f"{'NaN' if math.isnan(v) else 'Infinity'} found in {k} at index {i}")
            for k, xs in (("observations", o), ("simulations", s)) for i, v in enumerate(xs) if not math.isfinite(v))
    if not expected and name == "calculate_nse" and len(o) == 1:
        expected = exact(NumErr, "Zero variance in observations - NSE undefined for constant observations")
    out, err = call(getattr(vardex_rs.metrics, name), args,
                    *[expected] if expected else [None, (NumErr, DEGENERATE[name])])
    if err is None:
        assert type(out) is float and math.isfinite(out)
        assert out >= 0 if name == "calculate_rmse" else out <= 1
        if args[0] is args[1] and name != "calculate_kge":
            assert out == (0.0 if name == "calculate_rmse" else 1.0)


def options(data, noisy):
    return dict(hydro_model=text(MODELS, noisy, fold=False), snow_model=text(["cemaneige"], noisy, True, False),
                objective=text(["nse", "kge", "rmse"], noisy), transformation=text(["log", "sqrt", "none"], noisy))


@PROFILE
@given(data=st.data())
def test_calibrator_constructors(data):
    noisy, cls = data.draw(st.booleans()), data.draw(st.sampled_from([Dds, Sce]))
    if cls is Dds:
        r = st.one_of(st.floats(0, 1), FLOAT) if noisy else st.floats(0, 1, exclude_min=True)
        budget = st.one_of(st.integers(0, 4), U64) if noisy else st.integers(2, 2**64 - 1)
        args, v, expected = draw_args(data, **options(data, noisy), r=scalar(r, noisy),
                                      max_evaluations=count(budget, noisy), seed=count(U64, noisy))
    else:  # populations stay tiny or far beyond what can be allocated: nothing in between is tried
        complexes = st.one_of(st.integers(0, 3), st.integers(2**56, 2**64 - 1), st.booleans()) if noisy else \
            st.integers(1, 3)
        args, v, expected = draw_args(
            data, **options(data, noisy), n_complexes=count(complexes, noisy),
            k_stop=count(U64 if noisy else st.integers(1, 2**64 - 1), noisy),
            p_convergence_threshold=scalar(FLOAT, noisy), geometric_range_threshold=scalar(FLOAT, noisy),
            max_evaluations=count(U64, noisy), seed=count(U64, noisy))
    hydro, snow, objective, transformation = v[:4]
    if not expected and objective.lower() not in ("nse", "kge", "rmse"):
        expected = exact(ValueError, f"Unknown objective function '{objective}'. Valid options: nse, kge, rmse")
    if not expected and transformation.lower() not in ("log", "sqrt", "none"):
        expected = exact(ValueError, f"Unknown transformation function '{transformation}'. "
                                     "Valid options: log, sqrt, none")
    names = (snow not in (None, "cemaneige") and exact(ValueError, f"Unknown snow model '{snow}'")) or (
        hydro not in MODELS and exact(ValueError, f"Unknown hydro model '{hydro}'"))
    if expected:
        allowed = [expected]
    elif cls is Dds:  # this order is fixed
        r = float(v[4])
        allowed = [(not (math.isfinite(r) and 0 < r <= 1) and exact(
            ValueError, f"invalid algorithm parameter: neighborhood size r must be in (0, 1], got {fmt(r)}")) or (
            v[5] < 2 and exact(ValueError, f"invalid algorithm parameter: max_evaluations must be at least 2, got "
                                           f"{int(v[5])}")) or names or None]
    else:  # settings Sce cannot run with are refused, before or after the names
        unusable = v[4] == 0 or v[5] == 0 or v[4] >= 2**56
        allowed = [a for a in [(ValueError, "invalid algorithm parameter: .+")] * unusable + [names] if a] or [None]
    out, err = call(cls, args, *allowed)
    assert err or type(out) is cls


def forcing_outcomes(snow, transformation, v, is_init):
    p, t, e, d, z, m, o, w = v
    if is_init and not any(math.isfinite(x) for x in o[w:]):
        return [exact(ValueError, "no streamflow observations available in the calibration window "
                                  "(every timestep after warmup is missing)")]
    n, nt, nd = len(p), len(p) if t is None else len(t), len(p) if d is None else len(d)
    if (nt, len(e), nd) != (n, n, n):
        return [exact(ValueError, "precipitation, temperature, pet and day_of_year must have the same length "
                                  f"(got {n}, {nt}, {len(e)} and {nd})")]
    if snow and None in (t, d, z, m):
        return [exact(ValueError, "snow model requires temperature, day_of_year, elevation_bands, and "
                                  "median_elevation")]
    found = (snow_inputs(p, t, d, z) or scan([("pet", e)])) if snow else hydro_inputs(p, e)
    if found:
        return [(ValueError, found[1])]
    # Past the input checks any candidate may still overflow; then come the score's own checks.
    numerical, window = (ValueError, NUMERICAL.format(r"\w+")), o[w:]
    kept = [x for x in window if math.isfinite(x)]
    if len(window) != max(n - w, 0):
        return [numerical, exact(ValueError, "observations and simulations must have the same length "
                                             f"(got {len(window)} and {max(n - w, 0)})")]
    if not kept:
        return [numerical, exact(ValueError, "Empty input arrays")]
    negative = first(f"{i}" for i, x in enumerate(kept) if x < 0)
    if transformation == "sqrt" and negative:  # success only as the worst triple of a negative simulation
        return [numerical, None, exact(ValueError, f"NaN found in observations at index {negative}")]
    return [numerical, None]


@PROFILE
@given(data=st.data())
def test_calibrator_init_and_step(data):
    model, snow, noisy = data.draw(st.sampled_from(MODELS)), data.draw(st.sampled_from([None, "cemaneige"])), \
        data.draw(st.booleans())
    objective, tr = data.draw(st.sampled_from(["nse", "KGE", "Rmse", "\u212age"])), data.draw(
        st.sampled_from(["log", "SQRT", "none"]))
    seed, budget = data.draw(st.integers(0, 2**64 - 1)), data.draw(st.integers(2, 30))
    cal = Dds(model, snow, objective, tr, data.draw(st.floats(0.01, 1)), budget, seed) if data.draw(
        st.booleans()) else Sce(model, snow, objective, tr, 1, data.draw(st.integers(1, 3)), 0.1, 0.001, budget, seed)
    bounds = (vardex_rs.snow.cemaneige.init()[1].tolist() if snow else []) + getattr(
        vardex_rs.hydro, model).init()[1].tolist()
    n = data.draw(st.integers(0, 8))
    args, v, expected = draw_args(
        data, precipitation=array(st.floats(0, 50), n, noisy),
        temperature=array(st.floats(-30, 30), n, noisy, none_ok=True), pet=array(st.floats(0, 9), n, noisy),
        day_of_year=array(DOY, n, noisy, DOY_ANY, np.uint64, none_ok=True),
        elevation_bands=array(st.floats(0, 4000), data.draw(st.integers(1, 3)), noisy, none_ok=True),
        median_elevation=scalar(st.floats(0, 4000), noisy, none_ok=True),
        observations=array(st.one_of(st.floats(-1, 50), st.just(math.nan)), n, noisy),
        warmup_steps=count(st.one_of(st.integers(0, 9), U64) if noisy else st.integers(0, n), noisy))
    method = data.draw(st.sampled_from(["init", "step"]))
    out, err = call(getattr(cal, method), args, *[expected] if expected else forcing_outcomes(
        snow, tr.lower(), v, method == "init"))
    if err is None and method == "init":  # then one step on the same series
        out, err = call(cal.step, args, *forcing_outcomes(snow, tr.lower(), v, False))
    if err is None:
        done, best, simulation, triple = out
        assert type(done) is bool
        for a, size in ((best, len(bounds)), (simulation, len(v[0])), (triple, 3)):
            check_series(a, size, args)
        assert np.all(np.isfinite(simulation))
        assert all(lo <= x <= hi for x, (lo, hi) in zip(best.tolist(), bounds))
