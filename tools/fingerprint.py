"""Bit-level fingerprint of everything the compiled modules compute, for refactors that must not change a bit.

Usage:
    python tools/fingerprint.py                 # one SHA-256 per group, then the total
    python tools/fingerprint.py --detail FILE   # also one line per record (name and digest), to diff two builds

Runs every public function of vardex_rs (and the daily-state functions of vardex._core) on the CAMELS sample
01022500 and on short edge-case series, in several array layouts, and hashes the raw bytes of each result, or
the type and message of the exception raised. Run it on the unmodified build first and keep the output; after a
change, the same output means no result, error kind or message moved.
"""
from __future__ import annotations

import argparse
import datetime as dt
import hashlib
import struct
import sys
from pathlib import Path

import numpy as np

import vardex._core as core
import vardex_rs
from vardex_rs.calibration.dds import Dds
from vardex_rs.calibration.sce import Sce

DATA = Path(__file__).resolve().parent.parent / "data" / "camels"
GAUGE = "01022500"
MODELS = [k for k in vars(vardex_rs.hydro) if not k.startswith("__")]


class Fingerprint:
    def __init__(self) -> None:
        self.groups: dict[str, hashlib._Hash] = {}
        self.records: list[tuple[str, str]] = []
        self.group = ""

    def start(self, group: str) -> None:
        self.group = group
        self.groups[group] = hashlib.sha256()

    def add(self, name: str, value: object) -> None:
        data = encode(value)
        h = self.groups[self.group]
        h.update(len(name).to_bytes(4, "little") + name.encode())
        h.update(len(data).to_bytes(8, "little") + data)
        self.records.append((f"{self.group}/{name}", hashlib.sha256(data).hexdigest()))

    def call(self, name: str, fn, *args, **kwargs):
        """Records fn's result, or the exception it raised; returns the result (None after an exception)."""
        try:
            result = fn(*args, **kwargs)
        except Exception as e:  # noqa: BLE001 - the exception is the outcome being recorded
            self.add(name, e)
            return None
        self.add(name, result)
        return result


def encode(value: object) -> bytes:
    """Raw bytes with enough framing that different values never collide."""
    if isinstance(value, BaseException):
        cause = value.__cause__
        text = f"{type(value).__module__}.{type(value).__qualname__}|{value}"
        if cause is not None:
            text += f"|cause {type(cause).__module__}.{type(cause).__qualname__}|{cause}"
        return b"E" + text.encode("utf-8", "surrogatepass")
    if isinstance(value, np.ndarray):
        head = f"A{value.dtype.str}{value.shape}{value.flags.c_contiguous}|".encode()
        return head + np.ascontiguousarray(value).tobytes()
    if isinstance(value, bool) or value is None:
        return b"B" + repr(value).encode()
    if isinstance(value, float):
        return b"F" + struct.pack("<d", value)
    if isinstance(value, int):
        return b"I" + str(value).encode()
    if isinstance(value, str):
        return b"S" + value.encode("utf-8", "surrogatepass")
    if isinstance(value, (tuple, list)):
        parts = [encode(v) for v in value]
        return b"T" + b"".join(len(p).to_bytes(8, "little") + p for p in parts)
    if isinstance(value, dict):
        parts = [encode(k) + encode(v) for k, v in value.items()]
        return b"D" + b"".join(len(p).to_bytes(8, "little") + p for p in parts)
    raise TypeError(f"cannot encode {type(value).__name__}")


def load_forcing() -> dict[str, object]:
    path = DATA / f"{GAUGE}_daymet_forcing.txt"
    lines = path.read_text().splitlines()
    latitude = float(lines[0])
    rows = np.loadtxt(path, skiprows=4)
    dates = [dt.date(int(y), int(m), int(d)) for y, m, d in rows[:, :3]]
    doy = np.array([d.timetuple().tm_yday for d in dates], dtype=np.uint64)
    tmean = (rows[:, 8] + rows[:, 9]) / 2.0
    prcp = np.ascontiguousarray(rows[:, 5])

    topo = [line.split(";") for line in (DATA / "camels_topo.txt").read_text().splitlines()]
    header, values = topo[0], next(r for r in topo[1:] if r[0] == GAUGE)
    area_km2 = float(values[header.index("area_gages2")])
    elevation = float(values[header.index("elev_mean")])
    flow = {}
    for line in (DATA / f"{GAUGE}_streamflow_qc.txt").read_text().splitlines():
        parts = line.split()
        cfs = float(parts[4])
        flow[dt.date(int(parts[1]), int(parts[2]), int(parts[3]))] = (
            np.nan if cfs == -999.0 else cfs * 0.028316846592 * 86400 / (area_km2 * 1e6) * 1000)
    observed = np.array([flow.get(d, np.nan) for d in dates])
    return {"prcp": prcp, "tmean": tmean, "doy": doy, "lat": latitude, "elev": elevation, "obs": observed}


