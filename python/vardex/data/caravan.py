"""The Caravan reader (global large-sample data set, Kratzert et al. 2023, Sci. Data 10, 61), CSV variant::

    attributes/<source>/attributes_other_<source>.csv        gauge_id, gauge_name, gauge_lat, gauge_lon, area, ...
    attributes/<source>/attributes_hydroatlas_<source>.csv   gauge_id, ele_mt_sav (mean elevation, m), ...
    timeseries/csv/<source>/<gauge_id>.csv                   date, total_precipitation_sum, temperature_2m_mean,
                                                             potential_evaporation_sum, streamflow, ...

``<source>`` is the gauge id's prefix before the first ``_`` (``camels_01022500``: ``camels``). Fluxes are in
mm/day, temperatures in °C; an empty field is a missing value.
"""
from __future__ import annotations

import csv
import datetime
import io
import math
import re
from pathlib import Path
from typing import Iterator

import numpy as np

from vardex import _files
from vardex.data.catchment import Catchment, DataError, check, date_step, day_of_year, first_invalid, oudin, \
    problem

PET_CHOICES = ("oudin", "caravan")
_ID = re.compile(r"([A-Za-z0-9]+)_[A-Za-z0-9_-]+")
_ISO_DATE = re.compile(r"\d{4}-\d{2}-\d{2}")
# Catchment series by the Caravan column they are read from, and what each is checked as.
_COLUMNS = {"precipitation": ("total_precipitation_sum", "precipitation"),
            "temperature": ("temperature_2m_mean", "temperature"),
            "pet": ("potential_evaporation_sum", "pet"),
            "observed": ("streamflow", "streamflow")}


def load_caravan(gauge_id: str, data_dir: str | Path, pet: str = "oudin", *,
                 elevation: float | None = None) -> Catchment:
    """Read one Caravan catchment, e.g. ``load_caravan("camels_01022500", "/data/Caravan")``.

    ``pet="oudin"`` computes Oudin PET from the temperature and the gauge latitude (as for CAMELS);
    ``pet="caravan"`` takes the data set's ``potential_evaporation_sum``. The elevation the snow model needs is
    ``elevation`` when given, else ``ele_mt_sav`` of ``attributes_hydroatlas_<source>.csv`` when that file
    exists, else unknown (NaN: the catchment then runs without snow only). Where that file also has the lowest and
    highest elevation (``ele_mt_smn``, ``ele_mt_smx``), CemaNeige runs on five bands built from them
    (`hypsometric_bands`) instead of the mean −200, 0 and +200 m. ``forcing`` is recorded as
    ``"caravan"``, or ``"caravan_pet"`` with the data set's PET. Raises ``DataError`` naming file and line.
    """
    if pet not in PET_CHOICES:
        raise ValueError(f"pet must be one of {', '.join(PET_CHOICES)}, got {pet!r}")
    source = _source(gauge_id)
    root = Path(data_dir)
    if not root.is_dir():
        raise DataError(f"{root}: no such data directory")
    attributes = root / "attributes" / source
    other_path = _files.require(attributes / f"attributes_other_{source}.csv", DataError)
    other, where = _row(other_path, gauge_id, ("gauge_name", "gauge_lat", "area"))
    latitude = check("latitude", "gauge_lat", _number(other, "gauge_lat", where), where)
    area = check("area", "area", _number(other, "area", where, missing_ok=True), where, missing_ok=True)
    bands = None
    if elevation is not None:
        median_elevation = check("elevation", "elevation", float(elevation), "load_caravan")
    else:
        median_elevation = math.nan
        hydroatlas_path = attributes / f"attributes_hydroatlas_{source}.csv"
        if hydroatlas_path.exists():
            atlas, where = _row(hydroatlas_path, gauge_id, ("ele_mt_sav",))
            median_elevation = check("elevation", "ele_mt_sav", _number(atlas, "ele_mt_sav", where), where)
            if "ele_mt_smn" in atlas and "ele_mt_smx" in atlas:
                lowest = check("elevation", "ele_mt_smn", _number(atlas, "ele_mt_smn", where), where)
                highest = check("elevation", "ele_mt_smx", _number(atlas, "ele_mt_smx", where), where)
                if not lowest <= median_elevation <= highest:
                    raise DataError(f"{where}: ele_mt_smn {lowest:g}, ele_mt_sav {median_elevation:g} and "
                                    f"ele_mt_smx {highest:g} m are not in increasing order")
                bands = hypsometric_bands(lowest, median_elevation, highest)

    dates, series = _timeseries(_files.require(root / "timeseries" / "csv" / source / f"{gauge_id}.csv", DataError),
                                with_pet=pet == "caravan")
    doy = day_of_year(dates)
    return Catchment(gauge=gauge_id, name=other["gauge_name"].strip(), dates=dates, elevation_bands=bands,
                     precipitation=series["precipitation"], temperature=series["temperature"], day_of_year=doy,
                     observed=series["observed"],
                     pet=series["pet"] if pet == "caravan" else oudin(series["temperature"], doy, latitude),
                     latitude=latitude, median_elevation=median_elevation, area_km2=area,
                     forcing="caravan" if pet == "oudin" else "caravan_pet", source=str(root.resolve()))


