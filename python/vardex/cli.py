"""The ``vardex`` command line: calibrate a model on a catchment, compare models, list the models."""
from __future__ import annotations

import argparse
import json
import math
import sys
import warnings
from typing import TYPE_CHECKING, Any, Sequence

import vardex_rs

if TYPE_CHECKING:
    from vardex.calibration import CalibrationResult

from vardex.models import MODELS


def _period(text: str) -> tuple[str, str]:
    from vardex.periods import parse_period

    try:
        return parse_period(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


def _period_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("--period", type=_period, metavar="START:END",
                   help="calibration period, inclusive dates (default: the record after the warm-up)")
    p.add_argument("--validation", type=_period, metavar="START:END", help="validation period, inclusive dates")
    p.add_argument("--spinup", type=int, default=0, metavar="K", help="run each warm-up K more times first")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vardex", description="Lumped daily rainfall-runoff modelling.")
    commands = parser.add_subparsers(dest="command", required=True)

    def catchment_args(p: argparse.ArgumentParser) -> None:
        p.add_argument("gauge", help="CAMELS gauge id, e.g. 01022500")
        p.add_argument("--data", metavar="DIR", help="CAMELS data directory (default: the bundled samples)")
        p.add_argument("--snow", action="store_true", help="run CemaNeige in front of the model")
        p.add_argument("--optimiser", choices=["sce", "dds"], default="sce")
        p.add_argument("--objective", choices=["nse", "kge", "rmse"], default="nse")
        p.add_argument("--transformation", choices=["none", "sqrt", "log"], default="none")
        p.add_argument("--warmup", type=int, default=365, metavar="DAYS", help="days left out of the score")
        _period_args(p)
        p.add_argument("--seed", type=int, default=1)
        p.add_argument("--no-progress", action="store_true", help="no progress bar on stderr")

    cal = commands.add_parser("calibrate", help="calibrate one model on one catchment")
    catchment_args(cal)
    cal.add_argument("--model", choices=MODELS, default="gr4j")
    cal.add_argument("--plot", metavar="FILE", help="write the hydrograph to FILE (needs matplotlib)")
    cal.add_argument("--json", metavar="FILE", help="write the result to FILE as JSON")

    cmp = commands.add_parser("compare", help="calibrate several models and rank them")
    catchment_args(cmp)
    cmp.add_argument("--models", default=",".join(MODELS), help="comma-separated (default: all twenty)")

    commands.add_parser("models", help="the models and their parameters")

    rep = commands.add_parser("report", help="figures and a ranking of a batch results file (needs matplotlib)")
    rep.add_argument("results", metavar="RESULTS.csv", help="results file of vardex batch")
    rep.add_argument("--out", required=True, metavar="DIR", help="directory for the figures and tables")

    bat = commands.add_parser(
        "batch", help="calibrate many catchments x models x seeds into a CSV file, resumably",
        description="Calibrate every model with every seed on every gauge of DATA_DIR, on local threads or a "
        "Dask cluster. Each task's row is appended to --out as soon as it is done; run the same command again "
        "after an interruption and only the missing tasks run.",
        epilog="exit status: 0 every task succeeded; 1 some task failed (its row in --out holds the error) or "
        "was lost to a failing worker (run again to retry it); 2 bad arguments or data, or an --out file "
        "written with other settings; 130 interrupted (run the same command again to finish).")
    bat.add_argument("data", nargs="?", metavar="DATA_DIR", help="CAMELS data directory (default: the bundled "
                     "samples)")
    bat.add_argument("--out", required=True, metavar="FILE", help="results CSV, appended to and resumed from")
    bat.add_argument("--gauges", help="comma-separated subset of the gauges (default: all found in DATA_DIR)")
    bat.add_argument("--models", default=",".join(MODELS), help="comma-separated (default: all twenty)")
    bat.add_argument("--seeds", default="1", help="comma-separated seeds or ranges, e.g. 1,2 or 1-10 (default 1)")
    bat.add_argument("--snow", action="store_true", help="run CemaNeige in front of the models")
    bat.add_argument("--optimiser", choices=["sce", "dds"], default="sce")
    bat.add_argument("--objective", choices=["nse", "kge", "rmse"], default="nse")
    bat.add_argument("--transformation", choices=["none", "sqrt", "log"], default="none")
    bat.add_argument("--warmup", type=int, default=365, metavar="DAYS", help="days left out of the score")
    _period_args(bat)
    bat.add_argument("--max-evaluations", type=int, metavar="N", help="budget of each calibration")
    bat.add_argument("--max-steps", type=int, metavar="N", help="optimiser steps of each calibration at most")
    where = bat.add_mutually_exclusive_group()
    where.add_argument("--dask", action="store_true", help="run on a local Dask cluster (pip install "
                       "'vardex_rs[dask]')")
    where.add_argument("--scheduler", metavar="ADDRESS", help="run on the Dask cluster of this scheduler")
    bat.add_argument("--workers", type=int, metavar="N", help="threads, or local Dask worker processes "
                     "(default: one per CPU)")
    bat.add_argument("--shared-filesystem", action="store_true", help="Dask workers read DATA_DIR themselves "
                     "instead of being sent the data")
    bat.add_argument("--no-progress", action="store_true", help="no progress bar on stderr")
    return parser


def _table(rows: list[list[str]]) -> str:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows)


