"""vardex_rs against independent peer packages on the same data, interleaved in one run.

Usage:
    pip install ".[peers]"            # the peers, into a venv of their own (not needed by CI or the tests)
    python bench/peers.py [--rounds N] [--samples N] [--cold-rounds N] [--markdown]

Cases: GR4J and CemaNeige (grsuite); HBV, HYMOD, GR4J (lumod); GR4J, HBV (hydrobricks); NSE, KGE, RMSE
(hydroeval, HydroErr, plain NumPy); Oudin PET (pyet); a full SCE-UA calibration of GR4J against spotpy's
SCE-UA driving the fastest peer GR4J; cold start (a fresh interpreter: import and first call).

Every side of a case runs in the same process, in rotating order within each round; each round keeps the best
of --samples calls per side and forms the ratio peer / vardex (above 1: vardex is faster). Times are CPU time
(time.process_time; for a cold start, the child process's), because on a shared machine wall time mostly
measures the wait for a core. The table gives the best-round times and the median and range of the per-round
ratios; the load averages are printed with it. A peer that does not install or import here is reported as missing, not skipped
silently. Data: CAMELS 01022500, 2000-2002 repeated (bench/benchlib.py); models at vardex's default
(midpoint) parameters where the peer has the same parameter, at the peer's defaults otherwise.
"""
from __future__ import annotations

import argparse
import importlib
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

import benchlib
from benchlib import Table

YEARS = 10
METRIC_VALUES = 36500
LATITUDE = 44.6  # 01022500, degrees
SNOW_OFFSETS = (-200.0, 0.0, 200.0)


@dataclass
class Case:
    name: str
    unit: str  # what one call is timed in
    sides: dict[str, Callable[[], Any]] = field(default_factory=dict)
    missing: dict[str, str] = field(default_factory=dict)  # peer -> why it is not measured
    note: str = ""


def optional(module: str) -> Any:
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return importlib.import_module(module)
    except Exception as e:  # noqa: BLE001 - any failure to import means the peer is not measured
        return f"{type(e).__name__}: {e}"


def data() -> dict[str, Any]:
    import numpy as np
    import pandas as pd

    s = benchlib.series(365 * YEARS)
    s["dates"] = pd.date_range("2000-01-01", periods=len(s["precipitation"]), freq="D")
    s["observed"] = np.where(np.isfinite(s["observed"]), s["observed"], 0.0)
    return s


def gr4j_params() -> Any:
    """vardex's defaults, but x4 = 3 d, inside every peer's range (hydrobricks stops at 4)."""
    import vardex_rs

    x = vardex_rs.hydro.gr4j.init()[0].copy()
    x[3] = 3.0
    return x


# --- simulate ----------------------------------------------------------------------------------------------

def gr4j_case(d: dict[str, Any]) -> Case:
    import numpy as np

    import vardex_rs

    p, pet = d["precipitation"], d["pet"]
    x = gr4j_params()
    case = Case("GR4J simulate, 10 years", "ms")
    case.sides["vardex"] = lambda: vardex_rs.hydro.gr4j.simulate(x, p, pet)

    gs = optional("grsuite")
    if isinstance(gs, str):
        case.missing["grsuite"] = gs
    else:
        im = gs.InputsModel(d["dates"].to_numpy(), precip=p, pot_evap=pet)
        ro = gs.RunOptions(im, "GR4J", ind_period_run=np.arange(len(p)))
        case.sides["grsuite"] = lambda: gs.run_model_gr4j(im, ro, list(x))["Qsim"]
        case.sides["grsuite, compiled function"] = grsuite_kernel(gs, p, pet, ro)
        case.note = ("grsuite's inputs are built once, outside the timing; its compiled function is its time loop "
                     "without the public call's checks and output assembly. Not like for like per day: grsuite's "
                     "GR4J takes square roots where vardex's formulation calls pow (three a day), and the two "
                     "agree only to an NSE of about 0.9 at equal parameters")

    lm = optional("lumod")
    if isinstance(lm, str):
        case.missing["lumod"] = lm
    else:
        frame = lumod_forcing(d)
        model = lm.models.GR4J(area=100, lat=LATITUDE)
        params = dict(x1=x[0], x2=x[1], x3=x[2], x4=x[3])
        case.sides["lumod"] = lambda: model.run(frame, **params)["qt"]

    hb = hydrobricks_model("gr4j", d, case)
    if hb is not None:
        case.sides["hydrobricks"] = hb
    return case