def bounds_points(bounds: np.ndarray, rng: np.random.Generator, count: int) -> list[np.ndarray]:
    """Lower and upper corners, then `count` uniform points of the box."""
    lo, hi = bounds[:, 0].copy(), bounds[:, 1].copy()
    return [lo, hi] + [rng.uniform(lo, hi) for _ in range(count)]


def layouts(x: np.ndarray) -> dict[str, np.ndarray]:
    """The same values as a strided view, a reversed view of a reversed copy, and an unaligned buffer."""
    doubled = np.repeat(x, 2)[::2]
    reversed_view = x[::-1].copy()[::-1]
    raw = bytearray(x.nbytes + 1)
    unaligned = np.frombuffer(raw, dtype=x.dtype, count=x.size, offset=1)
    unaligned.setflags(write=True)
    unaligned[:] = x
    return {"strided": doubled, "reversed": reversed_view, "unaligned": unaligned}


def short_series() -> dict[str, tuple[np.ndarray, np.ndarray]]:
    f = lambda *xs: np.array(xs, dtype=np.float64)  # noqa: E731
    return {
        "one_day": (f(5.0), f(1.0)),
        "one_dry_day": (f(0.0), f(3.0)),
        "two_days": (f(10.0, 0.0), f(2.0, 2.0)),
        "p_equals_e": (f(2.0, 2.0, 2.0), f(2.0, 2.0, 2.0)),
        "zeros": (np.zeros(12), np.zeros(12)),
        "negative_zero": (f(-0.0, 1.0, -0.0), f(-0.0, -0.0, 1.0)),
        "tiny": (np.full(20, 5e-324), np.full(20, 1e-300)),
        "storm": (f(0.0, 300.0, 800.0, 0.0, 0.0, 0.0, 0.0, 0.0), f(0.5, 0.2, 0.1, 4.0, 4.0, 4.0, 4.0, 4.0)),
        "huge": (np.full(6, 1e200), np.full(6, 1e-3)),
        "drought": (np.zeros(40), np.full(40, 9.0)),
    }


def run_models(fp: Fingerprint, forcing: dict[str, object]) -> None:
    fp.start("models")
    p, e = forcing["prcp"], forcing["pet"]
    for index, name in enumerate(MODELS):
        module = getattr(vardex_rs.hydro, name)
        defaults, bounds = module.init()
        fp.add(f"{name}/init", (defaults, bounds))
        fp.add(f"{name}/names", (module.param_names, module.param_descriptions, module.param_descriptions_fr))
        points = [defaults] + bounds_points(bounds, np.random.default_rng(1000 + index), 5)
        for k, params in enumerate(points):
            fp.call(f"{name}/camels/{k}", module.simulate, params, p, e)
        fp.call(f"{name}/camels_wet", module.simulate, defaults, p * 4.0, e * 0.5)
        fp.call(f"{name}/camels_dry", module.simulate, defaults, p * 0.1, e * 3.0)
        for case, (sp, se) in short_series().items():
            for k, params in enumerate(points[:4]):
                fp.call(f"{name}/{case}/{k}", module.simulate, params, sp, se)

    fp.start("layouts")
    for name in MODELS:
        module = getattr(vardex_rs.hydro, name)
        defaults = module.init()[0]
        pl, el, dl = layouts(p), layouts(e), layouts(defaults)
        for kind in pl:
            fp.call(f"{name}/{kind}", module.simulate, dl[kind], pl[kind], el[kind])
        fp.call(f"{name}/keywords", module.simulate, pet=e, precipitation=p, params=defaults)
        fp.call(f"{name}/readonly", module.simulate, *(readonly(a) for a in (defaults, p, e)))
        fp.call(f"{name}/broadcast", module.simulate, defaults, np.broadcast_to(3.0, 500), np.broadcast_to(1.0, 500))

    fp.start("model_states")
    for index, name in enumerate(MODELS):
        defaults, bounds = getattr(vardex_rs.hydro, name).init()
        for k, params in enumerate([defaults] + bounds_points(bounds, np.random.default_rng(2000 + index), 1)):
            fp.call(f"{name}/{k}", core.model_states, name, params, p, e)
        fp.call(f"{name}/short", core.model_states, name, defaults, *short_series()["storm"])


