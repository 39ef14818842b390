"""The CAMELS reader (US catchments: Daymet, Maurer or NLDAS forcing, USGS streamflow in cfs).

Two directory layouts are read. The standard CAMELS one::

    basin_mean_forcing/<product>/<huc2>/<gauge>_lump_*forcing*.txt
    usgs_streamflow/<huc2>/<gauge>_streamflow_qc.txt
    camels_topo.txt, camels_name.txt

and the flat one of the sample shipped with the package (``<gauge>_<product>_forcing.txt``,
``<gauge>_streamflow_qc.txt``, ``camels_topo.txt``, ``camels_name.txt`` side by side).
"""
from __future__ import annotations

import datetime
import glob
from pathlib import Path
from typing import Any

import numpy as np

from vardex import _files
from vardex.data.catchment import Catchment, DataError, check, check_product, date_step, day_of_year, first_invalid, oudin, \
    problem

CFS_TO_M3S = 0.028316846592
MISSING = -999.0
FORCING_HEADER_LINES = 4    # latitude, elevation, area, column names


def sample_dir(dataset: str = "camels") -> Path:
    """The sample data shipped with the package: ``"camels"`` (two catchments) or ``"caravan"`` (the same two in
    the Caravan layout). From a source checkout: the repository's data/<dataset>."""
    if dataset not in ("camels", "caravan"):
        raise ValueError(f"dataset must be 'camels' or 'caravan', got {dataset!r}")
    here = Path(__file__).resolve().parent
    installed = here / dataset
    return installed if installed.is_dir() else here.parents[2] / "data" / dataset


def load_camels(gauge: str, data_dir: str | Path | None = None, forcing: str = "daymet") -> Catchment:
    """Read one CAMELS catchment: forcing product ``forcing``, streamflow, attributes, Oudin PET.

    ``data_dir`` defaults to the shipped sample (``gauges()`` lists it). Streamflow is converted from cfs to
    mm/day over ``area_gages2``; -999 and days without a row are NaN. Raises ``DataError`` naming the file and
    line for a missing, malformed or implausible file, or a gauge absent from the attribute tables.
    """
    raw = _read_catchment(gauge, data_dir, forcing)
    temperature = (raw["tmax"] + raw["tmin"]) / 2.0
    return Catchment(gauge=gauge, name=raw["name"], dates=raw["dates"], precipitation=raw["prcp"],
                     temperature=temperature, day_of_year=raw["doy"], observed=raw["observed"],
                     pet=oudin(temperature, raw["doy"], raw["lat"]), latitude=raw["lat"],
                     median_elevation=raw["elev_mean"], area_km2=raw["area_km2"], forcing=forcing,
                     source=str(_root(data_dir).resolve()))


def gauges(data_dir: str | Path | None = None, forcing: str | None = None) -> list[str]:
    """Gauges of ``data_dir`` (default: the shipped sample) that have a streamflow file and a forcing file of
    ``forcing`` (of any product when None)."""
    root = _root(data_dir)
    product = "*" if forcing is None else glob.escape(check_product(forcing))
    if _standard(root):
        forced = {p.name.split("_lump_")[0]
                  for p in root.glob(f"basin_mean_forcing/{product}/*/*_lump_*forcing*.txt")}
        flows = root.glob("usgs_streamflow/*/*_streamflow_qc.txt")
    else:
        forced = {p.name.split("_")[0] for p in root.glob(f"*_{product}_forcing.txt")}
        flows = root.glob("*_streamflow_qc.txt")
    return sorted(forced & {p.name.split("_")[0] for p in flows})


# --- reading -------------------------------------------------------------------------------------------------

