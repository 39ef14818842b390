"""The catchment record every workflow takes, the checks every reader applies to it, and the user's own data."""
from __future__ import annotations

import hashlib
import math
import warnings
from dataclasses import dataclass
from typing import Any, Mapping, NamedTuple

import numpy as np
import numpy.typing as npt

from vardex import _convert
from vardex._optional import optional_import


class DataError(ValueError):
    """Catchment data are missing or malformed; the message names the file and line (or the array and date)."""


class Limit(NamedTuple):
    low: float
    high: float
    unit: str
    above: bool = False     # ``low`` itself is excluded


# What a value read from a catchment's data may be. Values outside are errors in the data (or in its units),
# never a catchment the models should be run on.
LIMITS: dict[str, Limit] = {
    "latitude": Limit(-90.0, 90.0, "degrees"),
    "elevation": Limit(-500.0, 9000.0, "m"),            # below the Dead Sea shore to above Everest
    "area": Limit(0.0, math.inf, "km²", above=True),
    "temperature": Limit(-100.0, 100.0, "°C"),          # the snow and PET models' own input bound
    "precipitation": Limit(0.0, 2000.0, "mm/day"),      # the highest daily rainfall on record is 1825 mm
    "pet": Limit(0.0, 100.0, "mm/day"),
    "streamflow": Limit(0.0, math.inf, "mm/day"),
}


def first_invalid(kind: str, values: npt.ArrayLike, *, missing_ok: bool = False) -> int | None:
    """The index of the first value outside ``LIMITS[kind]`` or not finite (NaN passes with ``missing_ok``)."""
    low, high, _, above = LIMITS[kind]
    v = np.atleast_1d(np.asarray(values, dtype=np.float64))
    with np.errstate(invalid="ignore"):
        ok = np.isfinite(v) & ((v > low) if above else (v >= low)) & (v <= high)
    if missing_ok:
        ok |= np.isnan(v)
    return None if ok.all() else int(np.argmin(ok))


def problem(kind: str, label: str, value: float) -> str:
    """Why ``value`` is not a valid ``kind``, for a message (``first_invalid`` says that it is not)."""
    low, high, unit, above = LIMITS[kind]
    if math.isnan(value):
        return f"{label} is missing"
    if not math.isfinite(value):
        return f"{label} is not finite ({value})"
    if above and value <= low:
        return f"{label} {value:g} is not above {low:g} {unit}"
    return f"{label} {value:g} is outside [{low:g}, {high:g}] {unit}"


def check(kind: str, label: str, value: float, where: str, *, missing_ok: bool = False) -> float:
    """``value`` if it is a valid ``kind``, else a ``DataError`` starting with ``where``."""
    if first_invalid(kind, value, missing_ok=missing_ok) is not None:
        raise DataError(f"{where}: {problem(kind, label, value)}")
    return value


def date_step(previous: Any, current: Any) -> str:
    """Why ``current`` cannot follow ``previous`` in a daily series (dates or datetime64[D])."""
    previous, current = np.datetime64(previous, "D"), np.datetime64(current, "D")
    if current == previous:
        return f"{current} repeats the previous date"
    if current < previous:
        return f"{current} goes back from {previous}"
    return f"{current} does not follow {previous} (first missing date {previous + 1})"


def day_of_year(dates: npt.NDArray[np.datetime64]) -> npt.NDArray[np.uint64]:
    doy: npt.NDArray[np.uint64] = ((dates - dates.astype("datetime64[Y]")).astype(np.int64) + 1).astype(np.uint64)
    return doy


def oudin(temperature: npt.NDArray[np.float64], doy: npt.NDArray[np.uint64],
          latitude: float) -> npt.NDArray[np.float64]:
    import vardex_rs

    pet: npt.NDArray[np.float64] = vardex_rs.pet.oudin.simulate(temperature, doy, latitude)
    return pet


# Caravan "product" -> load_caravan's pet argument.
CARAVAN_PRODUCTS = {"caravan": "oudin", "caravan_pet": "caravan"}


def check_product(product: object) -> str:
    """A forcing product name, checked: letters and digits (a CAMELS product) or a Caravan product."""
    if isinstance(product, str):
        name = product.strip().lower()     # products are named in lower case, taken in any
        if (name.isascii() and name.isalnum()) or name in CARAVAN_PRODUCTS:
            return name
    raise ValueError(f"forcing must be a product name such as 'daymet' or 'caravan', got {product!r}")


# The series of a Catchment in to_pandas / from_dataframe, by field.
_FRAME_COLUMNS = {"precipitation": "precipitation", "temperature": "temperature", "observed": "streamflow",
                  "pet": "pet"}