def _result_dict(r: CalibrationResult) -> dict[str, Any]:
    return {"model": r.model, "snow": r.snow, "optimiser": r.optimiser, "objective": r.objective,
            "transformation": r.transformation, "seed": r.seed, "params": r.params, "metrics": r.metrics,
            "evaluations": r.evaluations, "steps": r.steps, "seconds": r.seconds, "done": r.done,
            "interrupted": r.interrupted, "history": list(r.history), "gauge": r.gauge, "forcing": r.forcing,
            "period": [str(d) for d in r.period], "warmup": r.warmup, "spinup": r.spinup,
            "validation_period": [str(d) for d in r.validation_period or ()], "validation": r.validation}


def _fail(message: str) -> int:
    print(f"vardex: error: {message}", file=sys.stderr)
    return 2


def _warning(message: Warning | str, *_: Any, **__: Any) -> str:
    return f"vardex: warning: {message}\n"


def main(argv: Sequence[str] | None = None) -> int:
    warnings.formatwarning = _warning
    args = _parser().parse_args(argv)
    if args.command == "models":
        rows = [["model", "N", "parameters"]]
        for name in MODELS:
            m = getattr(vardex_rs.hydro, name)
            rows.append([name, str(len(m.param_names)), "; ".join(
                f"{p} {d}" for p, d in zip(m.param_names, m.param_descriptions))])
        print(_table(rows))
        return 0
    if args.command == "batch":
        return _batch(args)
    if args.command == "report":
        from vardex.report import ReportError, write_report

        try:
            print(write_report(args.results, args.out))
        except (ReportError, ImportError, OSError) as err:
            return _fail(str(err))
        return 0

    from vardex.calibration import calibrate, compare
    from vardex.data import DataError, load_camels

    if args.warmup < 0:
        return _fail("--warmup must not be negative")
    if args.spinup < 0:
        return _fail("--spinup must not be negative")
    try:
        catchment = load_camels(args.gauge, args.data)
    except (DataError, OSError) as err:
        return _fail(str(err))
    options = dict(snow=args.snow, optimiser=args.optimiser, objective=args.objective,
                   transformation=args.transformation, warmup=args.warmup, seed=args.seed,
                   progress=not args.no_progress, period=args.period, validation=args.validation,
                   spinup=args.spinup)
    try:
        if args.command == "calibrate":
            results = [calibrate(catchment, args.model, **options)]
        else:
            models = [m.strip() for m in args.models.split(",") if m.strip()]
            unknown = [m for m in models if m not in MODELS]
            if unknown or not models:
                return _fail(f"unknown model(s): {', '.join(unknown) or '(none given)'}")
            results = compare(catchment, models, **options)
    except ValueError as err:
        return _fail(str(err))

    validated = args.validation is not None
    rows = [["model", "NSE", "KGE", "RMSE"] + (["val NSE", "val KGE", "val RMSE"] if validated else [])
            + ["evaluations", "seconds"]]
    for r in results:
        rows.append([r.model] + [f"{m[k]:.3f}" for m in (r.metrics, r.validation or {}) for k in ("nse", "kge", "rmse")
                                 if m] + [str(r.evaluations), f"{r.seconds:.1f}"])
    print(f"{catchment.gauge} {catchment.name}: {args.optimiser.upper()}, objective {args.objective}, "
          f"seed {args.seed}" + (", with CemaNeige" if args.snow else ""))
    first = results[0]
    print(f"calibration {first.period[0]}:{first.period[1]} ({first.warmup} days warm-up"
          + (f", spin-up {first.spinup}" if first.spinup else "") + ")"
          + (f", validation {first.validation_period[0]}:{first.validation_period[1]}"
             if first.validation_period else ""))
    print(_table(rows))
    if args.command == "calibrate":
        r = results[0]
        print(_table([[k, f"{v:.6g}"] for k, v in r.params.items()]))
        if args.json:
            with open(args.json, "w", encoding="utf-8") as f:
                json.dump(_result_dict(r), f, indent=2)
        if args.plot:
            from vardex.plot import hydrograph

            try:
                hydrograph(catchment, r, path=args.plot)
            except ImportError as err:
                return _fail(str(err))
    return 0


