"""One task as it runs on a worker: the catchment (given, or read once per process through the cache), the
calibration, and the result columns it sends back."""
from __future__ import annotations

import copy
import threading
from collections import OrderedDict
from dataclasses import dataclass
from typing import Any, Mapping

from vardex.calibration import ENGINES, run
from vardex.data import Catchment, load
from vardex.results import WATER_COLUMNS
from vardex.settings import Settings

__all__ = ["Stored", "run_task", "error_text"]


@dataclass(frozen=True)
class Stored:
    """A catchment that the worker reads itself (shared file system)."""

    gauge: str
    data_dir: str | None
    forcing: str
    batch: str      # entries of one batch never serve another (files may have changed in between)


class _Cache:
    """Catchments by key, least recently used dropped; each loaded once even when many threads ask at once."""

    def __init__(self, size: int) -> None:
        self.size = size
        self._lock = threading.Lock()
        self._entries: OrderedDict[Stored, list[Any]] = OrderedDict()

    def get(self, key: Stored) -> Catchment:
        with self._lock:
            entry = self._entries.get(key)
            if entry is None:
                entry = self._entries[key] = [threading.Lock(), None, None]
                while len(self._entries) > self.size:
                    self._entries.popitem(last=False)
            self._entries.move_to_end(key)
        with entry[0]:
            if entry[1] is None and entry[2] is None:
                try:
                    entry[1] = load(key.gauge, key.data_dir, key.forcing)
                except Exception as exc:
                    entry[2] = exc
        if entry[2] is not None:
            raise copy.copy(entry[2])   # a copy per task: threads must not share one traceback
        result: Catchment = entry[1]
        return result


_CACHE = _Cache(16)


def _signature_columns(errors: dict[str, float] | None) -> dict[str, float | None]:
    errors = errors or {}
    return {"fhv": errors.get("fhv"), "flv": errors.get("flv"), "fms": errors.get("fms"),
            "bfi_error": errors.get("baseflow_index")}


def error_text(exc: BaseException) -> str:
    text = f"{type(exc).__name__}: {exc}"
    return " ".join(text.split())


def run_task(source: Catchment | Stored, settings: Settings, stop: threading.Event | None,
             engines: Mapping[str, Any] = ENGINES) -> tuple[str, dict[str, Any] | str | None]:
    """("ok", result columns) | ("failed", error) | ("interrupted", None) of the one calibration ``settings``
    describes (one model, one seed)."""
    if stop is not None and stop.is_set():
        return "interrupted", None
    try:
        catchment = _CACHE.get(source) if isinstance(source, Stored) else source
        r = run(catchment, settings, progress=False, stop=stop, engines=engines)
    except KeyboardInterrupt:
        r = None
    except Exception as exc:
        return "failed", error_text(exc)
    if r is None or r.interrupted:
        if stop is not None:
            stop.set()      # the tasks beside this one stop now, not when the batch gets to hear of it
        return "interrupted", None
    values: dict[str, Any] = dict(r.params)
    values.update(r.metrics, objective_value=r.objective_value)
    values.update({k: (r.water or {}).get(k) for k in WATER_COLUMNS}, **_signature_columns(r.signature_errors))
    if r.validation is not None:
        values.update({f"val_{k}": v for k, v in r.validation.items()}, val_objective_value=r.validation_objective)
        values.update({f"val_{k}": (r.validation_water or {}).get(k) for k in WATER_COLUMNS})
        values.update({f"val_{k}": v for k, v in _signature_columns(r.validation_signature_errors).items()})
    bands = None if r.elevation_bands is None else [float(v) for v in r.elevation_bands]
    values.update(forcing=catchment.forcing, source=catchment.origin, snow=r.snow, elevation_bands=bands,
                  at_bounds=";".join(f"{k}={v}" for k, v in (r.at_bounds or {}).items()) or None,
                  evaluations=r.evaluations,
                  steps=r.steps, starts=r.starts, stop_reason=r.stop_reason, seconds=r.seconds, done=r.done, error="")
    return "ok", values