@dataclass(frozen=True)
class Catchment:
    """One catchment's daily series and attributes, ready for the models.

    All series have one value per day of ``dates``; fluxes are in mm/day, temperatures in °C. The readers and
    ``from_arrays`` / ``from_dataframe`` check what they build; the plain constructor trusts its caller.
    """

    gauge: str
    name: str
    dates: np.ndarray           # datetime64[D], consecutive days
    precipitation: np.ndarray   # float64, mm/day
    temperature: np.ndarray     # float64, daily mean air temperature
    day_of_year: np.ndarray     # uint64, 1 ... 366
    observed: np.ndarray        # float64, streamflow in mm/day, NaN where missing
    pet: np.ndarray             # float64, mm/day
    latitude: float             # degrees
    median_elevation: float     # m; NaN when unknown (then the snow model cannot be used)
    area_km2: float             # NaN when unknown
    forcing: str = ""           # what the series come from: "daymet", "caravan", "own", ...
    source: str = ""            # where they were read: the data directory, "" when built in memory (see origin)
    # CemaNeige's elevation bands (m) from the data's own hypsometry; None: around the median elevation.
    elevation_bands: tuple[float, ...] | None = None

    def __len__(self) -> int:
        return len(self.dates)

    @property
    def origin(self) -> str:
        """What identifies these data: the data directory they were read from, or, for a catchment built in
        memory, ``memory:`` and a fingerprint of its series and attributes (two different own data sets never
        share it, the same data always do)."""
        if self.source:
            return self.source
        digest = hashlib.sha256()
        for text in (self.gauge, self.name, self.forcing):
            digest.update(text.encode("utf-8", "surrogatepass") + b"\0")
        for number in (self.latitude, self.median_elevation, self.area_km2):
            digest.update(np.float64(number).tobytes())
        for values in (self.dates.astype("datetime64[D]").astype(np.int64), self.precipitation, self.temperature,
                       self.day_of_year, self.observed, self.pet):
            array = np.ascontiguousarray(values)
            digest.update(str(array.dtype).encode() + len(array).to_bytes(8, "little") + array.tobytes())
        if self.elevation_bands is not None:    # (absent from the fingerprints of catchments without)
            digest.update(b"bands" + np.asarray(self.elevation_bands, dtype=np.float64).tobytes())
        return "memory:" + digest.hexdigest()[:32]

    def elevation_for_snow(self) -> float:
        """The median elevation the snow model's layers are placed around; a ``DataError`` when unknown."""
        if not math.isfinite(self.median_elevation):
            raise DataError(f"catchment {self.gauge}: its elevation is unknown and the snow model needs it; "
                            "give elevation= when loading it, or run without snow")
        return self.median_elevation

    @classmethod
    def from_arrays(cls, dates: npt.ArrayLike, precipitation: npt.ArrayLike, temperature: npt.ArrayLike,
                    observed: npt.ArrayLike, *, latitude: float, elevation: float, gauge: str = "custom",
                    name: str = "", pet: npt.ArrayLike | None = None, area_km2: float = math.nan,
                    elevation_bands: npt.ArrayLike | None = None) -> Catchment:
        """A catchment from one's own daily series (mm/day, °C), Oudin PET computed unless ``pet`` is given.

        ``dates`` must be consecutive days (anything ``numpy.datetime64`` reads: ISO strings, dates, midnight
        timestamps). Forcing must be finite and physically possible; ``observed`` may hold NaN for missing days.
        ``elevation`` (m) may be NaN when unknown, if the snow model is not used; ``elevation_bands`` (m), the
        catchment's own CemaNeige bands, stand in for the median elevation −200, 0, +200 m. Raises ``DataError``
        naming the array and the date of the first fault.
        """
        if not isinstance(gauge, str) or not gauge or not gauge.isprintable():
            raise DataError(f"gauge must be a non-empty name without line breaks, got {gauge!r}")
        if not isinstance(name, str) or not name.isprintable():
            raise DataError(f"name must be text without line breaks, got {name!r}")
        days = _days(dates)
        series = {"precipitation": precipitation, "temperature": temperature, "streamflow": observed}
        if pet is not None:
            series["pet"] = pet
        values = {}
        for label, raw in series.items():
            values[label] = _convert.series(raw, label)
            if len(values[label]) != len(days):
                raise DataError(f"{label} has {len(values[label])} values, dates has {len(days)}")
            bad = first_invalid(label, values[label], missing_ok=label == "streamflow")
            if bad is not None:
                raise DataError(f"{label} on {days[bad]} (index {bad}): "
                                f"{problem(label, label, float(values[label][bad]))}")
        latitude = check("latitude", "latitude", _convert.scalar(latitude, "latitude"), "from_arrays")
        elevation = check("elevation", "elevation", _convert.scalar(elevation, "elevation"), "from_arrays",
                          missing_ok=True)
        area_km2 = check("area", "area_km2", _convert.scalar(area_km2, "area_km2"), "from_arrays",
                         missing_ok=True)
        bands = None
        if elevation_bands is not None:
            bands = tuple(check("elevation", "elevation_bands", float(v), "from_arrays")
                          for v in _convert.series(elevation_bands, "elevation_bands"))
            if not bands:
                raise DataError("elevation_bands must hold one or more elevations (m)")
        doy = day_of_year(days)
        return cls(gauge=gauge, name=name, dates=days, elevation_bands=bands, precipitation=values["precipitation"],
                   temperature=values["temperature"], day_of_year=doy, observed=values["streamflow"],
                   pet=values["pet"] if pet is not None else oudin(values["temperature"], doy, latitude),
                   latitude=latitude, median_elevation=elevation, area_km2=area_km2, forcing="own")

    @classmethod
    def from_dataframe(cls, df: Any, *, latitude: float, elevation: float, columns: Mapping[str, str] | None = None,
                       gauge: str = "custom", name: str = "", area_km2: float = math.nan) -> Catchment:
        """``from_arrays`` on a pandas DataFrame with a DatetimeIndex of days.

        ``columns`` maps ``precipitation``, ``temperature``, ``streamflow`` and ``pet`` to the frame's column
        names where they differ; ``pet`` is used when the frame has that column, else Oudin PET is computed.
        """
        names = {role: role for role in _FRAME_COLUMNS.values()}
        unknown = set(columns or {}) - set(names)
        if unknown:
            raise ValueError(f"columns: unknown {', '.join(sorted(unknown))}; the keys are "
                             f"{', '.join(names)}")
        names.update(columns or {})
        index = getattr(df, "index", None)
        if type(index).__name__ != "DatetimeIndex":
            raise DataError(f"the DataFrame needs a DatetimeIndex of days, it has {type(index).__name__}")
        assert index is not None
        if index.tz is not None:
            index = index.tz_localize(None)     # the days as the data's own clock reads them
        required = [names[role] for role in ("precipitation", "temperature", "streamflow")]
        wanted = required + ([names["pet"]] if columns and "pet" in columns else [])
        absent = [column for column in wanted if column not in df.columns]
        if absent:
            raise DataError(f"the DataFrame has no column {', '.join(map(repr, absent))} "
                            f"(it has {', '.join(map(repr, map(str, df.columns)))})")
        pet = df[names["pet"]] if names["pet"] in df.columns else None
        return cls.from_arrays(index.to_numpy(), *(df[column] for column in required), latitude=latitude,
                               elevation=elevation, gauge=gauge, name=name, pet=pet, area_km2=area_km2)

    def to_pandas(self) -> Any:
        """The series as a pandas DataFrame indexed by date (the columns ``from_dataframe`` reads); the
        attributes in its ``attrs``."""
        pd = optional_import("pandas", "to_pandas", "pandas")
        frame = pd.DataFrame({column: getattr(self, field) for field, column in _FRAME_COLUMNS.items()},
                             index=pd.DatetimeIndex(self.dates.astype("datetime64[ns]"), name="date"))
        frame.attrs.update(gauge=self.gauge, name=self.name, latitude=self.latitude,
                           elevation=self.median_elevation, area_km2=self.area_km2, forcing=self.forcing,
                           source=self.source)
        return frame


