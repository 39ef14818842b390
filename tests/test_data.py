"""vardex.data: the CAMELS reader on the shipped sample, on the standard layout, and on broken copies."""
import os
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import vardex
from vardex.data import DataError, gauges, list_gauges, load_camels, load_caravan, sample_dir

GAUGE = "01022500"
CFS_TO_MM = 0.028316846592 * 86400.0 / (573.6e6) * 1000.0  # area_gages2 of 01022500 is 573.6 km²


def test_shipped_sample():
    # read from the installed package
    assert sample_dir().parent == sample_dir("caravan").parent == Path(vardex.__file__).resolve().parent / "data"
    assert gauges() == ["01022500", "03015500"]
    for gauge, days, start_of_gap in (("01022500", 1461, 1096), ("03015500", 1096, None)):
        c = load_camels(gauge)
        assert len(c) == days and c.dates[0] == np.datetime64("2000-01-01")
        for series in (c.precipitation, c.temperature, c.observed, c.pet, c.day_of_year):
            assert series.shape == (days,)
        assert c.day_of_year.dtype == np.uint64 and c.day_of_year[365] == 366 and c.day_of_year[366] == 1
        assert np.isfinite(c.pet).all() and c.pet.min() >= 0.0 and c.pet[150:250].mean() > 2.0
        if start_of_gap is not None:  # streamflow ends with 2002: the rest are days without a row
            assert np.isnan(c.observed[start_of_gap:]).all() and np.isfinite(c.observed[:start_of_gap]).all()
    c = load_camels(GAUGE)
    assert c.name == "Narraguagus River at Cherryfield, Maine"
    assert (c.latitude, c.median_elevation, c.area_km2) == (44.60797, 92.68, 573.6)
    assert c.temperature[0] == pytest.approx((-2.36 - 14.36) / 2)  # first row: tmax -2.36, tmin -14.36
    assert c.observed[0] == pytest.approx(255.0 * CFS_TO_MM, rel=1e-12)  # first row: 255 cfs
    assert isinstance(vardex.Catchment, type) and issubclass(vardex.DataError, ValueError)


def _rewrite(path, number, line):
    lines = path.read_text().splitlines()
    lines[number - 1] = line
    path.write_text("\n".join(lines) + "\n")


@pytest.fixture
def flat(tmp_path):
    root = tmp_path / "flat"
    shutil.copytree(sample_dir(), root)
    return root


@pytest.fixture
def standard(tmp_path):
    """A standard-layout copy of 01022500: daymet as shipped, a 'maurer' with doubled rain, two flow edits."""
    src, root = sample_dir(), tmp_path / "standard"
    for product in ("daymet", "maurer"):
        (root / "basin_mean_forcing" / product / "01").mkdir(parents=True)
    (root / "usgs_streamflow" / "01").mkdir(parents=True)
    for name in ("camels_topo.txt", "camels_name.txt"):
        shutil.copy(src / name, root / name)
    daymet = root / "basin_mean_forcing/daymet/01/01022500_lump_cida_forcing_leap.txt"
    shutil.copy(src / "01022500_daymet_forcing.txt", daymet)
    lines = daymet.read_text().splitlines()
    rows = [line.split() for line in lines[4:]]
    for fields in rows:
        fields[5] = f"{2 * float(fields[5]):.2f}"
    (root / "basin_mean_forcing/maurer/01/01022500_lump_maurer_forcing_leap.txt").write_text(
        "\n".join(lines[:4] + ["\t".join(f) for f in rows]) + "\n")
    flows = (src / "01022500_streamflow_qc.txt").read_text().splitlines()
    flows[9] = "01022500 2000 01 10  -999.00 M"
    del flows[19]  # 2000-01-20
    (root / "usgs_streamflow/01/01022500_streamflow_qc.txt").write_text("\n".join(flows) + "\n")
    return root