def readonly(a: np.ndarray) -> np.ndarray:
    b = a.copy()
    b.setflags(write=False)
    return b


def run_snow_and_pet(fp: Fingerprint, forcing: dict[str, object]) -> None:
    p, t, doy, lat, elev = forcing["prcp"], forcing["tmean"], forcing["doy"], forcing["lat"], forcing["elev"]
    fp.start("cemaneige")
    snow = vardex_rs.snow.cemaneige
    defaults, bounds = snow.init()
    fp.add("init", (defaults, bounds, snow.param_names))
    layer_sets = {
        "one": np.array([elev]),
        "three": np.array([elev - 150.0, elev, elev + 150.0]),
        "five": np.array([200.0, 400.0, 600.0, 800.0, 1000.0]),
    }
    points = [defaults] + bounds_points(bounds, np.random.default_rng(3000), 4)
    for lname, layers in layer_sets.items():
        for k, params in enumerate(points):
            fp.call(f"{lname}/{k}", snow.simulate, params, p, t, doy, layers, elev)
        fp.call(f"{lname}/cold", snow.simulate, defaults, p, t - 15.0, doy, layers, elev)
        fp.call(f"{lname}/states", core.cemaneige_states, defaults, p, t, doy, layers, elev)
    layers = layer_sets["three"]
    for kind, arrays in zip(layouts(p), zip(*(layouts(a).values() for a in (defaults, p, t)))):
        fp.call(f"layout/{kind}", snow.simulate, arrays[0], arrays[1], arrays[2], doy, layers, elev)
    f = lambda *xs: np.array(xs, dtype=np.float64)  # noqa: E731
    u = lambda *xs: np.array(xs, dtype=np.uint64)  # noqa: E731
    fp.call("short", snow.simulate, defaults, f(10.0, 0.0, 5.0), f(-5.0, 0.0, 8.0), u(1, 366, 180), layers, elev)
    fp.call("int_median", snow.simulate, defaults, p, t, doy, layers, 100)

    fp.start("oudin")
    oudin = vardex_rs.pet.oudin
    for latitude in (lat, 0.0, -33.5, 66.0, 89.0, -89.0, 90.0, -90.0):
        fp.call(f"camels/{latitude}", oudin.simulate, t, doy, latitude)
    fp.call("hot_and_cold", oudin.simulate, f(-60.0, -5.0, -4.99, 0.0, 25.0, 45.0, 59.0), u(1, 2, 3, 100, 200, 365, 366),
            45.0)
    for kind, tl in layouts(t).items():
        fp.call(f"layout/{kind}", oudin.simulate, tl, doy, lat)
    fp.call("int_latitude", oudin.simulate, t, doy, 45)


