"""Write the bundled CAMELS sample (data/camels) again in the Caravan CSV layout, into data/caravan.

Usage:
    python tools/make_caravan_sample.py [--out DIR]

Each CAMELS gauge G becomes the Caravan id camels_G. Values are written so that they read back exactly
(shortest round-trip decimal): load_caravan("camels_G", "data/caravan") equals load_camels("G") series by series
(with pet="caravan" too: potential_evaporation_sum holds the Oudin PET computed by load_camels).
"""
from __future__ import annotations

import argparse
import csv
from pathlib import Path

import numpy as np

import vardex
from vardex.data import gauges
from vardex.data.camels import _read_catchment

REPO = Path(__file__).resolve().parent.parent
SOURCE = "camels"
SERIES = ("date", "temperature_2m_mean", "temperature_2m_min", "temperature_2m_max", "total_precipitation_sum",
          "potential_evaporation_sum", "streamflow")


def _number(value: float) -> str:
    return "" if np.isnan(value) else repr(float(value))


def _topo(camels: Path) -> dict[str, dict[str, str]]:
    with open(camels / "camels_topo.txt", newline="") as file:
        return {row["gauge_id"]: row for row in csv.DictReader(file, delimiter=";")}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=REPO / "data" / "caravan")
    out = parser.parse_args().out
    camels = REPO / "data" / "camels"
    attributes, series = out / "attributes" / SOURCE, out / "timeseries" / "csv" / SOURCE
    attributes.mkdir(parents=True, exist_ok=True)
    series.mkdir(parents=True, exist_ok=True)
    topo = _topo(camels)
    other, atlas = [], []
    for gauge in gauges(camels):
        c = vardex.load_camels(gauge, camels)
        raw = _read_catchment(gauge, camels, "daymet")
        caravan_id = f"{SOURCE}_{gauge}"
        other.append([caravan_id, c.name, "United States of America", repr(c.latitude),
                      topo[gauge]["gauge_lon"], repr(c.area_km2)])
        atlas.append([caravan_id, repr(c.median_elevation)])
        with open(series / f"{caravan_id}.csv", "w", newline="") as file:
            writer = csv.writer(file, lineterminator="\n")
            writer.writerow(SERIES)
            for i, date in enumerate(c.dates):
                writer.writerow([str(date)] + [_number(v) for v in (
                    c.temperature[i], raw["tmin"][i], raw["tmax"][i], c.precipitation[i], c.pet[i], c.observed[i])])
    for name, header, rows in (
            ("other", ["gauge_id", "gauge_name", "country", "gauge_lat", "gauge_lon", "area"], other),
            ("hydroatlas", ["gauge_id", "ele_mt_sav"], atlas)):
        with open(attributes / f"attributes_{name}_{SOURCE}.csv", "w", newline="") as file:
            writer = csv.writer(file, lineterminator="\n")
            writer.writerow(header)
            writer.writerows(rows)


if __name__ == "__main__":
    main()