def test_standard_layout_and_forcing_products(standard):
    sample = load_camels(GAUGE)
    daymet = load_camels(GAUGE, standard)
    assert gauges(standard) == [GAUGE]
    assert np.array_equal(daymet.precipitation, sample.precipitation)
    assert np.array_equal(daymet.pet, sample.pet) and daymet.name == sample.name
    missing = np.isnan(daymet.observed) != np.isnan(sample.observed)
    assert list(np.flatnonzero(missing)) == [9, 19]  # the -999 row and the deleted row
    maurer = load_camels(GAUGE, str(standard), forcing="maurer")
    assert np.allclose(maurer.precipitation, 2 * sample.precipitation, atol=0.006)
    assert maurer.precipitation.sum() > 1.9 * sample.precipitation.sum()
    with pytest.raises(DataError, match=r"nldas: no such forcing product \(available: daymet, maurer\)"):
        load_camels(GAUGE, standard, forcing="nldas")

    # The attribute download unpacked inside the data directory, or beside it.
    inside, beside = standard / "camels_attributes_v2.0", standard.parent / "camels_attributes_v2.0"
    inside.mkdir()
    beside.mkdir()
    (standard / "camels_topo.txt").rename(inside / "camels_topo.txt")
    (standard / "camels_name.txt").rename(beside / "camels_name.txt")
    moved = load_camels(GAUGE, standard)
    assert (moved.latitude, moved.name) == (daymet.latitude, daymet.name)
    (inside / "camels_topo.txt").unlink()
    with pytest.raises(DataError, match=r"standard/camels_topo.txt: no such file"):
        load_camels(GAUGE, standard)


def test_flat_layout_forcing_product(flat):
    shutil.copy(flat / "01022500_daymet_forcing.txt", flat / "01022500_nldas_forcing.txt")
    _rewrite(flat / "01022500_nldas_forcing.txt", 5, "2000 01 01 12\t31185.97\t7.00\t189.56\t0.00\t-2.36\t-14.36\t0")
    assert load_camels(GAUGE, flat, forcing="nldas").precipitation[0] == 7.0
    assert load_camels(GAUGE, flat).precipitation[0] == 0.0
    with pytest.raises(DataError, match="01022500_maurer_forcing.txt: no such file"):
        load_camels(GAUGE, flat, forcing="maurer")


_CARAVAN_SERIES = "caravan/timeseries/csv/camels/camels_01022500.csv"
_CARAVAN_OTHER = "caravan/attributes/camels/attributes_other_camels.csv"


