"""Forgiving conversions for the vardex layer: the compiled surface takes float64 and uint64 NumPy arrays only;
here lists, pandas Series, float32 or integer arrays and NumPy scalars are converted, and a conversion that would
lose information is refused with an error naming the argument."""
from __future__ import annotations

import math
import operator
from typing import Any

import numpy as np
import numpy.typing as npt


def series(value: Any, name: str) -> npt.NDArray[np.float64]:
    """A 1-D float64 array from any 1-D sequence of real numbers."""
    if isinstance(value, (str, bytes)):
        raise TypeError(f"argument '{name}': expected a sequence of numbers, got {type(value).__name__}")
    values = getattr(value, "to_numpy", None)
    arr = np.asarray(values() if callable(values) else value)
    if arr.dtype == np.bool_ or arr.dtype.kind not in "fiu":
        raise TypeError(f"argument '{name}': expected real numbers, got an array of {arr.dtype}")
    if arr.ndim != 1:
        raise TypeError(f"argument '{name}': expected a one-dimensional sequence, got {arr.ndim} dimensions")
    out = arr.astype(np.float64)
    if arr.dtype.kind in "iu" and not np.array_equal(out.astype(arr.dtype), arr):
        raise ValueError(f"argument '{name}': integers too large to be exact as float64")
    return out


def days(value: Any, name: str = "day_of_year") -> npt.NDArray[np.uint64]:
    """A uint64 day-of-year array from integers or integral floats; NaN, fractions, values below 0
    and what uint64 cannot hold are refused (the range 1..366 is checked by the model)."""
    values = getattr(value, "to_numpy", None)
    raw = values() if callable(values) else value
    if isinstance(raw, (list, tuple)) and raw and all(
            isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_)) for v in raw):
        numbers = [int(v) for v in raw]    # NumPy would make float64 of large Python ints
        outside = next((i for i, v in enumerate(numbers) if not 0 <= v < 2**64), None)
        if outside is not None:
            raise ValueError(f"argument '{name}': {numbers[outside]} at index {outside} is not a day number")
        return np.array(numbers, dtype=np.uint64)
    ints = np.asarray(raw)
    if ints.ndim == 1 and ints.dtype.kind in "iu":
        # Integers go straight to uint64: through float64 a large day number would be refused as inexact
        # instead of reaching the model's range check.
        negative = np.flatnonzero(ints < 0)
        if negative.size:
            raise ValueError(f"argument '{name}': {int(ints[negative[0]])} at index {int(negative[0])} "
                             "is not a day number")
        return ints.astype(np.uint64)
    arr = series(value, name)
    if np.isnan(arr).any():
        raise ValueError(f"argument '{name}': NaN at index {int(np.flatnonzero(np.isnan(arr))[0])}")
    bad = np.flatnonzero((arr != np.floor(arr)) | (arr < 0) | ~(arr < 2.0**64))    # uint64 holds below 2**64
    if bad.size:
        raise ValueError(f"argument '{name}': {float(arr[bad[0]])!r} at index {int(bad[0])} is not a day number")
    return arr.astype(np.uint64)


# The largest count anything takes (the calibrators' unsigned 64-bit integers).
U64_MAX = 2**64 - 1


def count(value: Any, name: str, minimum: int = 0, maximum: int = U64_MAX) -> int:
    """A whole number in [minimum, maximum]: an int, a NumPy integer or an integral float (2.0), never a bool, a
    fraction or a text."""
    number: int | None = None
    if not isinstance(value, (bool, np.bool_)):
        if isinstance(value, (float, np.floating)):
            if math.isfinite(value) and float(value).is_integer():
                number = int(value)
        else:
            try:
                number = operator.index(value)
            except TypeError:
                pass
    if number is None:
        raise TypeError(f"{name} must be a whole number, got {value!r}")
    if not minimum <= number <= maximum:
        raise ValueError(f"{name} must be an integer in [{minimum}, {maximum}], got {number}")
    return number


def scalar(value: Any, name: str) -> float:
    try:
        return float(value)
    except OverflowError:
        raise ValueError(f"argument '{name}': {value} is too large for a float") from None
    except (TypeError, ValueError):
        raise TypeError(f"argument '{name}': expected a number, got {type(value).__name__}") from None