def grsuite_kernel(gs: Any, p: Any, pet: Any, ro: Any) -> Callable[..., Any]:
    """grsuite's compiled GR4J time loop on inputs built once: a function (params) -> flow."""
    import numpy as np

    kernels = importlib.import_module("grsuite._kernels")
    models = importlib.import_module("grsuite.models")
    column = models.MODEL_OUTPUTS["GR4J"].index("Qsim")
    ini = np.asarray(ro.ini_states, dtype=float)[:models.N_STATES_BASE].copy()
    prec, evap = np.ascontiguousarray(p, dtype=float), np.ascontiguousarray(pet, dtype=float)
    x = np.asarray(gr4j_params(), dtype=float)
    return lambda params=x: kernels.run_gr4j(prec, evap, np.asarray(params, dtype=float), ini)[0][:, column]


def lumod_forcing(d: dict[str, Any]) -> Any:
    import pandas as pd

    return pd.DataFrame({"prec": d["precipitation"], "tmean": d["temperature"], "pet": d["pet"]},
                        index=d["dates"])


def lumod_case(model_name: str, d: dict[str, Any]) -> Case:
    import vardex_rs

    p, pet = d["precipitation"], d["pet"]
    module = getattr(vardex_rs.hydro, model_name)
    x = module.init()[0]
    case = Case(f"{model_name.upper()} simulate, 10 years", "ms",
                note="each package at its own default parameters (the two models differ in structure)")
    case.sides["vardex"] = lambda: module.simulate(x, p, pet)
    lm = optional("lumod")
    if isinstance(lm, str):
        case.missing["lumod"] = lm
    else:
        frame = lumod_forcing(d)
        model = getattr(lm.models, model_name.upper())(area=100, lat=LATITUDE)
        case.sides["lumod"] = lambda: model.run(frame)["qt"]
    if model_name == "hbv":
        hb = hydrobricks_model("hbv", d, case)
        if hb is not None:
            case.sides["hydrobricks"] = hb
    return case


def hydrobricks_model(name: str, d: dict[str, Any], case: Case) -> Callable[[], Any] | None:
    """A one-unit lumped hydrobricks model run on the same forcing, or None (the reason in case.missing)."""
    hb = optional("hydrobricks")
    if isinstance(hb, str):
        case.missing["hydrobricks"] = hb
        return None
    try:
        return hydrobricks_setup(hb, name, d)
    except Exception as e:  # noqa: BLE001 - reported in the table as the reason it is not measured
        case.missing["hydrobricks"] = f"{type(e).__name__}: {e}"
        return None


HYDROBRICKS = {  # model class, parameter values by alias (GR4J's as vardex's; HBV at mid-range values)
    "gr4j": ("GR4J", None),
    "hbv": ("HBV96", {"cfmax": 4.0, "beta": 2.0, "perc": 2.0, "k_uz": 0.1, "alpha": 1.0, "k_lz": 0.05,
                      "fc": 250.0, "lp": 0.9, "maxbas": 3.0}),
}
_scratch = tempfile.TemporaryDirectory(prefix="vardex-peers-")  # hydrobricks reads and writes files; removed at exit