def _days(dates: npt.ArrayLike) -> npt.NDArray[np.datetime64]:
    """Consecutive whole days as datetime64[D]."""
    # One rule for texts, objects and datetime64: read each at its own resolution, then it must be a whole day.
    # A time zone is refused: NumPy would shift the day to UTC.
    try:
        raw = np.asarray(dates)
        if raw.dtype.kind not in "MUSO":
            raise TypeError(f"got an array of {raw.dtype}")
        if raw.dtype.kind != "M":
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                raw = raw.astype("datetime64")
        days = raw.astype("datetime64[D]")
        exact = bool((days.astype(raw.dtype) == raw).all())
    except (TypeError, ValueError, Warning) as exc:
        raise DataError(f"dates: not readable as dates without a time zone ({exc})") from None
    if days.ndim != 1 or len(days) == 0:
        raise DataError("dates must be a non-empty one-dimensional sequence")
    if np.isnat(days).any():
        raise DataError(f"dates: index {int(np.argmax(np.isnat(days)))} is not a date")
    if not exact:
        raise DataError("dates must be whole days (midnight), one per day")
    steps = np.flatnonzero(np.diff(days).astype(np.int64) != 1)
    if len(steps):
        i = int(steps[0])
        raise DataError(f"dates, index {i + 1}: {date_step(days[i], days[i + 1])}")
    return days
