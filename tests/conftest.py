"""Shared test fixtures: loaders for the CAMELS sample catchments shipped with vardex; the huge_alloc marker."""
import functools
import os

import pytest

import vardex
from vardex.data import camels


@functools.lru_cache(maxsize=None)
def _forcing(gauge):
    catchment = vardex.load_camels(gauge)
    raw = camels._read_catchment(gauge, None, "daymet")  # tmax and tmin, which Catchment only keeps as a mean
    return {
        "dates": catchment.dates,
        "prcp": catchment.precipitation,
        "tmax": raw["tmax"],
        "tmin": raw["tmin"],
        "tmean": catchment.temperature,
        "doy": catchment.day_of_year,
        "lat": catchment.latitude,
        "elev_mean": catchment.median_elevation,
        "area_km2": catchment.area_km2,
    }


@functools.lru_cache(maxsize=None)
def _streamflow_mm(gauge):
    return vardex.load_camels(gauge).observed


@pytest.fixture
def camels_forcing():
    """Loader: camels_forcing(gauge) -> dict of arrays ('prcp', 'tmean', 'doy' as uint64, ...) and 'lat'."""
    return lambda gauge: {k: (v.copy() if hasattr(v, "copy") else v) for k, v in _forcing(gauge).items()}


@pytest.fixture
def camels_streamflow_mm():
    """Loader: camels_streamflow_mm(gauge) -> observed flow in mm/day on the forcing dates, NaN when missing."""
    return lambda gauge: _streamflow_mm(gauge).copy()


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "huge_alloc: asks for allocations far beyond memory; skipped under the sanitizers "
        "(VARDEX_SANITIZED=1), whose allocator aborts on such requests instead of failing them")


def pytest_collection_modifyitems(config, items):
    if os.environ.get("VARDEX_SANITIZED") != "1":
        return
    skip = pytest.mark.skip(reason="huge allocation: the sanitizer's allocator aborts instead of failing it")
    for item in items:
        if "huge_alloc" in item.keywords:
            item.add_marker(skip)