# Each case: a file of one catchment (CAMELS flat layout, or "caravan/..." for the Caravan sample read with its own
# PET), its corruption (None: deleted; "": emptied; (n, text): line n replaced) and the message naming file and line.
@pytest.mark.parametrize("file, edit, message", [
    ("01022500_streamflow_qc.txt", None, r"01022500_streamflow_qc.txt: no such file"),
    ("camels_name.txt", None, r"camels_name.txt: no such file"),
    ("01022500_daymet_forcing.txt", (10, "2000 01 06 12\t31185.97\tx\t189.56\t0.00\t-2.36\t-14.36\t202.51"),
     r"01022500_daymet_forcing.txt, line 10: prcp is not a number \('x'\)"),
    ("01022500_daymet_forcing.txt", (7, "2000 01 03 12\t31185.97\t0.00"), r"forcing.txt, line 7: 6 fields, expected 11"),
    ("01022500_daymet_forcing.txt", (8, "2000 01 05 12\t1\t0\t1\t0\t1\t0\t1"),
     r"forcing.txt, line 8: 2000-01-05 does not follow 2000-01-03 \(first missing date 2000-01-04\)"),
    ("01022500_daymet_forcing.txt", (5, "99999999999999999999 01 01 12\t1\t0\t1\t0\t1\t0\t1"),
     r"forcing.txt, line 5: invalid date '99999999999999999999 01 01'"),
    ("01022500_daymet_forcing.txt", (6, "2000 01 02 12\t31302.05\t0.00\t200.48\t0.00\t1e6\t-8.61\t319.42"),
     r"forcing.txt, line 6: tmax 1e\+06 is outside \[-100, 100\] °C"),
    ("01022500_daymet_forcing.txt", (7, "2000 01 03 12\t31370.88\t-1\t126.63\t0.00\t9.25\t-1.10\t566.46"),
     r"forcing.txt, line 7: prcp -1 is outside \[0, 2000\] mm/day"),
    ("01022500_streamflow_qc.txt", (3, "01022500 2000 02 30   337.00 A"),
     r"streamflow_qc.txt, line 3: invalid date '2000 02 30'"),
    ("01022500_streamflow_qc.txt", (4, "01022500 2000 01 04   -5.00 A"), r"streamflow_qc.txt, line 4: discharge"),
    ("01022500_streamflow_qc.txt", (3, "01022500 2000 01 02   337.00 A"),
     r"streamflow_qc.txt, line 3: 2000-01-02 again \(first on line 2\)"),
    ("01022500_streamflow_qc.txt", "", r"01022500_streamflow_qc.txt: no streamflow rows"),
    ("camels_topo.txt", (2, "01022599;44.6;-67.9;92.68;17.8;573.6;620.4"),
     r"camels_topo.txt: no row for gauge 01022500"),
    ("camels_topo.txt", (2, "01022500;44.6;-67.9;high;17.8;573.6;620.4"),
     r"camels_topo.txt, line 2: elev_mean is not a number"),
    ("camels_topo.txt", (2, "01022500;200;-67.9;92.68;17.8;573.6;620.4"),
     r"camels_topo.txt, line 2: gauge_lat 200 is outside \[-90, 90\] degrees"),
    ("camels_topo.txt", (3, "03015500;41.85"), r"camels_topo.txt, line 3: 2 fields, the header has 7"),
    ("camels_name.txt", (3, "01022500;01;Elsewhere"), r"camels_name.txt, line 3: gauge 01022500 again"),
    (_CARAVAN_SERIES, (3, "2000-01-02,1.0"), r"camels_01022500.csv, line 3: 2 fields, the header has 7"),
    (_CARAVAN_SERIES, (3, "2000-13-02,-1.9,-8.61,4.81,0.0,0.1,1.1"),
     r"camels_01022500.csv, line 3: invalid date '2000-13-02' \(expected YYYY-MM-DD\)"),
    (_CARAVAN_SERIES, (4, "2000-01-04,3.0,-1.1,9.25,5.5,0.5,1.0"),
     r"camels_01022500.csv, line 4: 2000-01-04 does not follow 2000-01-02 \(first missing date 2000-01-03\)"),
    (_CARAVAN_SERIES, (4, "2000-01-02,3.0,-1.1,9.25,5.5,0.5,1.0"),
     r"camels_01022500.csv, line 4: 2000-01-02 repeats the previous date"),
    (_CARAVAN_SERIES, (4, "2000-01-03,3.0,-1.1,9.25,,0.5,1.0"),
     r"camels_01022500.csv, line 4: total_precipitation_sum is missing"),
    (_CARAVAN_SERIES, (4, "2000-01-03,1e6,-1.1,9.25,5.5,0.5,1.0"),
     r"camels_01022500.csv, line 4: temperature_2m_mean 1e\+06 is outside \[-100, 100\] °C"),
    (_CARAVAN_SERIES, (4, "2000-01-03,3.0,-1.1,9.25,5.5,-0.5,1.0"),
     r"camels_01022500.csv, line 4: potential_evaporation_sum -0.5 is outside \[0, 100\] mm/day"),
    (_CARAVAN_SERIES, (4, "2000-01-03,3.0,-1.1,9.25,5.5,0.5,inf"),
     r"camels_01022500.csv, line 4: streamflow is not finite \(inf\)"),
    (_CARAVAN_SERIES, "", r"camels_01022500.csv, line 1: no column date, total_precipitation_sum"),
    (_CARAVAN_OTHER, (2, 'camels_01022500,"Narraguagus",USA,200,-67.9,573.6'),
     r"attributes_other_camels.csv, line 2: gauge_lat 200 is outside \[-90, 90\] degrees"),
    (_CARAVAN_OTHER, (3, "camels_03015500,x,USA"), r"attributes_other_camels.csv, line 3: 3 fields, the header has 6"),
    (_CARAVAN_SERIES, (5, '2000-01-04,"3.0,-1.1,9.25,5.5,0.5,1.0'),     # a quote opened and never closed
     r"camels_01022500.csv, line 5: unexpected end of data \(a quote opened on this line is never closed\)"),
    ("caravan/attributes/camels/attributes_hydroatlas_camels.csv", (2, "camels_01022500,high"),
     r"attributes_hydroatlas_camels.csv, line 2: ele_mt_sav is not a number \('high'\)"),
])
def test_missing_or_malformed_file(flat, file, edit, message):
    root, load = _reader(flat, file)
    path = root / file.removeprefix("caravan/")
    if edit is None:
        path.unlink()
    elif edit == "":
        path.write_text("")
    else:
        _rewrite(path, *edit)
    with pytest.raises(DataError, match=message) as info:
        load(GAUGE)
    assert str(root) in str(info.value)
    if GAUGE in file:
        assert load("03015500").name  # a broken file of one gauge leaves the others readable


