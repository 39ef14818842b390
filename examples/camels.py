"""Loading the CAMELS sample catchments shipped in data/camels (see data/camels/README.md)."""
import datetime
from pathlib import Path

import numpy as np

DATA = Path(__file__).resolve().parent.parent / "data" / "camels"
CFS_TO_M3S = 0.028316846592


def topo(gauge, data=DATA):
    """Catchment attributes of camels_topo.txt as floats."""
    lines = (data / "camels_topo.txt").read_text().splitlines()
    header = lines[0].split(";")
    for line in lines[1:]:
        fields = line.split(";")
        if fields[0] == gauge:
            return {k: float(v) for k, v in zip(header[1:], fields[1:])}
    raise KeyError(f"gauge {gauge} not in camels_topo.txt")


def forcing(gauge, data=DATA):
    """Daily Daymet forcing: dates, precipitation, temperatures, day of year (uint64) and attributes."""
    rows = np.loadtxt(data / f"{gauge}_daymet_forcing.txt", skiprows=4)
    dates = [datetime.date(int(y), int(m), int(d)) for y, m, d in rows[:, :3]]
    attrs = topo(gauge, data)
    tmax, tmin = rows[:, 8], rows[:, 9]
    return {
        "dates": np.array(dates, dtype="datetime64[D]"),
        "prcp": np.ascontiguousarray(rows[:, 5]),
        "tmax": np.ascontiguousarray(tmax),
        "tmin": np.ascontiguousarray(tmin),
        "tmean": (tmax + tmin) / 2.0,
        "doy": np.array([d.timetuple().tm_yday for d in dates], dtype=np.uint64),
        "lat": attrs["gauge_lat"],
        "elev_mean": attrs["elev_mean"],
        "area_km2": attrs["area_gages2"],
    }


def streamflow_mm(gauge, dates, data=DATA):
    """Observed streamflow in mm/day on `dates`; NaN where missing (-999 or no row)."""
    area_km2 = topo(gauge, data)["area_gages2"]
    to_mm = CFS_TO_M3S * 86400.0 / (area_km2 * 1e6) * 1000.0
    index = {d: i for i, d in enumerate(dates.tolist())}
    q = np.full(len(dates), np.nan)
    for line in (data / f"{gauge}_streamflow_qc.txt").read_text().splitlines():
        fields = line.split()
        i = index.get(datetime.date(int(fields[1]), int(fields[2]), int(fields[3])))
        cfs = float(fields[4])
        if i is not None and cfs != -999.0:
            q[i] = cfs * to_mm
    return q