def hydrobricks_setup(hb: Any, name: str, d: dict[str, Any]) -> Callable[[], Any]:
    """One hydro unit (a lumped catchment) with the station forcing used as is."""
    import pandas as pd

    from hydrobricks import models

    root = Path(_scratch.name) / name
    root.mkdir()
    (root / "units.csv").write_text("id,elevation,area\n-,m,m2\n1,100,100000000\n")
    pd.DataFrame({"date": d["dates"].strftime("%Y-%m-%d"), "P": d["precipitation"], "T": d["temperature"],
                  "E": d["pet"]}).to_csv(root / "forcing.csv", index=False)
    units = hb.HydroUnits()
    units.load_from_csv(root / "units.csv", column_elevation="elevation", column_area="area")
    forcing = hb.Forcing(units)
    forcing.load_station_data_from_csv(root / "forcing.csv", "date", "%Y-%m-%d",
                                       {"precipitation": "P", "temperature": "T", "pet": "E"})
    for variable in ("precipitation", "temperature", "pet"):
        forcing.spatialize_from_station_data(variable, method="constant")
    cls, values = HYDROBRICKS[name]
    model = getattr(models, cls)()
    model.setup(spatial_structure=units, output_path=str(root), start_date=str(d["dates"][0].date()),
                end_date=str(d["dates"][-1].date()))
    params = model.generate_parameters()
    if values is None:
        x = gr4j_params()
        values = {"X1": x[0], "X2": x[1], "X3": x[2], "X4": x[3]}
    params.set_values(values)

    def run() -> Any:
        model.run(parameters=params, forcing=forcing)
        return model.get_outlet_discharge()

    return run