def _reader(flat, file):
    """The data directory ``file`` lies in, and a loader by CAMELS gauge id for it."""
    if not file.startswith("caravan/"):
        return flat, lambda gauge: load_camels(gauge, flat)
    root = flat.parent / "caravan"
    if not root.exists():
        shutil.copytree(sample_dir("caravan"), root)
    return root, lambda gauge: load_caravan(f"camels_{gauge}", root, pet="caravan")


@pytest.mark.parametrize("kind, message", [
    ("fifo", "a FIFO, not a regular file"), ("link to /dev/zero", "a character device, not a regular file"),
    ("directory", "a directory, not a regular file"), ("huge", "larger than 256 MiB")])
@pytest.mark.parametrize("file", ["camels_topo.txt", "01022500_daymet_forcing.txt", "01022500_streamflow_qc.txt",
                                  _CARAVAN_SERIES, _CARAVAN_OTHER])
def test_special_files_are_refused_without_blocking(flat, file, kind, message):
    root, load = _reader(flat, file)
    path = root / file.removeprefix("caravan/")
    path.unlink()
    if kind == "fifo":
        if not hasattr(os, "mkfifo"):
            pytest.skip("no FIFOs here")
        os.mkfifo(path)
    elif kind == "link to /dev/zero":
        if not os.path.exists("/dev/zero"):
            pytest.skip("no /dev/zero here")
        path.symlink_to("/dev/zero")
    elif kind == "directory":
        path.mkdir()
    else:
        with open(path, "wb") as sparse:
            sparse.truncate(256 * 2**20 + 1)
    outcome = []
    reader = threading.Thread(target=lambda: outcome.append(_raised(load, GAUGE)), daemon=True)
    reader.start()
    reader.join(timeout=20)
    assert not reader.is_alive(), f"reading a {kind} blocks"
    assert isinstance(outcome[0], DataError) and str(outcome[0]).startswith(f"{path}: {message}")


def _raised(function, *args):
    try:
        function(*args)
    except Exception as exc:  # noqa: BLE001 - the test inspects it
        return exc
    return None


def test_trailing_blank_lines_are_no_data(flat):
    reference = load_camels(GAUGE, flat)
    for name in ("01022500_daymet_forcing.txt", "01022500_streamflow_qc.txt", "camels_topo.txt"):
        path = flat / name
        path.write_text(path.read_text() + "\n  \n\r\n")
    again = load_camels(GAUGE, flat)
    assert np.array_equal(again.precipitation, reference.precipitation)
    assert np.array_equal(again.observed, reference.observed, equal_nan=True)


def test_gauges_and_bad_arguments(flat, tmp_path):
    (flat / "03015500_streamflow_qc.txt").unlink()
    assert gauges(flat) == [GAUGE]  # a gauge needs both forcing and streamflow
    assert list_gauges(flat, "daymet") == [GAUGE] and list_gauges(flat, "nldas") == []    # per product
    with pytest.raises(DataError, match="no such data directory"):
        gauges(tmp_path / "absent")
    with pytest.raises(ValueError, match="gauge must be"):
        load_camels("../01022500")


def test_command_line_reports_bad_data_in_one_line(flat):
    """What issue reports showed as tracebacks: exit 2 and the file and line, through the console script."""
    _rewrite(flat / "01022500_daymet_forcing.txt", 5, "99999999999999999999 01 01 12\t1\t0\t1\t0\t1\t0\t1")
    (flat / "03015500_streamflow_qc.txt").unlink()
    os.symlink("/dev/zero", flat / "03015500_streamflow_qc.txt")
    script = Path(sys.executable).with_name("vardex")
    for gauge, message in (("01022500", "01022500_daymet_forcing.txt, line 5: invalid date"),
                           ("03015500", "03015500_streamflow_qc.txt: a character device, not a regular file")):
        run = subprocess.run([str(script), "calibrate", gauge, "--data", str(flat), "--no-progress"],
                             capture_output=True, text=True, timeout=60)
        assert run.returncode == 2 and message in run.stderr and "Traceback" not in run.stderr
