"""Catchments from other sources than CAMELS: the Caravan layout (the generated sample) and one's own series."""
import csv
import math
import shutil
import subprocess
import sys

import numpy as np
import pytest

import vardex
from vardex.data import Catchment, DataError, caravan_gauges, load_camels, load_caravan, sample_dir

SERIES = ("dates", "precipitation", "temperature", "day_of_year", "observed", "pet")


def _same_series(a, b):
    for field in SERIES:
        x, y = getattr(a, field), getattr(b, field)
        assert x.dtype == y.dtype and np.array_equal(x, y, equal_nan=field == "observed"), field


@pytest.mark.parametrize("pet", ["oudin", "caravan"])
def test_caravan_sample_round_trips_the_camels_catchments(pet):
    root = sample_dir("caravan")
    assert caravan_gauges(root) == ["camels_01022500", "camels_03015500"]
    for gauge in ("01022500", "03015500"):
        camels, caravan = load_camels(gauge), vardex.load_caravan(f"camels_{gauge}", root, pet=pet)
        _same_series(camels, caravan)
        assert (caravan.gauge, caravan.name, caravan.source) == (f"camels_{gauge}", camels.name, str(root))
        assert (caravan.latitude, caravan.median_elevation, caravan.area_km2) == \
            (camels.latitude, camels.median_elevation, camels.area_km2)
        assert caravan.forcing == {"oudin": "caravan", "caravan": "caravan_pet"}[pet]
        assert np.isnan(caravan.observed).any() == (gauge == "01022500")  # empty fields: its missing 2003