def cemaneige_case(d: dict[str, Any]) -> Case:
    import numpy as np

    import vardex_rs

    p, t, pet, doy = d["precipitation"], d["temperature"], d["pet"], d["day_of_year"]
    median = d["median_elevation"]
    bands = median + np.array(SNOW_OFFSETS)
    snow_x = vardex_rs.snow.cemaneige.init()[0]
    x = gr4j_params()
    case = Case("CemaNeige + GR4J simulate, 10 years, 3 elevation bands", "ms",
                note="grsuite's elevation-band series are built once, outside the timing; vardex's call "
                     "extrapolates to its bands every time")

    def ours() -> Any:
        liquid = vardex_rs.snow.cemaneige.simulate(snow_x, p, t, doy, bands, median)
        return vardex_rs.hydro.gr4j.simulate(x, liquid, pet)

    case.sides["vardex"] = ours
    gs = optional("grsuite")
    if isinstance(gs, str):
        case.missing["grsuite"] = gs
        return case
    hypsometry = np.linspace(median - 600.0, median + 600.0, 101)
    catchment = gs.Catchment(d["dates"].to_numpy(), p, pet, temperature=t, hypsometry=hypsometry,
                             elevation=median, n_layers=3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        im = catchment.inputs("CemaNeigeGR4J")
        ro = gs.RunOptions(im, "CemaNeigeGR4J", ind_period_run=np.arange(len(p)))
    params = list(x) + [snow_x[0], snow_x[1]]
    case.sides["grsuite"] = lambda: gs.run_model_cemaneige_gr4j(im, ro, params)["Qsim"]
    return case


def oudin_case(d: dict[str, Any]) -> Case:
    import math

    import numpy as np
    import pandas as pd

    import vardex_rs

    n = METRIC_VALUES
    t = np.resize(d["temperature"], n)
    doy = np.resize(d["day_of_year"], n)
    case = Case("Oudin PET, 36,500 days", "ms", note="pyet takes a dated pandas Series and returns one")
    case.sides["vardex"] = lambda: vardex_rs.pet.oudin.simulate(t, doy, LATITUDE)
    pyet = optional("pyet")
    if isinstance(pyet, str):
        case.missing["pyet"] = pyet
    else:
        series = pd.Series(t, index=pd.date_range("1900-01-01", periods=n, freq="D"))
        case.sides["pyet"] = lambda: pyet.oudin(series, math.radians(LATITUDE))
    return case


# --- metrics -----------------------------------------------------------------------------------------------

def metric_cases(d: dict[str, Any]) -> list[Case]:
    import numpy as np

    import vardex_rs

    obs = np.resize(d["observed"], METRIC_VALUES)
    sim = obs * 0.9 + np.roll(obs, 1) * 0.15
    m = vardex_rs.metrics
    he = optional("hydroeval")
    herr = optional("HydroErr")

    def np_nse() -> float:
        return 1.0 - np.sum((obs - sim) ** 2) / np.sum((obs - obs.mean()) ** 2)

    def np_rmse() -> float:
        return float(np.sqrt(np.mean((obs - sim) ** 2)))

    def np_kge() -> float:
        r = np.corrcoef(obs, sim)[0, 1]
        return 1.0 - np.sqrt((r - 1) ** 2 + (sim.std() / obs.std() - 1) ** 2 + (sim.mean() / obs.mean() - 1) ** 2)

    cases = []
    for name, ours, plain, he_name, herr_name in (
            ("NSE", m.calculate_nse, np_nse, "nse", "nse"),
            ("KGE", m.calculate_kge, np_kge, "kge", "kge_2009"),
            ("RMSE", m.calculate_rmse, np_rmse, "rmse", "rmse")):
        case = Case(f"{name}, 36,500 values", "us")
        case.sides["vardex"] = lambda f=ours: f(obs, sim)
        case.sides["NumPy"] = plain
        if isinstance(he, str):
            case.missing["hydroeval"] = he
        else:
            case.sides["hydroeval"] = lambda f=getattr(he, he_name): he.evaluator(f, sim, obs)
        if isinstance(herr, str):
            case.missing["HydroErr"] = herr
        else:
            case.sides["HydroErr"] = lambda f=getattr(herr, herr_name): f(sim, obs)
        cases.append(case)
    return cases


# --- timing ------------------------------------------------------------------------------------------------

UNIT_SCALE = {"us": 1e6, "ms": 1e3, "s": 1.0}


def run_cases(cases: list[Case], rounds: int, samples: int) -> dict[str, dict[str, list[float]]]:
    """Per case and side, the best time of each round (sides in rotating order)."""
    times: dict[str, dict[str, list[float]]] = {c.name: {s: [] for s in c.sides} for c in cases}
    for c in cases:
        for call in c.sides.values():
            call()  # compiles what the peer compiles on first use, outside the timing
    for r in range(rounds):
        for c in cases:
            sides = list(c.sides.items())
            sides = sides[r % len(sides):] + sides[:r % len(sides)]
            for side, call in sides:
                times[c.name][side].append(benchlib.best_cpu_time(call, samples))
        print(f"round {r + 1}/{rounds}, load {benchlib.load()}", file=sys.stderr)
    return times


def ratio_cell(ours: list[float], theirs: list[float]) -> str:
    per_round = [t / o for o, t in zip(ours, theirs)]
    return f"{statistics.median(per_round):.2f} ({min(per_round):.2f}–{max(per_round):.2f})"


def case_rows(cases: list[Case], times: dict[str, dict[str, list[float]]]) -> list[list[str]]:
    rows = []
    for c in cases:
        scale = UNIT_SCALE[c.unit]
        ours = times[c.name]["vardex"]
        for side in c.sides:
            if side == "vardex":
                continue
            theirs = times[c.name][side]
            rows.append([c.name, side, f"{min(ours) * scale:,.3g} {c.unit}", f"{min(theirs) * scale:,.3g} {c.unit}",
                         ratio_cell(ours, theirs)])
        for side, why in c.missing.items():
            rows.append([c.name, side, f"{min(ours) * scale:,.3g} {c.unit}", "not measured", why[:120]])
    return rows


# --- calibration -------------------------------------------------------------------------------------------

def calibration_rows(d: dict[str, Any], peer_gr4j: tuple[str, Callable[..., Any]] | None,
                     rounds: int) -> list[list[str]]:
    """Our SCE-UA (vardex.calibrate's settings) to done against spotpy's sceua with the same settings driving
    the fastest peer GR4J; seconds to done, evaluations, evaluations per second."""
    import numpy as np

    import bench_calibration

    spotpy = optional("spotpy")
    if isinstance(spotpy, str):
        return [["SCE-UA calibration", "spotpy", "", "not measured", spotpy[:120]]]
    if peer_gr4j is None:
        return [["SCE-UA calibration", "spotpy", "", "not measured", "no peer GR4J ran here"]]
    peer_name, make_peer = peer_gr4j
    f = bench_calibration.forcing(YEARS, False)
    p, _, pet, _, _, _, obs, warmup = f
    keep = np.isfinite(obs[warmup:])
    run_peer = make_peer(p, pet)     # the peer's inputs built once, as ours are prepared once per call
    # vardex.calibrate's defaults, as one SCE-UA run on both sides (no restart, the same budget).
    from vardex import _core
    from vardex.settings import Settings

    settings = Settings.build(optimiser="sce", seeds=bench_calibration.SEED, restart=False)
    o = settings.options
    complexes, k_stop = int(o["n_complexes"]), int(o["k_stop"])
    pcento, peps = float(o["p_convergence_threshold"]), float(o["geometric_range_threshold"])
    budget = settings.max_evaluations

    import vardex_rs

    bounds = vardex_rs.hydro.gr4j.init()[1]
    lower, upper = bounds[:, 0], bounds[:, 1]

    class Setup:
        def __init__(self) -> None:
            self.params = [spotpy.parameter.Uniform(f"x{i + 1}", low=float(lo), high=float(hi))
                           for i, (lo, hi) in enumerate(zip(lower, upper))]
            self.evaluations = 0

        def parameters(self) -> Any:
            return spotpy.parameter.generate(self.params)

        def simulation(self, x: Any) -> Any:
            self.evaluations += 1
            return run_peer(np.asarray(x, dtype=float))[warmup:][keep]

        def evaluation(self) -> Any:
            return obs[warmup:][keep]

        def objectivefunction(self, simulation: Any, evaluation: Any) -> float:
            return -spotpy.objectivefunctions.nashsutcliffe(evaluation, simulation)

    def spotpy_run() -> tuple[float, int]:
        setup = Setup()
        sampler = spotpy.algorithms.sceua(setup, dbformat="ram", save_sim=False, random_state=bench_calibration.SEED)
        start = time.process_time()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            import contextlib
            import io

            with contextlib.redirect_stdout(io.StringIO()):
                sampler.sample(budget, ngs=complexes, kstop=k_stop, peps=peps, pcento=pcento)
        return time.process_time() - start, setup.evaluations

    def ours_run() -> tuple[float, int]:
        start = time.process_time()
        engine = _core.Sce("gr4j", None, "nse", "none", complexes, k_stop, pcento, peps, budget,
                           bench_calibration.SEED)
        engine.init(*f)
        while not engine.step(*f)[0]:
            pass
        elapsed = time.process_time() - start
        return elapsed, complexes * 9 + int(engine.evaluations)     # 9 = 2 x 4 parameters + 1 per complex

    best: dict[str, tuple[float, int]] = {}
    for r in range(rounds):
        for side, run in (("vardex", ours_run), ("spotpy", spotpy_run))[:: 1 if r % 2 == 0 else -1]:
            seconds, evaluations = run()
            if side not in best or seconds < best[side][0]:
                best[side] = (seconds, evaluations)
        print(f"calibration round {r + 1}/{rounds}, load {benchlib.load()}", file=sys.stderr)
    (s_ours, n_ours), (s_peer, n_peer) = best["vardex"], best["spotpy"]
    return [
        [f"SCE-UA calibration to done, GR4J, 10 years ({complexes} complexes, k_stop {k_stop}, "
         f"p_convergence_threshold {pcento}, budget {budget})", f"spotpy + {peer_name}", f"{s_ours:.3f} s ({n_ours} ev.)",
         f"{s_peer:.2f} s ({n_peer} ev.)", f"{s_peer / s_ours:.1f}"],
        ["the same, per evaluation", f"spotpy + {peer_name}", f"{s_ours / n_ours * 1e6:,.0f} us",
         f"{s_peer / n_peer * 1e6:,.0f} us", f"{(s_peer / n_peer) / (s_ours / n_ours):.1f}"],
    ]


def fastest_peer_gr4j(case: Case, times: dict[str, dict[str, list[float]]]) -> tuple[str, Callable[..., Any]] | None:
    """The peer whose public GR4J call was fastest, as a factory (precipitation, pet) -> (params -> flow)."""
    import numpy as np

    peers = [s for s in case.sides if s != "vardex" and "compiled" not in s]    # the public calls, as users make them
    if not peers:
        return None
    name = min(peers, key=lambda s: min(times[case.name][s]))
    if name == "grsuite":
        gs = importlib.import_module("grsuite")
        dates = np.datetime64("2000-01-01") + np.arange(365 * YEARS + 1)

        def make_grsuite(p: Any, pet: Any) -> Callable[[Any], Any]:
            im = gs.InputsModel(dates[: len(p)], precip=p, pot_evap=pet)
            ro = gs.RunOptions(im, "GR4J", ind_period_run=np.arange(len(p)))
            return lambda x: gs.run_model_gr4j(im, ro, list(x))["Qsim"]

        return name, make_grsuite
    if name == "lumod":
        import pandas as pd

        lm = importlib.import_module("lumod")
        model = lm.models.GR4J(area=100, lat=LATITUDE)

        def make_lumod(p: Any, pet: Any) -> Callable[[Any], Any]:
            frame = pd.DataFrame({"prec": p, "tmean": p * 0.0, "pet": pet},
                                 index=pd.date_range("2000-01-01", periods=len(p), freq="D"))
            return lambda x: model.run(frame, x1=x[0], x2=x[1], x3=x[2], x4=x[3])["qt"].to_numpy()

        return name, make_lumod
    return None


# --- cold start --------------------------------------------------------------------------------------------

COLD = {
    "python": "pass",
    "vardex": "import numpy as np; import vardex_rs; x = vardex_rs.hydro.gr4j.init()[0]; "
              "vardex_rs.hydro.gr4j.simulate(x, np.ones(3650), np.ones(3650))",
    "grsuite": "import numpy as np; import grsuite as g; n = 3650; "
               "im = g.InputsModel(np.datetime64('2000-01-01') + np.arange(n), precip=np.ones(n), "
               "pot_evap=np.ones(n)); g.run_model_gr4j(im, g.RunOptions(im, 'GR4J', ind_period_run=np.arange(n)), "
               "[350.0, 0.0, 90.0, 1.7])",
    "lumod": "import numpy as np, pandas as pd; import lumod; n = 3650; "
             "f = pd.DataFrame({'prec': np.ones(n), 'tmean': np.ones(n), 'pet': np.ones(n)}, "
             "index=pd.date_range('2000-01-01', periods=n)); lumod.models.GR4J().run(f)",
    "hydroeval": "import numpy as np; import hydroeval as he; x = np.arange(1.0, 101.0); he.evaluator(he.nse, x, x[::-1])",
    "HydroErr": "import numpy as np; import HydroErr as h; x = np.arange(1.0, 101.0); h.nse(x, x[::-1])",
    "pyet": "import numpy as np, pandas as pd; import pyet; "
            "pyet.oudin(pd.Series(np.ones(365), index=pd.date_range('2000-01-01', periods=365)), 0.7)",
    "spotpy": "import spotpy",
}
COLD_WHAT = {
    "python": "the interpreter alone",
    "vardex": "import vardex_rs, GR4J on 10 years",
    "grsuite": "import, GR4J on 10 years",
    "lumod": "import, GR4J on 10 years",
    "hydroeval": "import, NSE",
    "HydroErr": "import, NSE",
    "pyet": "import, Oudin on a year",
    "spotpy": "import",
}


def cold_rows(rounds: int) -> list[list[str]]:
    best: dict[str, float] = {}
    first: dict[str, float] = {}
    failed: dict[str, str] = {}
    for r in range(rounds):
        for name, code in COLD.items():
            if name in failed:
                continue
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            proc = subprocess.run([sys.executable, "-W", "ignore", "-c", code], capture_output=True, text=True)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            if proc.returncode != 0:
                failed[name] = proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else "failed"
                continue
            seconds = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
            first.setdefault(name, seconds)
            benchlib.keep_best(best, name, seconds)
        print(f"cold round {r + 1}/{rounds}, load {benchlib.load()}", file=sys.stderr)
    rows = []
    ours = best.get("vardex", float("nan"))
    for name in COLD:
        if name == "vardex":
            continue
        if name == "python":
            rows.append(["cold start (the interpreter alone, included in every figure)", "python -c pass",
                         f"{ours * 1e3:,.0f} ms", f"{best[name] * 1e3:,.0f} ms", ""])
            continue
        if name in failed:
            rows.append(["cold start", name, f"{ours * 1e3:,.0f} ms", "not measured", failed[name][:120]])
            continue
        rows.append([f"cold start ({COLD_WHAT[name]})", name, f"{ours * 1e3:,.0f} ms",
                     f"{best[name] * 1e3:,.0f} ms (first {first[name] * 1e3:,.0f})", f"{best[name] / ours:.1f}"])
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--samples", type=int, default=5)
    parser.add_argument("--calibration-rounds", type=int, default=3)
    parser.add_argument("--cold-rounds", type=int, default=3)
    parser.add_argument("--markdown", action="store_true")
    args = parser.parse_args()

    load_start = benchlib.load()
    d = data()
    gr4j = gr4j_case(d)
    cases = [gr4j, cemaneige_case(d), lumod_case("hbv", d), lumod_case("hymod", d), oudin_case(d)]
    cases += metric_cases(d)
    times = run_cases(cases, args.rounds, args.samples)
    load_cases = benchlib.load()
    rows = case_rows(cases, times)
    rows += calibration_rows(d, fastest_peer_gr4j(gr4j, times), args.calibration_rounds)
    load_calibration = benchlib.load()
    rows += cold_rows(args.cold_rounds)
    load_end = benchlib.load()

    table = Table(f"vardex_rs against peers (best of {args.rounds} rounds x {args.samples} calls; ratio = peer / "
                  f"vardex, median of the per-round ratios and their range; above 1: vardex is faster)",
                  ["case", "peer", "vardex", "peer", "peer / vardex"], rows)
    notes = [f"{c.name}: {c.note}" for c in cases if c.note]
    table.notes = notes + [f"load (1/5/15 min) at start, after the calls, after the calibrations, at the end: "
                           f"{load_start} | {load_cases} | {load_calibration} | {load_end}"]
    import platform

    import numpy as np

    commit = subprocess.run(["git", "-C", str(benchlib.REPO_ROOT), "describe", "--always", "--dirty"],
                            capture_output=True, text=True).stdout.strip() or "unknown"
    versions = []
    for name in ("grsuite", "lumod", "hydrobricks", "hydroeval", "HydroErr", "spotpy", "pyet", "numba"):
        try:
            from importlib.metadata import version

            versions.append(f"{name} {version(name)}")
        except Exception:  # noqa: BLE001 - not installed
            versions.append(f"{name} (not installed)")
    header = [f"Measured at `{commit}` with `python bench/peers.py`; CPU {benchlib.cpu_model()}, "
              f"Python {platform.python_version()}, NumPy {np.__version__}; peers: {', '.join(versions)}."]
    if args.markdown:
        print("\n".join(header) + "\n\n" + table.markdown())
    else:
        print("\n".join(header) + "\n\n" + table.text())


if __name__ == "__main__":
    main()
