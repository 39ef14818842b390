"""Small helpers shared by the test modules."""
import numpy as np


def same_bits(a, b):
    """Equal dtype, shape and bit patterns (so -0.0 != 0.0 and NaN payloads count)."""
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def f64(*xs):
    return np.array(xs, dtype=np.float64)


def u64(*xs):
    return np.array(xs, dtype=np.uint64)
