"""One entry for every workflow that names a catchment by gauge id: the forcing product decides the reader.

CAMELS products (``daymet``, ``maurer``, ``nldas``, ...) are read with `load_camels`; ``caravan`` reads the
Caravan layout with Oudin PET and ``caravan_pet`` with the data set's own PET column (`load_caravan`).
"""
from __future__ import annotations

from pathlib import Path

from vardex.data.camels import gauges as camels_gauges
from vardex.data.camels import load_camels
from vardex.data.caravan import caravan_gauges, load_caravan
from vardex.data.catchment import CARAVAN_PRODUCTS, Catchment, check_product

__all__ = ["CARAVAN_PRODUCTS", "load", "list_gauges", "check_product"]


def load(gauge: str, data_dir: str | Path | None = None, forcing: str = "daymet") -> Catchment:
    """The catchment of ``gauge`` in ``data_dir`` (default: the bundled CAMELS sample) for ``forcing``."""
    forcing = check_product(forcing)
    if forcing in CARAVAN_PRODUCTS:
        if data_dir is None:
            raise ValueError("a Caravan catchment needs its data directory (data_dir, --data or --caravan)")
        return load_caravan(gauge, data_dir, pet=CARAVAN_PRODUCTS[forcing])
    return load_camels(gauge, data_dir, forcing)


def list_gauges(data_dir: str | Path | None = None, forcing: str = "daymet") -> list[str]:
    """The gauges of ``data_dir`` that have the files ``load`` reads for ``forcing``."""
    forcing = check_product(forcing)
    if forcing in CARAVAN_PRODUCTS:
        if data_dir is None:
            raise ValueError("a Caravan catchment needs its data directory (data_dir, --data or --caravan)")
        return caravan_gauges(data_dir)
    return camels_gauges(data_dir, forcing)