def _seeds(text: str) -> list[int]:
    seeds: list[int] = []
    for part in (p.strip() for p in text.split(",") if p.strip()):
        first, _, last = part.partition("-")
        if not (first.isdigit() and (not last or last.isdigit())) or (last and int(last) < int(first)):
            raise ValueError(f"--seeds: {part!r} is neither a seed nor a range such as 1-10")
        seeds.extend(range(int(first), int(last or first) + 1))
    if not seeds:
        raise ValueError("--seeds: no seed given")
    return seeds


def _batch(args: argparse.Namespace) -> int:
    from vardex.batch import calibrate_many
    from vardex.data import DataError, gauges

    if args.warmup < 0:
        return _fail("--warmup must not be negative")
    if args.spinup < 0:
        return _fail("--spinup must not be negative")
    if args.workers is not None and args.workers < 1:
        return _fail("--workers must be at least 1")
    if args.workers is not None and args.scheduler:
        return _fail("--workers does not apply with --scheduler (the cluster has its workers)")
    try:
        found = gauges(args.data)
        seeds = _seeds(args.seeds)
    except (DataError, ValueError) as err:
        return _fail(str(err))
    if not found:
        return _fail(f"{args.data}: no gauges with both a forcing and a streamflow file")
    chosen = found if args.gauges is None else [g.strip() for g in args.gauges.split(",") if g.strip()]
    absent = [g for g in chosen if g not in found]
    if absent or not chosen:
        return _fail(f"gauge(s) not in {args.data or 'the bundled samples'}: {', '.join(absent) or '(none given)'}")
    models = [m.strip() for m in args.models.split(",") if m.strip()]
    unknown = [m for m in models if m not in MODELS]
    if unknown or not models:
        return _fail(f"unknown model(s): {', '.join(unknown) or '(none given)'}")

    executor = args.scheduler or ("dask" if args.dask else None)
    try:
        table = calibrate_many(chosen, models, seeds, data_dir=args.data, snow=args.snow,
                               optimiser=args.optimiser, objective=args.objective,
                               transformation=args.transformation, warmup=args.warmup,
                               period=args.period, validation=args.validation, spinup=args.spinup,
                               max_steps=args.max_steps, max_evaluations=args.max_evaluations,
                               executor=executor, workers=args.workers, shared_filesystem=args.shared_filesystem,
                               out=args.out, progress=not args.no_progress)
    except (ValueError, TypeError, ImportError, OSError) as err:
        return _fail(str(err))
    except KeyboardInterrupt:
        print(f"vardex: interrupted; the rows in {args.out} are kept, run the same command again to finish",
              file=sys.stderr)
        return 130

    rows = [["model", "tasks", "failed", "NSE median", "KGE median", "seconds"]]
    for model in models:
        mine = [r for r in table if r["model"] == model]
        good = [r for r in mine if not r["error"]]
        rows.append([model, str(len(mine)), str(len(mine) - len(good)),
                     f"{_median([r['nse'] for r in good]):.3f}", f"{_median([r['kge'] for r in good]):.3f}",
                     f"{sum(r['seconds'] for r in good):.1f}"])
    print(f"{len(table)} tasks in {args.out}: {len(chosen)} gauges x "
          f"{len(models)} models x {len(seeds)} seeds, {args.optimiser.upper()}, objective {args.objective}"
          + (", with CemaNeige" if args.snow else ""))
    print(_table(rows))
    for r in table.failed[:5]:
        print(f"failed: {r['gauge']} {r['model']} seed {r['seed']}: {r['error']}")
    if len(table.failed) > 5:
        print(f"failed: {len(table.failed) - 5} more (see the error column of {args.out})")
    for task, error in table.lost.items():
        print(f"lost: {task.gauge} {task.model} seed {task.seed}: {error}")
    if table.interrupted:
        print(f"vardex: interrupted, {len(table.pending)} tasks not run; run the same command again to finish",
              file=sys.stderr)
        return 130
    return 1 if table.failed or table.pending else 0


def _median(values: list[float]) -> float:
    finite = sorted(v for v in values if math.isfinite(v))
    if not finite:
        return math.nan
    middle = len(finite) // 2
    return finite[middle] if len(finite) % 2 else (finite[middle - 1] + finite[middle]) / 2


if __name__ == "__main__":
    sys.exit(main())