def _read_catchment(gauge: str, data_dir: str | Path | None, forcing: str) -> dict[str, Any]:
    """Everything load_camels needs, with tmax and tmin kept apart."""
    if not isinstance(gauge, str) or not gauge.isalnum():
        raise ValueError(f"gauge must be a CAMELS gauge id such as '01022500', got {gauge!r}")
    check_product(forcing)
    root = _root(data_dir)
    topo_path = _attribute_file(root, "camels_topo.txt")
    topo = _attributes(topo_path, gauge, ("gauge_lat", "elev_mean", "area_gages2"))
    where = f"{topo_path}, line {topo['_line']}"
    lat = check("latitude", "gauge_lat", _number(topo, "gauge_lat", where), where)
    elev = check("elevation", "elev_mean", _number(topo, "elev_mean", where), where)
    area = check("area", "area_gages2", _number(topo, "area_gages2", where), where)
    name = _attributes(_attribute_file(root, "camels_name.txt"), gauge, ("gauge_name",))["gauge_name"]
    forcing_path, flow_path = _paths(root, gauge, forcing)
    dates, prcp, tmax, tmin = _read_forcing(forcing_path)
    return {"name": name, "dates": dates, "prcp": prcp, "tmax": tmax, "tmin": tmin, "doy": day_of_year(dates),
            "lat": lat, "elev_mean": elev, "area_km2": area,
            "observed": _read_streamflow(flow_path, gauge, dates, area)}


def _root(data_dir: str | Path | None) -> Path:
    root = sample_dir() if data_dir is None else Path(data_dir)
    if not root.is_dir():
        raise DataError(f"{root}: no such data directory")
    return root


# The attribute tables come as a download of their own, unpacked into this folder inside the data directory
# or beside it.
_ATTRIBUTES_DIR = "camels_attributes_v2.0"


def _attribute_file(root: Path, name: str) -> Path:
    """The first of root/name, root/<attributes>/name and <attributes>/name beside root that exists; else the first."""
    candidates = (root / name, root / _ATTRIBUTES_DIR / name, root.parent / _ATTRIBUTES_DIR / name)
    return next((path for path in candidates if path.exists()), candidates[0])


def _standard(root: Path) -> bool:
    return (root / "basin_mean_forcing").is_dir()


def _paths(root: Path, gauge: str, forcing: str) -> tuple[Path, Path]:
    if not _standard(root):
        return (_files.require(root / f"{gauge}_{forcing}_forcing.txt", DataError),
                _files.require(root / f"{gauge}_streamflow_qc.txt", DataError))
    product = root / "basin_mean_forcing" / forcing
    if not product.is_dir():
        known = sorted(p.name for p in (root / "basin_mean_forcing").iterdir() if p.is_dir())
        raise DataError(f"{product}: no such forcing product (available: {', '.join(known) or 'none'})")
    return (_one(product, f"*/{gauge}_lump_*forcing*.txt"),
            _one(root / "usgs_streamflow", f"*/{gauge}_streamflow_qc.txt"))


def _one(directory: Path, pattern: str) -> Path:
    found = sorted(directory.glob(pattern))
    if len(found) != 1:
        what = "no such file" if not found else "several files: " + ", ".join(str(p) for p in found)
        raise DataError(f"{directory / pattern}: {what}")
    return found[0]


def _attributes(path: Path, gauge: str, keys: tuple[str, ...]) -> dict[str, str]:
    """The row of ``gauge`` in a semicolon-separated attribute table, as strings (``_line``: its number)."""
    lines = _files.read_lines(path, DataError)
    if not lines:
        raise DataError(f"{path}: empty file")
    header = [h.strip() for h in lines[0].split(";")]
    missing = [k for k in ("gauge_id",) + keys if k not in header]
    if missing:
        raise DataError(f"{path}, line 1: no column {', '.join(missing)}")
    at = header.index("gauge_id")
    row: dict[str, str] = {}
    padded = f"{gauge:0>8}" if gauge.isdigit() and len(gauge) < 8 else None
    padded_seen = False
    for number, line in enumerate(lines[1:], start=2):
        if not line.strip():
            continue
        fields = [f.strip() for f in line.split(";")]
        if len(fields) != len(header):  # every row: a short one would shift the columns of the gauge's own
            raise DataError(f"{path}, line {number}: {len(fields)} fields, the header has {len(header)}")
        padded_seen = padded_seen or fields[at] == padded
        if fields[at] != gauge:
            continue
        if row:
            raise DataError(f"{path}, line {number}: gauge {gauge} again (first on line {row['_line']})")
        row = dict(zip(header, fields))
        row["_line"] = str(number)
    if not row:
        hint = (f" (CAMELS ids have 8 digits: did you mean {padded}? A leading zero may have been dropped)"
                if padded_seen else "")
        raise DataError(f"{path}: no row for gauge {gauge}{hint}")
    return row


