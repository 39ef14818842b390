"""What every rainfall-runoff model shares, over the whole registry: the init() contract, runs on real forcing
across the parameter box, daily states, and calibration by name."""
import numpy as np
import pytest

import vardex
import vardex_rs
from helpers import MODELS
from vardex_rs.calibration.dds import Dds
from vardex_rs.calibration.sce import Sce

parametrize_models = pytest.mark.parametrize("name", MODELS)


@pytest.fixture(scope="module")
def forcing_01022500():
    c = vardex.load_camels("01022500")
    return c.precipitation, c.pet, c.observed


@parametrize_models
def test_init_contract(name):
    module = getattr(vardex_rs.hydro, name)
    n = len(module.param_names)
    defaults, bounds = module.init()
    assert defaults.dtype == bounds.dtype == np.float64
    assert defaults.shape == (n,) and bounds.shape == (n, 2)
    assert np.all(np.isfinite(bounds)) and np.all(bounds[:, 0] < bounds[:, 1])
    np.testing.assert_array_equal(defaults, (bounds[:, 0] + bounds[:, 1]) * 0.5)
    assert module.param_names == [f"x{i}" for i in range(1, n + 1)]
    for texts in (module.param_descriptions, module.param_descriptions_fr):
        assert type(texts) is list and len(texts) == n
        assert all(isinstance(t, str) and t for t in texts)
    assert module.param_descriptions != module.param_descriptions_fr
    # Both corners of the box are valid parameter sets.
    for corner in (bounds[:, 0].copy(), bounds[:, 1].copy()):
        module.simulate(corner, np.ones(3), np.ones(3))


@parametrize_models
@pytest.mark.parametrize("where", ["defaults", "lower", "upper"])
def test_real_forcing_across_the_box(name, where, forcing_01022500):
    p, pet, _ = forcing_01022500
    defaults, bounds = getattr(vardex_rs.hydro, name).init()
    params = {"defaults": defaults, "lower": bounds[:, 0].copy(), "upper": bounds[:, 1].copy()}[where]
    q = getattr(vardex_rs.hydro, name).simulate(params, p, pet)
    assert q.shape == p.shape and q.dtype == np.float64
    assert np.all(np.isfinite(q)) and np.all(q >= 0.0)


@parametrize_models
def test_a_run_does_not_depend_on_the_days_after_it(name, forcing_01022500):
    # A short run may skip work only a longer one needs (a unit hydrograph longer than the run is not built
    # in full): it must still be the first days of the longer run, bit for bit.
    p, pet, _ = forcing_01022500
    module = getattr(vardex_rs.hydro, name)
    defaults, bounds = module.init()
    for params in (defaults, bounds[:, 0].copy(), bounds[:, 1].copy()):
        whole = module.simulate(params, p[300:360], pet[300:360])
        for n in (1, 2, 3, 7, 19):
            assert module.simulate(params, p[300:300 + n], pet[300:300 + n]).tobytes() == whole[:n].tobytes()


@parametrize_models
def test_states_follow_simulate(name, forcing_01022500):
    p, pet, _ = forcing_01022500
    p, pet = p[:800], pet[:800]
    defaults, _ = getattr(vardex_rs.hydro, name).init()
    states = vardex.model_states(name, defaults, p, pet)
    assert states and all(k and isinstance(k, str) for k in states)
    for values in states.values():
        assert values.shape == p.shape and values.dtype == np.float64 and np.all(np.isfinite(values))
    # Recording leaves the simulation alone: the same call twice gives the same stores, and a longer run
    # starts with the same days.
    again = vardex.model_states(name, defaults, p[:100], pet[:100])
    for k in states:
        np.testing.assert_array_equal(states[k][:100], again[k])


@parametrize_models
def test_states_raise_what_simulate_raises(name):
    module = getattr(vardex_rs.hydro, name)
    defaults, _ = module.init()
    ok = np.ones(4)
    cases = [(defaults[:-1], ok, ok), (defaults, ok, np.ones(3)), (defaults, np.array([1.0, np.nan, 1, 1]), ok),
             (defaults, ok, np.array([1.0, -1.0, 1, 1])), (defaults, np.ones(0), np.ones(0))]
    for args in cases:
        with pytest.raises(vardex_rs.VardexValidationError) as expected:
            module.simulate(*args)
        with pytest.raises(vardex_rs.VardexValidationError) as got:
            vardex.model_states(name, *args)
        assert str(got.value) == str(expected.value)
    # Unlike simulate, the states take any sequence of numbers.
    listed = vardex.model_states(name, list(defaults), ok, [1.0, 1.0, 1.0, 1.0])
    for k, v in vardex.model_states(name, defaults, ok, np.ones(4)).items():
        np.testing.assert_array_equal(listed[k], v)


def test_states_of_a_model_named_in_any_case_and_of_an_unknown_one():
    x = vardex_rs.hydro.gr4j.init()[0]
    upper, lower = (vardex.model_states(name, x, np.ones(2), np.ones(2)) for name in ("GR4J", "gr4j"))
    assert list(upper) == list(lower) and all(np.array_equal(upper[k], lower[k]) for k in lower)
    with pytest.raises(vardex_rs.VardexValidationError, match="^Unknown hydro model 'GR5J'. Valid models: gr4j, "):
        vardex.model_states("GR5J", np.ones(4), np.ones(2), np.ones(2))


@parametrize_models
def test_calibrated_by_name(name, forcing_01022500):
    p, pet, obs = forcing_01022500
    f = (p[:730], None, pet[:730], None, None, None, obs[:730], 365)
    _, bounds = getattr(vardex_rs.hydro, name).init()
    for calibrator in (Sce(name, None, "nse", "none", 2, 3, 0.1, 0.001, 300, 7),
                       Dds(name, None, "kge", "sqrt", 0.2, 60, 7)):
        calibrator.init(*f)
        for _ in range(3):
            done, params, simulation, triple = calibrator.step(*f)
        assert params.shape == (len(bounds),) and np.all(params >= bounds[:, 0]) and np.all(params <= bounds[:, 1])
        assert simulation.shape == (730,) and len(triple) == 3
        assert np.isfinite(triple[0]) and triple[1] <= 1.0 and triple[2] <= 1.0


def test_readme_lists_every_model():
    import subprocess
    import sys
    from pathlib import Path

    script = Path(__file__).resolve().parent.parent / "tools" / "readme_models.py"
    assert subprocess.run([sys.executable, str(script), "--check"]).returncode == 0, \
        "README's model table is stale: run python tools/readme_models.py"


def test_type_stubs_are_current():
    import subprocess
    import sys
    from pathlib import Path

    script = Path(__file__).resolve().parent.parent / "tools" / "make_stubs.py"
    assert subprocess.run([sys.executable, str(script), "--check"]).returncode == 0, \
        "python/vardex_rs-stubs is stale: run python tools/make_stubs.py"