def run_metrics(fp: Fingerprint, forcing: dict[str, object]) -> None:
    fp.start("metrics")
    m = vardex_rs.metrics
    fns = {"rmse": m.calculate_rmse, "nse": m.calculate_nse, "kge": m.calculate_kge}
    obs_all = forcing["obs"]
    obs = obs_all[np.isfinite(obs_all)]
    q = forcing["q_gr4j"][np.isfinite(obs_all)]
    rng = np.random.default_rng(4000)
    sims = {
        "gr4j": q,
        "noisy": obs * rng.uniform(0.5, 1.5, obs.size),
        "shifted": obs + 1.0,
        "negated": -obs,
        "same": obs.copy(),
    }
    transforms = {
        "none": lambda x: x,
        "sqrt": np.sqrt,
        "log": lambda x: np.log(np.maximum(x, 1e-5)),
    }
    for tname, tr in transforms.items():
        for sname, sim in sims.items():
            for fname, fn in fns.items():
                fp.call(f"{tname}/{sname}/{fname}", fn, tr(obs), tr(sim) if sname != "negated" else sim)
    f = lambda *xs: np.array(xs, dtype=np.float64)  # noqa: E731
    cases = {
        "short": (f(1.0, 2.0, 3.0), f(1.5, 2.0, 2.5)),
        "one": (f(1.0), f(2.0)),
        "constant_obs": (f(2.0, 2.0, 2.0), f(1.0, 2.0, 3.0)),
        "constant_sim": (f(1.0, 2.0, 3.0), f(2.0, 2.0, 2.0)),
        "zero_mean": (f(-1.0, 1.0, -2.0, 2.0), f(1.0, 2.0, 3.0, 4.0)),
        "nan_obs": (f(1.0, np.nan, 3.0), f(1.0, 2.0, 3.0)),
        "nan_both": (f(1.0, 2.0, np.inf), f(np.nan, 2.0, 3.0)),
        "inf_sim": (f(1.0, 2.0, 3.0), f(1.0, -np.inf, np.nan)),
        "overflow": (f(1e300, -1e300, 1e300), f(-1e300, 1e300, -1e300)),
        "length": (f(1.0, 2.0), f(1.0, 2.0, 3.0)),
        "empty": (f(), f()),
        "tiny": (f(1e-200, 2e-200, 3e-200), f(1e-200, 1e-200, 1e-200)),
    }
    for cname, (o, s) in cases.items():
        for fname, fn in fns.items():
            fp.call(f"case/{cname}/{fname}", fn, o, s)
    for kind, (ol, sl) in zip(layouts(obs), zip(layouts(obs).values(), layouts(q).values())):
        for fname, fn in fns.items():
            fp.call(f"layout/{kind}/{fname}", fn, ol, sl)
    fp.call("keywords", m.calculate_nse, simulations=q, observations=obs)


def calibration_forcing(forcing: dict[str, object], snow: bool) -> tuple:
    p, e, obs = forcing["prcp"], forcing["pet"], forcing["obs"]
    if not snow:
        return (p, None, e, None, None, None, obs, 365)
    elev = forcing["elev"]
    return (p, forcing["tmean"], e, forcing["doy"], np.array([elev - 100.0, elev, elev + 100.0]), elev, obs, 365)


def run_steps(fp: Fingerprint, name: str, calibrator, forcing: tuple, steps: int) -> None:
    fp.call(f"{name}/init", calibrator.init, *forcing)
    for k in range(steps):
        fp.call(f"{name}/step{k}", calibrator.step, *forcing)


