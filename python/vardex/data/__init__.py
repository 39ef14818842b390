"""Catchment data: the ``Catchment`` record every workflow takes, its readers and its checks.

``load_camels`` (CAMELS, US), ``load_caravan`` (Caravan, global) and ``Catchment.from_arrays`` /
``Catchment.from_dataframe`` (one's own series) all build the same record with the same checks; every malformed
or implausible input is a ``DataError`` naming the file and line (or the array and date).
"""
from __future__ import annotations

from vardex.data.camels import gauges, load_camels, sample_dir
from vardex.data.caravan import caravan_gauges, load_caravan
from vardex.data.catchment import Catchment, DataError
from vardex.data.sources import check_product, list_gauges, load

__all__ = ["Catchment", "DataError", "load_camels", "gauges", "sample_dir", "load_caravan", "caravan_gauges", "load",
           "list_gauges", "check_product"]