def test_batches_of_caravan_ids_equal_calibrations_of_the_loaded_catchments(tmp_path):
    root, out = sample_dir("caravan"), tmp_path / "results.csv"
    run = subprocess.run([sys.executable, "-m", "vardex", "batch", "--caravan", str(root), "--models", "GR4J",
                          "--optimiser", "dds", "--max-evaluations", "60", "--no-snow", "--no-progress", "--out",
                          str(out)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    with open(out, newline="") as f:
        rows = {r["gauge"]: r for r in csv.DictReader(f)}
    assert sorted(rows) == caravan_gauges(root)
    for gauge, row in rows.items():
        expected = vardex.calibrate(load_caravan(gauge, root), "gr4j", snow=False, optimiser="dds",
                                    max_evaluations=60, progress=False)
        assert row["forcing"] == "caravan" and float(row["nse"]) == expected.metrics["nse"]


def test_caravan_elevation_and_arguments(tmp_path):
    root = tmp_path / "caravan"
    shutil.copytree(sample_dir("caravan"), root)
    gauge = "camels_01022500"
    assert load_caravan(gauge, root, elevation=150.0).median_elevation == 150.0  # the argument wins
    (root / "attributes/camels/attributes_hydroatlas_camels.csv").unlink()
    unknown = load_caravan(gauge, root)
    assert math.isnan(unknown.median_elevation)
    with pytest.raises(DataError, match="camels_01022500: its elevation is unknown and the snow model needs it"):
        unknown.elevation_for_snow()
    with pytest.raises(DataError, match="its elevation is unknown"):
        vardex.calibrate(unknown, "gr4j", snow=True, optimiser="dds", max_evaluations=30, progress=False)
    assert load_caravan(gauge, root, elevation=150.0).elevation_for_snow() == 150.0
    with pytest.raises(DataError, match=r"load_caravan: elevation 9500 is outside \[-500, 9000\] m"):
        load_caravan(gauge, root, elevation=9500)
    with pytest.raises(ValueError, match="pet must be one of oudin, caravan"):
        load_caravan(gauge, root, pet="hargreaves")
    for bad in ("../camels_01022500", "01022500", "camels_01/../x"):
        with pytest.raises(ValueError, match="gauge_id must be a Caravan id"):
            load_caravan(bad, root)
    (root / "attributes/lamah").mkdir()
    (root / "attributes/lamah/attributes_other_lamah.csv").write_text("gauge_id,gauge_name,gauge_lat,area\n"
                                                                      "lamah_1,Somewhere,47.5,\n")
    with pytest.raises(DataError, match=r"timeseries/csv/lamah/lamah_1\.csv: no such file"):
        load_caravan("lamah_1", root)  # an empty area is unknown, not an error: the series file is what is missing


def test_own_arrays_and_dataframes_round_trip():
    camels = load_camels("01022500")
    kwargs = {"latitude": camels.latitude, "elevation": camels.median_elevation}
    own = Catchment.from_arrays([str(d) for d in camels.dates], list(camels.precipitation), camels.temperature,
                                camels.observed, **kwargs)
    _same_series(own, camels)  # Oudin PET computed as the CAMELS reader does
    assert (own.gauge, own.forcing, own.source, math.isnan(own.area_km2)) == ("custom", "own", "", True)
    given = Catchment.from_arrays(camels.dates, camels.precipitation, camels.temperature, camels.observed,
                                  pet=np.full(len(camels), 2.0), gauge="mine", **kwargs)
    assert (given.pet == 2.0).all() and given.gauge == "mine"

    pytest.importorskip("pandas")
    frame = camels.to_pandas()
    assert list(frame.columns) == ["precipitation", "temperature", "streamflow", "pet"]
    assert frame.attrs["gauge"] == "01022500" and frame.index[0].isoformat() == "2000-01-01T00:00:00"
    _same_series(Catchment.from_dataframe(frame, **kwargs), camels)
    renamed = frame.drop(columns="pet").rename(columns={"precipitation": "P", "streamflow": "Q"})
    _same_series(Catchment.from_dataframe(renamed.tz_localize("UTC"), columns={"precipitation": "P", "streamflow": "Q"},
                                          **kwargs), camels)
    with pytest.raises(DataError, match=r"no column 'streamflow' \(it has 'P', 'temperature', 'Q'\)"):
        Catchment.from_dataframe(renamed, columns={"precipitation": "P"}, **kwargs)
    with pytest.raises(DataError, match="needs a DatetimeIndex of days, it has RangeIndex"):
        Catchment.from_dataframe(frame.reset_index(), **kwargs)


_DATES = np.arange("2000-01-01", "2000-01-11", dtype="datetime64[D]")


@pytest.mark.parametrize("change, message", [
    ({"dates": np.delete(np.arange("2000-01-01", "2000-01-12", dtype="datetime64[D]"), 3)},
     "dates, index 3: 2000-01-05 does not follow 2000-01-03 (first missing date 2000-01-04)"),
    ({"dates": _DATES[[0, 1, 2, 2, 4, 5, 6, 7, 8, 9]]}, "dates, index 3: 2000-01-03 repeats the previous date"),
    ({"dates": _DATES.astype("datetime64[h]") + 6}, "dates must be whole days"),
    ({"dates": ["2000-01-01", "not a date"] + [str(d) for d in _DATES[2:]]}, "dates: not readable as dates"),
    ({"precipitation": [1.0] * 4 + [np.nan] + [1.0] * 5},
     "precipitation on 2000-01-05 (index 4): precipitation is missing"),
    ({"temperature": [5.0] * 9 + [1e6]},
     "temperature on 2000-01-10 (index 9): temperature 1e+06 is outside [-100, 100] °C"),
    ({"pet": [-1.0] * 10}, "pet on 2000-01-01 (index 0): pet -1 is outside [0, 100] mm/day"),
    ({"observed": [0.5] * 9}, "streamflow has 9 values, dates has 10"),
    ({"latitude": 200.0}, "from_arrays: latitude 200 is outside [-90, 90] degrees"),
    ({"area_km2": -3.0}, "from_arrays: area_km2 -3 is not above 0 km²"),
    ({"gauge": "a\u2028b"}, "gauge must be a non-empty name without line breaks"),
    ({"elevation_bands": [100.0, 9500.0]}, "from_arrays: elevation_bands 9500 is outside [-500, 9000] m"),
    ({"elevation_bands": [np.nan]}, "from_arrays: elevation_bands is missing"),
    ({"elevation_bands": []}, "elevation_bands must hold one or more elevations"),
])
def test_own_data_is_checked(change, message):
    valid = {"dates": _DATES, "precipitation": np.ones(10), "temperature": np.full(10, 5.0),
             "observed": [np.nan] * 10, "latitude": 45.0, "elevation": math.nan}
    assert len(Catchment.from_arrays(**valid)) == 10  # missing streamflow and an unknown elevation are allowed
    with pytest.raises(DataError) as info:
        Catchment.from_arrays(**{**valid, **change})
    assert message in str(info.value)


def test_caravan_bands_from_the_lowest_mean_and_highest_elevation(tmp_path):
    root = tmp_path / "caravan"
    shutil.copytree(sample_dir("caravan"), root)
    atlas = root / "attributes/camels/attributes_hydroatlas_camels.csv"
    atlas.write_text("gauge_id,ele_mt_sav,ele_mt_smn,ele_mt_smx\ncamels_01022500,92.68,20.0,400.0\n"
                     "camels_03015500,492.56,600.0,700.0\n")
    c = load_caravan("camels_01022500", root)
    # equal-area zones of a distribution linear from 20 to the mean over half the area, then to 400
    assert c.elevation_bands == pytest.approx((20 + 0.2 * 72.68, 20 + 0.6 * 72.68, 92.68, 92.68 + 0.4 * 307.32,
                                               92.68 + 0.8 * 307.32))
    r = vardex.calibrate(c, "gr4j", snow=True, optimiser="dds", max_evaluations=20, progress=False)
    assert r.elevation_bands.tolist() == list(c.elevation_bands)
    given = vardex.calibrate(c, "gr4j", snow=True, optimiser="dds", max_evaluations=20, progress=False,
                             elevation_bands=[100.0])
    assert given.elevation_bands.tolist() == [100.0]    # what the call gives wins
    with pytest.raises(DataError, match=r"ele_mt_smn 600, ele_mt_sav 492.56 and ele_mt_smx 700 m are not in"):
        load_caravan("camels_03015500", root)