def run_calibration(fp: Fingerprint, forcing: dict[str, object]) -> None:
    objectives = ["nse", "kge", "rmse"]
    transformations = ["none", "sqrt", "log"]
    plain, snowy = calibration_forcing(forcing, False), calibration_forcing(forcing, True)

    fp.start("sce")
    for index, model in enumerate(MODELS):
        objective = objectives[index % 3]
        transformation = transformations[(index // 3) % 3]
        s = Sce(model, None, objective, transformation, 2, 3, 0.1, 0.001, 10000, 100 + index)
        run_steps(fp, f"{model}/{objective}/{transformation}", s, plain, 2)
    for index, model in enumerate(["gr4j", "hbv", "simhyd", "xinanjiang"]):
        s = Sce(model, "cemaneige", objectives[index % 3], transformations[index % 3], 2, 3, 0.1, 0.001, 10000,
                200 + index)
        run_steps(fp, f"{model}/snow", s, snowy, 2)
    # To the end: convergence, then steps that only re-simulate the best.
    s = Sce("gr4j", None, "nse", "none", 3, 3, 0.01, 0.001, 400, 7)
    fp.call("gr4j/full/init", s.init, *plain)
    for k in range(200):
        result = fp.call(f"gr4j/full/step{k}", s.step, *plain)
        if result is None or result[0]:
            break
    fp.call("gr4j/full/after_done", s.step, *plain)
    short = tuple(a[:400] if isinstance(a, np.ndarray) and a.size == plain[0].size else a for a in plain)
    s = Sce("gr4j", None, "kge", "log", 2, 2, 0.1, 0.001, 10000, 9)
    run_steps(fp, "gr4j/reinit_short", s, plain, 1)
    run_steps(fp, "gr4j/reinit_short/short", s, short, 1)
    s = Sce("gr4j", None, "nse", "none", 1, 2, 0.1, 0.001, 10000, 11)
    fp.call("gr4j/step_before_init", s.step, *plain)
    s = Sce("hymod", None, "NSE", "Sqrt", 2, 2, 0.1, 0.001, 10000, 12)
    run_steps(fp, "hymod/folded_names", s, plain, 1)
    layout_forcing = tuple(layouts(a)["strided"] if isinstance(a, np.ndarray) else a for a in snowy)
    s = Sce("gr4j", "cemaneige", "nse", "none", 2, 2, 0.1, 0.001, 10000, 13)
    run_steps(fp, "gr4j/snow/strided", s, layout_forcing, 1)

    dry = (np.zeros_like(plain[0]),) + plain[1:]
    s = Sce("gr4j", None, "kge", "log", 2, 2, 0.1, 0.001, 10000, 14)
    run_steps(fp, "gr4j/no_rain", s, dry, 2)

    fp.start("dds")
    for objective in objectives:
        d = Dds("gr4j", None, objective, "log", 0.2, 100, 15)
        run_steps(fp, f"gr4j/no_rain/{objective}", d, dry, 4)
    for index, model in enumerate(MODELS):
        objective = objectives[(index + 1) % 3]
        transformation = transformations[(index // 3 + 1) % 3]
        d = Dds(model, None, objective, transformation, 0.2, 50, 300 + index)
        run_steps(fp, f"{model}/{objective}/{transformation}", d, plain, 12)
    for index, model in enumerate(["gr4j", "hbv", "simhyd", "xinanjiang"]):
        d = Dds(model, "cemaneige", objectives[index % 3], transformations[(index + 1) % 3], 0.3, 50, 400 + index)
        run_steps(fp, f"{model}/snow", d, snowy, 8)
    d = Dds("gr4j", None, "kge", "none", 0.2, 6, 5)
    run_steps(fp, "gr4j/to_done", d, plain, 8)
    d = Dds("gr4j", None, "nse", "none", 1.0, 100, 6)
    fp.call("gr4j/step_before_init", d.step, *plain)
    d = Dds("tank", "cemaneige", "rmse", "log", 0.2, 100, 8)
    run_steps(fp, "tank/snow/strided", d, layout_forcing, 3)


def run_errors(fp: Fingerprint, forcing: dict[str, object]) -> None:
    fp.start("errors")
    f = lambda *xs: np.array(xs, dtype=np.float64)  # noqa: E731
    u = lambda *xs: np.array(xs, dtype=np.uint64)  # noqa: E731
    gr4j = vardex_rs.hydro.gr4j
    good = gr4j.init()[0]
    p3, e3 = f(1.0, 2.0, 3.0), f(0.5, 0.5, 0.5)
    cases = {
        "list": (good.tolist(), p3, e3),
        "float32": (good.astype(np.float32), p3, e3),
        "int64": (good, p3.astype(np.int64), e3),
        "2d": (good, p3.reshape(1, 3), e3),
        "scalar": (good, np.float64(1.0), e3),
        "byteswapped": (good, p3.astype(">f8"), e3),
        "count": (good[:3], p3, e3),
        "count_and_bounds": (f(1e9, 0.0, 0.0), p3, f(1.0)),
        "bounds": (f(5.0, 0.0, 50.0, 2.0), p3, e3),
        "bounds_nan": (f(300.0, np.nan, 50.0, 2.0), p3, e3),
        "bounds_and_length": (f(5.0, 0.0, 50.0, 2.0), p3, f(1.0)),
        "length": (good, p3, f(1.0, 2.0)),
        "empty": (good, f(), f()),
        "nan_p": (good, f(1.0, np.nan, 3.0), e3),
        "inf_pet_negative_p": (good, f(1.0, -2.0, 3.0), f(0.5, np.inf, 0.5)),
        "negative_p_and_pet": (good, f(1.0, 2.0, -3.0), f(-0.5, 0.5, 0.5)),
        "negative_pet": (good, p3, f(0.5, -1e-300, 0.5)),
    }
    for case, args in cases.items():
        fp.call(f"gr4j/{case}", gr4j.simulate, *args)
    fp.call("gr4j/missing_arg", gr4j.simulate, good, p3)
    fp.call("gr4j/extra_kw", gr4j.simulate, good, p3, e3, extra=1)
    for name in MODELS:
        module = getattr(vardex_rs.hydro, name)
        defaults, bounds = module.init()
        above = bounds[:, 1] + 1.0
        fp.call(f"{name}/above", module.simulate, above, p3, e3)
        fp.call(f"{name}/count", module.simulate, np.append(defaults, 1.0), p3, e3)
        fp.call(f"{name}/nan_pet", module.simulate, defaults, p3, f(0.5, 0.5, np.nan))
        fp.call(f"{name}/states_unknown", core.model_states, name.upper(), defaults, p3, e3)

    snow = vardex_rs.snow.cemaneige
    sd = snow.init()[0]
    layers = f(100.0, 200.0)
    snow_cases = {
        "count": (sd[:2], p3, p3, u(1, 2, 3), layers, 150.0),
        "bounds": (f(2.0, 1.0, 1.0), p3, p3, u(1, 2, 3), layers, 150.0),
        "length": (sd, p3, f(1.0), u(1, 2, 3), layers, 150.0),
        "doy_zero": (sd, p3, p3, u(1, 0, 3), layers, 150.0),
        "doy_367": (sd, p3, p3, u(1, 367, 3), layers, 150.0),
        "too_cold": (sd, p3, f(1.0, -300.0, 1.0), u(1, 2, 3), layers, 150.0),
        "nan_temperature": (sd, p3, f(1.0, np.nan, 1.0), u(1, 2, 3), layers, 150.0),
        "negative_p": (sd, f(1.0, -1.0, 1.0), p3, u(1, 2, 3), layers, 150.0),
        "no_layers": (sd, p3, p3, u(1, 2, 3), f(), 150.0),
        "nan_layer": (sd, p3, p3, u(1, 2, 3), f(100.0, np.nan), 150.0),
        "nan_median": (sd, p3, p3, u(1, 2, 3), layers, float("nan")),
        "empty": (sd, f(), f(), u(), layers, 150.0),
        "doy_float": (sd, p3, p3, p3, layers, 150.0),
        "median_str": (sd, p3, p3, u(1, 2, 3), layers, "x"),
    }
    for case, args in snow_cases.items():
        fp.call(f"cemaneige/{case}", snow.simulate, *args)
        fp.call(f"cemaneige_states/{case}", core.cemaneige_states, *args)

    oudin = vardex_rs.pet.oudin
    oudin_cases = {
        "length": (p3, u(1, 2), 45.0),
        "latitude": (p3, u(1, 2, 3), 91.0),
        "latitude_nan": (p3, u(1, 2, 3), float("nan")),
        "doy": (p3, u(1, 400, 3), 45.0),
        "temperature": (f(1.0, 2.0, 1e6), u(1, 2, 3), 45.0),
        "nan_temperature": (f(np.nan, 2.0, 3.0), u(1, 2, 3), 45.0),
        "empty": (f(), u(), 45.0),
        "latitude_none": (p3, u(1, 2, 3), None),
        "doy_int64": (p3, np.array([1, 2, 3]), 45.0),
    }
    for case, args in oudin_cases.items():
        fp.call(f"oudin/{case}", oudin.simulate, *args)

    fp.call("metrics/list", vardex_rs.metrics.calculate_nse, [1.0, 2.0], p3)
    fp.call("metrics/int", vardex_rs.metrics.calculate_kge, p3, p3.astype(np.int32))
    fp.call("metrics/missing", vardex_rs.metrics.calculate_rmse, p3)

    plain = calibration_forcing(forcing, False)
    sce_args = ("gr4j", None, "nse", "none", 2, 3, 0.1, 0.001, 1000, 1)
    constructors = {
        "sce/model": (Sce, ("nope",) + sce_args[1:]),
        "sce/snow": (Sce, ("gr4j", "snow17") + sce_args[2:]),
        "sce/objective": (Sce, sce_args[:2] + ("NSEE",) + sce_args[3:]),
        "sce/transformation": (Sce, sce_args[:3] + ("exp",) + sce_args[4:]),
        "sce/objective_and_model": (Sce, ("nope", None, "bad") + sce_args[3:]),
        "sce/complexes": (Sce, sce_args[:4] + (0,) + sce_args[5:]),
        "sce/k_stop": (Sce, sce_args[:5] + (0,) + sce_args[6:]),
        "sce/negative": (Sce, sce_args[:4] + (-1,) + sce_args[5:]),
        "sce/huge": (Sce, sce_args[:4] + (2**62,) + sce_args[5:]),
        "sce/threshold_str": (Sce, sce_args[:6] + ("x",) + sce_args[7:]),
        "sce/seed_overflow": (Sce, sce_args[:9] + (2**64,)),
        "dds/r": (Dds, ("gr4j", None, "nse", "none", 0.0, 100, 1)),
        "dds/r_nan": (Dds, ("gr4j", None, "nse", "none", float("nan"), 100, 1)),
        "dds/max": (Dds, ("gr4j", None, "nse", "none", 0.2, 1, 1)),
        "dds/model": (Dds, ("nope", None, "nse", "none", 0.2, 100, 1)),
        "dds/objective": (Dds, ("gr4j", None, "x", "none", 0.2, 100, 1)),
    }
    for case, (cls, args) in constructors.items():
        fp.call(case, lambda c=cls, a=args: (c(*a), "made")[1])

    p, e, obs = plain[0], plain[2], plain[6]
    elev = forcing["elev"]
    bad_forcings = {
        "length": (p, None, e[:-1], None, None, None, obs, 365),
        "no_obs": (p, None, e, None, None, None, np.full(p.size, np.nan), 365),
        "warmup_all": (p, None, e, None, None, None, obs, p.size),
        "obs_length": (p, None, e, None, None, None, obs[:-5], 365),
        "negative_p": (-p, None, e, None, None, None, obs, 365),
        "temperature_length": (p, forcing["tmean"][:-1], e, None, None, None, obs, 365),
        "doy_wrong_type": (p, None, e, forcing["doy"].astype(np.int64), None, None, obs, 365),
        "warmup_negative": (p, None, e, None, None, None, obs, -1),
    }
    snow_bad = {
        "missing_snow": (p, forcing["tmean"], e, forcing["doy"], None, elev, obs, 365),
        "snow_temperature": (p, forcing["tmean"] - 400.0, e, forcing["doy"], f(elev), elev, obs, 365),
    }
    for cls, name in ((Sce, "sce"), (Dds, "dds")):
        for case, args in bad_forcings.items():
            c = cls("gr4j", None, "nse", "none", 2, 3, 0.1, 0.001, 1000, 1) if cls is Sce else cls(
                "gr4j", None, "nse", "none", 0.2, 100, 1)
            fp.call(f"{name}/init/{case}", c.init, *args)
            fp.call(f"{name}/step/{case}", c.step, *args)
        for case, args in snow_bad.items():
            c = cls("gr4j", "cemaneige", "nse", "none", 2, 3, 0.1, 0.001, 1000, 1) if cls is Sce else cls(
                "gr4j", "cemaneige", "nse", "none", 0.2, 100, 1)
            fp.call(f"{name}/init/{case}", c.init, *args)
            fp.call(f"{name}/step/{case}", c.step, *args)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--detail", metavar="FILE", help="write one line per record to FILE")
    args = parser.parse_args()

    forcing = load_forcing()
    forcing["pet"] = vardex_rs.pet.oudin.simulate(forcing["tmean"], forcing["doy"], forcing["lat"])
    forcing["q_gr4j"] = vardex_rs.hydro.gr4j.simulate(vardex_rs.hydro.gr4j.init()[0], forcing["prcp"], forcing["pet"])

    fp = Fingerprint()
    fp.start("inputs")
    fp.add("forcing", {k: v for k, v in forcing.items()})
    run_models(fp, forcing)
    run_snow_and_pet(fp, forcing)
    run_metrics(fp, forcing)
    run_calibration(fp, forcing)
    run_errors(fp, forcing)

    total = hashlib.sha256()
    for group, h in fp.groups.items():
        digest = h.hexdigest()
        total.update(group.encode() + b"=" + digest.encode() + b"\n")
        print(f"{group:14s} {digest}")
    print(f"{'total':14s} {total.hexdigest()}  ({len(fp.records)} records)")
    if args.detail:
        Path(args.detail).write_text("".join(f"{name} {digest}\n" for name, digest in fp.records))


if __name__ == "__main__":
    sys.exit(main())
