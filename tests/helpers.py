"""Small helpers shared by the test modules."""
import numpy as np
import pytest

import vardex_rs

# Every rainfall-runoff model the module has, in its order.
MODELS = [k for k in vars(vardex_rs.hydro) if not k.startswith("__")]


def same_bits(a, b):
    """Equal dtype, shape and bit patterns (so -0.0 != 0.0 and NaN payloads count)."""
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def f64(*xs):
    return np.array(xs, dtype=np.float64)


def u64(*xs):
    return np.array(xs, dtype=np.uint64)


def flow_and_states(model, stores, params, p, e):
    """The model's streamflow and its recorded stores, checking that the stores are the expected ones."""
    import vardex

    s = vardex.model_states(model, params, p, e)
    assert list(s) == stores
    return getattr(vardex_rs.hydro, model).simulate(params, p, e), s


def assert_delayed_split(q, first, d, share):
    """Day 0's routed flow `first` reaches the outlet no earlier than day ceil(d) - 1, with `share` of it then."""
    k = int(np.ceil(d))
    assert np.all(q[:k - 1] == 0.0) and q[k - 1] == pytest.approx(share * first, rel=1e-8)