def _number(row: dict[str, str], key: str, where: str) -> float:
    try:
        value = float(row[key])
    except ValueError:
        value = float("nan")
    if not np.isfinite(value):
        raise DataError(f"{where}: {key} is not a number ({row[key]!r})")
    return value


def _date(fields: list[str], path: Path, number: int) -> datetime.date:
    try:
        return datetime.date(int(fields[0]), int(fields[1]), int(fields[2]))
    except (ValueError, OverflowError):
        raise DataError(f"{path}, line {number}: invalid date {' '.join(fields[:3])!r}") from None


def _read_forcing(path: Path) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Dates (datetime64[D], consecutive days), precipitation, tmax and tmin of a CAMELS forcing file."""
    lines = _files.read_lines(path, DataError)
    if len(lines) <= FORCING_HEADER_LINES:
        raise DataError(f"{path}: no data rows after the {FORCING_HEADER_LINES} header lines")
    columns = [c.lower() for c in lines[FORCING_HEADER_LINES - 1].split()]
    index = {}
    for key in ("prcp", "tmax", "tmin"):
        matches = [i for i, c in enumerate(columns) if c.startswith(key)]
        if len(matches) != 1:
            raise DataError(f"{path}, line {FORCING_HEADER_LINES}: no single {key} column in the header")
        index[key] = matches[0]
    values = {key: np.empty(len(lines) - FORCING_HEADER_LINES) for key in index}
    dates: list[datetime.date] = []
    for row, line in enumerate(lines[FORCING_HEADER_LINES:]):
        number = row + FORCING_HEADER_LINES + 1
        fields = line.split()
        if len(fields) != len(columns):
            raise DataError(f"{path}, line {number}: {len(fields)} fields, expected {len(columns)}")
        date = _date(fields, path, number)
        if dates and date != dates[-1] + datetime.timedelta(days=1):
            raise DataError(f"{path}, line {number}: {date_step(dates[-1], date)}")
        dates.append(date)
        for key, i in index.items():
            try:
                values[key][row] = float(fields[i])
            except ValueError:
                raise DataError(f"{path}, line {number}: {key} is not a number ({fields[i]!r})") from None
    for key, kind in (("prcp", "precipitation"), ("tmax", "temperature"), ("tmin", "temperature")):
        bad = first_invalid(kind, values[key])
        if bad is not None:
            raise DataError(f"{path}, line {bad + FORCING_HEADER_LINES + 1}: "
                            f"{problem(kind, key, float(values[key][bad]))}")
    return np.array(dates, dtype="datetime64[D]"), values["prcp"], values["tmax"], values["tmin"]


def _read_streamflow(path: Path, gauge: str, dates: np.ndarray, area_km2: float) -> np.ndarray:
    """Observed streamflow in mm/day on ``dates``; NaN for -999 and for days without a row."""
    to_mm = CFS_TO_M3S * 86400.0 / (area_km2 * 1e6) * 1000.0
    first = dates[0].astype(datetime.date)
    q = np.full(len(dates), np.nan)
    seen: dict[datetime.date, int] = {}
    for number, line in enumerate(_files.read_lines(path, DataError), start=1):
        fields = line.split()
        if not fields:
            continue
        if len(fields) not in (5, 6):
            raise DataError(f"{path}, line {number}: {len(fields)} fields, expected gauge year month day "
                            "discharge [flag]")
        if fields[0] != gauge:
            raise DataError(f"{path}, line {number}: gauge {fields[0]}, expected {gauge}")
        date = _date(fields[1:4], path, number)
        if date in seen:
            raise DataError(f"{path}, line {number}: {date} again (first on line {seen[date]})")
        seen[date] = number
        try:
            cfs = float(fields[4])
        except ValueError:
            raise DataError(f"{path}, line {number}: discharge is not a number ({fields[4]!r})") from None
        if cfs == MISSING:
            continue
        if not (np.isfinite(cfs) and cfs >= 0.0):
            raise DataError(f"{path}, line {number}: discharge {fields[4]} is neither >= 0 nor {MISSING:g}")
        i = (date - first).days
        if 0 <= i < len(q):
            q[i] = cfs * to_mm
    if not seen:
        raise DataError(f"{path}: no streamflow rows")
    if np.isnan(q).all():
        raise DataError(f"{path}: no streamflow value from {dates[0]} to {dates[-1]}, the forcing's dates")
    return q
