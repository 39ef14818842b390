"""Daily fluxes and water balances, over every model that has a flux table: stores never below empty and the
balance closing at rounding level on real data, across the parameter box and its corners; same errors as simulate."""
import numpy as np
import pytest

import vardex
import vardex_rs

SIGNED_STATES = {("topmodel", "B")}  # TOPMODEL's storage index is a signed deficit by design
GAUGES = ["01022500", "03015500"]


def parameter_sets(model, n=10):
    lo, hi = getattr(vardex_rs.hydro, model).init()[1].T
    rng = np.random.default_rng([ord(c) for c in model])
    corners = [lo, hi] + [np.where(rng.random(lo.size) < 0.5, lo, hi) for _ in range(6)]
    return corners + [lo + rng.random(lo.size) * (hi - lo) for _ in range(n)]


@pytest.mark.parametrize("gauge", GAUGES)
@pytest.mark.parametrize("model", vardex.MODELS)
def test_stores_stay_non_negative_and_the_balance_closes(model, gauge):
    c = vardex.load_camels(gauge)
    simulate = getattr(vardex_rs.hydro, model).simulate
    for x in parameter_sets(model):
        q = simulate(x, c.precipitation, c.pet)
        states = vardex.model_states(model, x, c.precipitation, c.pet)
        fluxes = vardex.model_fluxes(model, x, c.precipitation, c.pet)
        balance = vardex.water_balance(model, x, c.precipitation, c.pet)
        for name, v in states.items():
            if (model, name) not in SIGNED_STATES:
                assert v.min() >= -1e-9 * max(1.0, np.abs(v).max()), (name, x)
        assert "actual_evaporation" in fluxes and all(v.shape == q.shape for v in fluxes.values())
        terms = [k for k in balance if k not in ("precipitation", "actual_evaporation", "streamflow",
                                                   "storage_change", "residual")]
        assert list(balance) == ["precipitation", "actual_evaporation", "streamflow", *terms,
                                 "storage_change", "residual"]
        # Totals are running sums in day order, of simulate's own output and of the daily fluxes.
        assert balance["streamflow"] == np.cumsum(q)[-1]
        for name in ["actual_evaporation", *terms]:
            assert balance[name] == np.cumsum(fluxes[name])[-1]
        for name in set(fluxes) - set(terms):  # evaporation and runoff components are amounts
            assert fluxes[name].min() >= -1e-12 * max(1.0, fluxes[name].max()), (name, x)
        scale = sum(abs(v) for k, v in balance.items() if k != "residual")
        assert abs(balance["residual"]) <= 1e-9 * scale, (x, balance)


@pytest.mark.parametrize("model", vardex.MODELS)
def test_fluxes_raise_what_simulate_raises(model):
    module = getattr(vardex_rs.hydro, model)
    defaults, _ = module.init()
    ok = np.ones(4)
    for args in [(defaults[:-1], ok, ok), (defaults, ok, np.ones(3)), (defaults, ok, np.array([1.0, -1.0, 1, 1]))]:
        with pytest.raises(vardex_rs.VardexValidationError) as expected:
            module.simulate(*args)
        for fn in (vardex.model_fluxes, vardex.water_balance):
            with pytest.raises(vardex_rs.VardexValidationError) as got:
                fn(model, *args)
            assert str(got.value) == str(expected.value)
    assert list(vardex.model_fluxes(model.upper(), defaults, ok, ok)) == list(vardex.model_fluxes(model, defaults,
                                                                                                ok, ok))
    with pytest.raises(vardex_rs.VardexValidationError, match="^Unknown hydro model 'GR5J'. Valid models: gr4j, "):
        vardex.water_balance("GR5J", defaults, ok, ok)
    with pytest.raises(TypeError):
        vardex.water_balance(None, defaults, ok, ok)  # type: ignore[arg-type]


def test_water_that_overflows_before_the_outlet_is_an_error_not_a_nan_balance():
    model, x, rain = "topmodel", np.array([100, 0.1, 10, 2.5, 200, 10, 0.0]), np.array([1000.0, 0.0])
    module = vardex_rs.hydro.topmodel
    pet = np.zeros_like(rain)
    assert np.all(module.simulate(x, rain, pet) == 0.0)   # simulate's outlet clamp: no flow, no error
    for fn in (vardex.model_fluxes, vardex.water_balance):
        with pytest.raises(vardex_rs.VardexNumericalError, match="non-finite value"):
            fn(model, x, rain, pet)


@pytest.mark.parametrize("model", vardex.MODELS)
@pytest.mark.parametrize("rain, pet", [
    (np.full(2, 1.7e308), np.zeros(2)),                        # totals overflow
    (np.full(30, 5.0), np.full(30, 1e300)),                    # evaporation demand beyond any store
    (np.array([1e300, 0.0, 1e300, 0.0]), np.ones(4)),
])
def test_a_balance_is_finite_and_closes_or_raises(model, rain, pet):
    defaults, _ = getattr(vardex_rs.hydro, model).init()
    try:
        balance = vardex.water_balance(model, defaults, rain, pet)
    except vardex_rs.VardexNumericalError as err:
        assert "water balance" in str(err) or "non-finite" in str(err)
        return
    assert all(np.isfinite(v) for v in balance.values()), balance
    scale = sum(abs(v) for k, v in balance.items() if k != "residual")
    assert abs(balance["residual"]) <= 1e-9 * scale, balance