def hypsometric_bands(lowest: float, mean: float, highest: float, count: int = 5) -> tuple[float, ...]:
    """CemaNeige's bands from a catchment's lowest, mean and highest elevation (m): the medians of ``count``
    equal-area zones of the elevation distribution that rises linearly from the lowest to the mean over half the
    area and from the mean to the highest over the other half (the mean taken as the median: the attributes
    give no more of the hypsometric curve)."""
    def at(share: float) -> float:
        if share <= 0.5:
            return lowest + share / 0.5 * (mean - lowest)
        return mean + (share - 0.5) / 0.5 * (highest - mean)

    return tuple(at((k + 0.5) / count) for k in range(count))


def caravan_gauges(data_dir: str | Path) -> list[str]:
    """The gauge ids of ``data_dir`` that have a time-series file."""
    root = Path(data_dir)
    if not root.is_dir():
        raise DataError(f"{root}: no such data directory")
    return sorted(p.stem for p in root.glob("timeseries/csv/*/*.csv")
                  if _ID.fullmatch(p.stem) and p.parent.name == p.stem.split("_")[0])


def _source(gauge_id: str) -> str:
    match = _ID.fullmatch(gauge_id) if isinstance(gauge_id, str) else None
    if match is None:
        raise ValueError(f"gauge_id must be a Caravan id such as 'camels_01022500', got {gauge_id!r}")
    return match.group(1)


def _number(row: dict[str, str], key: str, where: str, *, missing_ok: bool = False) -> float:
    text = row[key].strip()
    if not text and missing_ok:
        return math.nan
    try:
        return float(text)
    except ValueError:
        raise DataError(f"{where}: {key} is not a number ({row[key]!r})") from None


def _records(path: Path) -> Iterator[tuple[int, list[str]]]:
    """(the line a record starts on, its fields) of a CSV file; a malformed record is a DataError naming the
    line it starts on (a quote left open is reported where it opened, not at the end of the file)."""
    reader = csv.reader(io.StringIO(_files.read_text(path, DataError), newline=""), strict=True)
    while True:
        start = reader.line_num + 1
        try:
            fields = next(reader)
        except StopIteration:
            return
        except csv.Error as exc:
            hint = " (a quote opened on this line is never closed)" if "end of data" in str(exc) else ""
            raise DataError(f"{path}, line {start}: {exc}{hint}") from None
        yield start, fields


def _header(records: Iterator[tuple[int, list[str]]]) -> list[str]:
    return [h.strip() for h in next(records, (1, []))[1]]


def _row(path: Path, gauge_id: str, columns: tuple[str, ...]) -> tuple[dict[str, str], str]:
    """The row of ``gauge_id`` in an attribute table and where it is ("<path>, line <n>")."""
    records = _records(path)
    found: tuple[dict[str, str], str] | None = None
    header = _header(records)
    missing = [c for c in ("gauge_id",) + columns if c not in header]
    if missing:
        raise DataError(f"{path}, line 1: no column {', '.join(missing)}")
    at = header.index("gauge_id")
    for number, fields in records:
        if not fields:
            continue
        if len(fields) != len(header):
            raise DataError(f"{path}, line {number}: {len(fields)} fields, the header has {len(header)}")
        if fields[at].strip() != gauge_id:
            continue
        if found is not None:
            raise DataError(f"{path}, line {number}: gauge {gauge_id} again (first on {found[1]})")
        found = dict(zip(header, fields)), f"{path}, line {number}"
    if found is None:
        raise DataError(f"{path}: no row for gauge {gauge_id}")
    return found


def _timeseries(path: Path, with_pet: bool) -> tuple[np.ndarray, dict[str, np.ndarray]]:
    """Consecutive dates and the Catchment series of a time-series file; NaN where a field is empty."""
    wanted = {field: column for field, (column, _) in _COLUMNS.items() if with_pet or field != "pet"}
    records = _records(path)
    dates: list[datetime.date] = []
    lines: list[int] = []
    values: dict[str, list[float]] = {field: [] for field in wanted}
    header = _header(records)
    missing = [c for c in ("date", *wanted.values()) if c not in header]
    if missing:
        raise DataError(f"{path}, line 1: no column {', '.join(missing)}")
    at = {field: header.index(column) for field, column in wanted.items()}
    at_date = header.index("date")
    for number, fields in records:
        if not fields:
            continue
        if len(fields) != len(header):
            raise DataError(f"{path}, line {number}: {len(fields)} fields, the header has {len(header)}")
        date = _date(fields[at_date].strip(), path, number)
        if dates and date != dates[-1] + datetime.timedelta(days=1):
            raise DataError(f"{path}, line {number}: {date_step(dates[-1], date)}")
        dates.append(date)
        lines.append(number)
        for field, i in at.items():
            text = fields[i].strip()
            try:
                values[field].append(float(text) if text else math.nan)
            except ValueError:
                raise DataError(f"{path}, line {number}: {wanted[field]} is not a number ({text!r})") from None
    if not dates:
        raise DataError(f"{path}: no data rows")
    series = {field: np.array(v, dtype=np.float64) for field, v in values.items()}
    for field, array in series.items():
        column, kind = _COLUMNS[field]
        bad = first_invalid(kind, array, missing_ok=field == "observed")
        if bad is not None:
            raise DataError(f"{path}, line {lines[bad]}: {problem(kind, column, float(array[bad]))}")
    if np.isnan(series["observed"]).all():
        raise DataError(f"{path}: no streamflow value in any row")
    return np.array(dates, dtype="datetime64[D]"), series


def _date(text: str, path: Path, number: int) -> datetime.date:
    try:
        if _ISO_DATE.fullmatch(text):
            return datetime.date.fromisoformat(text)
    except ValueError:
        pass
    raise DataError(f"{path}, line {number}: invalid date {text!r} (expected YYYY-MM-DD)")
