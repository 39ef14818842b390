"""Shared test fixtures: loaders for the CAMELS sample catchments shipped in data/camels; the huge_alloc marker."""
import functools
import os
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "examples"))

import camels  # noqa: E402  (the examples' loader, so tests and examples read the data one way)


@functools.lru_cache(maxsize=None)
def _forcing(gauge):
    return camels.forcing(gauge)


@functools.lru_cache(maxsize=None)
def _streamflow_mm(gauge):
    return camels.streamflow_mm(gauge, _forcing(gauge)["dates"])


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
