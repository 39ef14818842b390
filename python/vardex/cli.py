"""The ``vardex`` command line: calibrate a model on a catchment, compare models, list the models."""
from __future__ import annotations

import argparse
import json
import sys
from typing import TYPE_CHECKING, Any, Sequence

import vardex_rs

if TYPE_CHECKING:
    from vardex.calibration import CalibrationResult

from vardex.calibration import MODELS


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
    return parser


def _table(rows: list[list[str]]) -> str:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows)


def _result_dict(r: CalibrationResult) -> dict[str, Any]:
    return {"model": r.model, "snow": r.snow, "optimiser": r.optimiser, "objective": r.objective,
            "transformation": r.transformation, "seed": r.seed, "params": r.params, "metrics": r.metrics,
            "evaluations": r.evaluations, "steps": r.steps, "seconds": r.seconds, "done": r.done,
            "interrupted": r.interrupted, "history": list(r.history)}


def _fail(message: str) -> int:
    print(f"vardex: error: {message}", file=sys.stderr)
    return 2


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if args.command == "models":
        rows = [["model", "N", "parameters"]]
        for name in MODELS:
            m = getattr(vardex_rs.hydro, name)
            rows.append([name, str(len(m.param_names)), "; ".join(
                f"{p} {d}" for p, d in zip(m.param_names, m.param_descriptions))])
        print(_table(rows))
        return 0

    from vardex.calibration import calibrate, compare
    from vardex.data import DataError, load_camels

    if args.warmup < 0:
        return _fail("--warmup must not be negative")
    try:
        catchment = load_camels(args.gauge, args.data)
    except (DataError, OSError) as err:
        return _fail(str(err))
    options = dict(snow=args.snow, optimiser=args.optimiser, objective=args.objective,
                   transformation=args.transformation, warmup=args.warmup, seed=args.seed,
                   progress=not args.no_progress)
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

    rows = [["model", "NSE", "KGE", "RMSE", "evaluations", "seconds"]]
    for r in results:
        rows.append([r.model, f"{r.metrics['nse']:.3f}", f"{r.metrics['kge']:.3f}", f"{r.metrics['rmse']:.3f}",
                     str(r.evaluations), f"{r.seconds:.1f}"])
    print(f"{catchment.gauge} {catchment.name}: {args.optimiser.upper()}, objective {args.objective}, "
          f"seed {args.seed}" + (", with CemaNeige" if args.snow else ""))
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
                hydrograph(catchment, r, args.warmup, path=args.plot)
            except ImportError as err:
                return _fail(str(err))
    return 0


if __name__ == "__main__":
    sys.exit(main())
