"""Periods of a record and the rule by which one is simulated and scored.

A period is a pair of inclusive dates. It is scored on its own days only, on the days with an observation, and
simulated from ``warmup`` days before its first day (from the record's first day when fewer precede it, with a
`WarmupWarning`). With a spin-up of k, the warm-up days are run k more times in front of that, so that slow
stores settle; those repetitions are never scored and never returned.
"""
from __future__ import annotations

import datetime
import warnings
from dataclasses import dataclass
from typing import Any, Sequence, Union

import numpy as np

__all__ = ["Period", "Window", "WarmupWarning", "bounds", "window", "period_window", "whole_record", "parse_period",
           "overlap_message"]

Date = Union[str, np.datetime64, datetime.date]
Period = tuple[Date, Date]



class WarmupWarning(UserWarning):
    """Fewer days than the warm-up asked for precede a period."""


@dataclass(frozen=True)
class Window:
    """Where a period sits in a record (day indices): simulated over [start, stop), scored over [first, stop),
    the days [start, first) run ``spinup`` extra times in front."""

    start: int
    first: int
    stop: int
    spinup: int = 0

    @property
    def warmup(self) -> int:
        """Days simulated before the period's first day, spin-up repetitions not counted."""
        return self.first - self.start

    @property
    def repeated(self) -> int:
        """Days of spin-up in front of the window."""
        return self.spinup * self.warmup

    def dates(self, dates: np.ndarray) -> tuple[np.datetime64, np.datetime64]:
        """The period's first and last day."""
        return dates[self.first], dates[self.stop - 1]

    def observed(self, dates: np.ndarray, observed: np.ndarray) -> tuple[np.datetime64, np.datetime64] | None:
        """The first and last day of the period with an observation (None without any)."""
        days = np.flatnonzero(np.isfinite(observed[self.first:self.stop]))
        if not days.size:
            return None
        return dates[self.first + int(days[0])], dates[self.first + int(days[-1])]

    def series(self, values: np.ndarray) -> np.ndarray:
        """``values`` over the window, the warm-up days repeated ``spinup`` times in front."""
        part = values[self.start:self.stop]
        if not self.repeated:
            return part
        return np.concatenate([values[self.start:self.first]] * self.spinup + [part])

    def observations(self, observed: np.ndarray) -> np.ndarray:
        """``observed`` laid out like `series`, missing (NaN) over the spin-up days."""
        part = observed[self.start:self.stop]
        return np.concatenate([np.full(self.repeated, np.nan), part]) if self.repeated else part


def _day(value: Any, last: bool, name: str) -> np.datetime64:
    """One day from a date, a datetime64 or an ISO text; a year or a month stands for its first day (its last
    when ``last``)."""
    try:
        if isinstance(value, datetime.datetime):
            value = value.date()
        day = np.datetime64(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name}: cannot read {value!r} as a date (expected YYYY-MM-DD)") from None
    if np.isnat(day):
        raise ValueError(f"{name}: cannot read {value!r} as a date (expected YYYY-MM-DD)")
    if last and np.datetime_data(day.dtype)[0] in ("Y", "M"):
        return np.datetime64((day + 1).astype("datetime64[D]") - np.timedelta64(1, "D"))
    return np.datetime64(day.astype("datetime64[D]"))


def bounds(period: Any, name: str = "period") -> tuple[np.datetime64, np.datetime64]:
    """The first and last day of ``period``, a (start, end) pair of dates."""
    if isinstance(period, (str, bytes)) or not isinstance(period, Sequence) or len(period) != 2:
        raise TypeError(f"{name} must be a (start, end) pair of dates, got {period!r}")
    begin, end = _day(period[0], False, name), _day(period[1], True, name)
    if end < begin:
        raise ValueError(f"{name} {begin}:{end} ends before it starts")
    return begin, end


def _bounds(dates: np.ndarray, period: Any, name: str) -> tuple[int, int]:
    """[first, stop) day indices of ``period`` in ``dates``."""
    begin, end = bounds(period, name)
    if len(dates) == 0 or begin < dates[0] or end > dates[-1]:
        extent = f"{dates[0]} to {dates[-1]}" if len(dates) else "empty"
        raise ValueError(f"{name} {begin}:{end} is not within the record ({extent})")
    first, last = int(np.searchsorted(dates, begin)), int(np.searchsorted(dates, end))
    if dates[first] != begin or dates[last] != end:
        raise ValueError(f"{name} {begin}:{end}: the record has no row for one of these dates")
    return first, last + 1


def window(dates: np.ndarray, period: Any, warmup: int, spinup: int = 0, name: str = "period") -> Window:
    """The window of ``period`` (inclusive dates) in a record of ``dates``; warns when fewer than ``warmup``
    days precede it."""
    first, stop = _bounds(dates, period, name)
    start = max(first - warmup, 0)
    if first - start < warmup:
        warnings.warn(f"{name} starts {first} days after the record's first day ({dates[0]}): simulated from "
                      f"there, with {first} days of warm-up instead of {warmup}", WarmupWarning, stacklevel=4)
    return Window(start, first, stop, spinup)


def period_window(dates: np.ndarray, period: Any, warmup: int, spinup: int = 0, name: str = "period") -> Window:
    """The window of ``period`` in a record of ``dates``; ``None`` is the whole record after the warm-up."""
    if period is None:
        return whole_record(len(dates), warmup, spinup)
    return window(dates, period, warmup, spinup, name)


def whole_record(length: int, warmup: int, spinup: int = 0) -> Window:
    """The default period: everything after the first ``warmup`` days."""
    if not 0 <= warmup < length:
        raise ValueError(f"warmup must be in [0, {length}) for this catchment, got {warmup}")
    return Window(0, warmup, length, spinup)


def parse_period(text: str) -> tuple[str, str]:
    """``"START:END"`` (the command line's form) as a (start, end) pair."""
    start, sep, end = text.partition(":")
    if not sep or not start or not end or ":" in end:
        raise ValueError(f"expected START:END (e.g. 1990-10-01:2000-09-30), got {text!r}")
    return start.strip(), end.strip()


def overlap_message(calibration: tuple[Any, Any], validation: tuple[Any, Any]) -> str:
    """Why a validation period may not overlap the calibration period."""
    return (f"the validation period {validation[0]}:{validation[1]} overlaps the calibration period "
            f"{calibration[0]}:{calibration[1]}: a validation scores days the calibration did not see")
