"""The ``vardex`` command line: calibrate a model on a catchment, compare models, list the models, run batches,
report on a results file. Exit statuses: `EPILOG` (shown by ``--help``).

Only the standard library is imported before the arguments are parsed, so that Ctrl-C is answered at once.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import signal
import sys
import threading
import warnings
from pathlib import Path as _Path
from typing import TYPE_CHECKING, Any, Callable, Sequence

if TYPE_CHECKING:
    from vardex.calibration import CalibrationResult
    from vardex.settings import Settings

SEED_MAX = 2**64 - 1
MAX_SEEDS = 10_000_000
_EXITS = ("2 bad arguments or data, or an output file refused (checked before any computation); 130 interrupted by "
          "Ctrl-C, 143 by SIGTERM (what was done is reported and kept); 141 when the reader of stdout went away")
EPILOG = ("exit status: 0 success; 1 some task failed (its row in --out holds the error) or was lost to a failing "
          f"worker; {_EXITS}")
RUN_EPILOG = f"exit status: 0 success; {_EXITS}"
EXIT_INTERRUPTED = 128 + signal.SIGINT


class _Help(argparse.HelpFormatter):
    """Shows every option's default, unless the help text already says it or there is none to show."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        text = action.help or ""
        if ("%(default)" in text or "default" in text or action.default in (None, False, argparse.SUPPRESS)
                or not action.option_strings):
            return text
        return text + " (default: %(default)s)"


class _Parser(argparse.ArgumentParser):
    """Bad arguments: one line on stderr and exit status 2."""

    def error(self, message: str) -> Any:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class _Stopped(KeyboardInterrupt):
    """SIGTERM, delivered as an interrupt so that a run stops the way Ctrl-C stops it."""


class _Signals:
    """While active, SIGTERM interrupts like Ctrl-C; `status` is the exit status an interrupt ends with."""

    def __init__(self) -> None:
        self.terminated = False

    def _handler(self, signum: int, frame: Any) -> None:
        self.terminated = True
        raise _Stopped

    def __enter__(self) -> _Signals:
        # Handlers can only be set from the main thread; elsewhere (main() called from a thread) SIGTERM
        # keeps its default.
        self._main = threading.current_thread() is threading.main_thread()
        if self._main:
            self._previous = signal.signal(signal.SIGTERM, self._handler)
        return self

    def __exit__(self, *exc: Any) -> None:
        if self._main:
            signal.signal(signal.SIGTERM, self._previous)

    @property
    def status(self) -> int:
        return 128 + (signal.SIGTERM if self.terminated else signal.SIGINT)


def _integer(text: str) -> int:
    """A whole number as written (ASCII digits, an optional sign); its range is the settings' to check."""
    body = text.strip()
    if not (body.lstrip("+-").isascii() and body.lstrip("+-").isdigit()) or body.count("-") + body.count("+") > 1:
        raise argparse.ArgumentTypeError(f"{text!r}: expected a whole number")
    return int(body)


def _names(text: str) -> list[str]:
    names = [m.strip() for m in text.split(",") if m.strip()]
    if not names:
        raise argparse.ArgumentTypeError(f"{text!r}: expected comma-separated names")
    return names


def _elevations(text: str) -> list[float]:
    try:
        values = [float(v) for v in text.split(",") if v.strip()]
    except ValueError:
        values = []
    if not values:
        raise argparse.ArgumentTypeError(f"{text!r}: expected comma-separated elevations in metres")
    return values


def _period(text: str) -> tuple[str, str]:
    from vardex.periods import parse_period

    try:
        return parse_period(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("vardex_rs")
    except PackageNotFoundError:
        return "unknown"


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="vardex", description="Lumped daily rainfall-runoff modelling.",
                                     formatter_class=_Help, epilog=EPILOG)
    parser.add_argument("--version", action="version", version=f"vardex {_version()}")
    commands = parser.add_subparsers(dest="command", required=True)

    def add(name: str, **kwargs: Any) -> argparse.ArgumentParser:
        return commands.add_parser(name, formatter_class=_Help, **kwargs)

    def run_args(p: argparse.ArgumentParser, batch: bool) -> None:
        snow = p.add_mutually_exclusive_group()
        snow.add_argument("--snow", dest="snow", action="store_const", const=True, default="auto",
                          help="run CemaNeige in front of the model (default: auto, i.e. where at least 10 %% of "
                          "the precipitation falls on days with a mean temperature below 0 degC)")
        snow.add_argument("--no-snow", dest="snow", action="store_const", const=False, help="never run CemaNeige")
        p.add_argument("--elevation-bands", type=_elevations, metavar="M,M,...",
                       help="CemaNeige's elevation bands in metres (default: the median elevation -200, 0, +200)")
        p.add_argument("--optimiser", help="calibration algorithm: dds or sce (default: dds)")
        p.add_argument("--objective", default="nse", help="score to optimise: nse, kge or rmse")
        p.add_argument("--transformation", default="none", help="applied to the flows before scoring: none, sqrt "
                       "or log")
        p.add_argument("--warmup", type=_integer, default=365, metavar="DAYS",
                       help="days simulated before each period and left out of its score")
        p.add_argument("--period", type=_period, metavar="START:END",
                       help="calibration period, inclusive dates (default: the record after the warm-up)")
        p.add_argument("--validation", type=_period, metavar="START:END",
                       help="validation period, inclusive dates, scored with the calibrated parameters")
        p.add_argument("--spinup", type=_integer, default=0, metavar="K", help="run each warm-up K more times first")
        p.add_argument("--max-evaluations", type=_integer, metavar="N",
                       help="budget of model evaluations of each calibration, shared by its starts (default: "
                       "9000 for dds, 10000 for sce)")
        if batch:
            p.add_argument("--forcing", type=_names, metavar="PRODUCTS",
                           help="comma-separated forcing products, each a task of its own; caravan or "
                           "caravan_pet (the data set's own PET) with --caravan (default: daymet, or caravan with "
                           "--caravan)")
        else:
            p.add_argument("--forcing", default="daymet", metavar="PRODUCT",
                           help="forcing product: a CAMELS one, or caravan / caravan_pet for a Caravan "
                           "directory given with --data")
            seeds = p.add_mutually_exclusive_group()
            seeds.add_argument("--seed", type=_integer, default=1, help=f"random seed, 0 to {SEED_MAX}")
            seeds.add_argument("--seeds", metavar="SEEDS", help="several seeds, e.g. 1-5: each model keeps its best, "
                               "the table shows their spread")
        p.add_argument("--starts", type=_integer, metavar="K", help="independent optimiser starts sharing the "
                       "budget (default: dds one per 3000 evaluations, sce one; README, 'Seeds and starts')")
        p.add_argument("--restart", action=argparse.BooleanOptionalAction, default=None,
                       help="hand what a start leaves unused to a further start (default: yes)")
        p.add_argument("--no-progress", action="store_true", help="no progress bar on stderr")

    def catchment_args(p: argparse.ArgumentParser) -> None:
        p.add_argument("gauge", help="CAMELS gauge id, e.g. 01022500")
        p.add_argument("--data", metavar="DIR", help="CAMELS data directory (default: the bundled samples)")
        run_args(p, batch=False)
        p.add_argument("--json", metavar="FILE", help="write the result and its provenance to FILE as JSON")

    cal = add("calibrate", help="calibrate one model on one catchment", epilog=RUN_EPILOG)
    catchment_args(cal)
    cal.add_argument("--model", default="gr4j", help="model name, any letter case")
    cal.add_argument("--plot", metavar="FILE", help="write the hydrograph to FILE (needs matplotlib)")

    cmp = add("compare", help="calibrate several models and rank them", epilog=RUN_EPILOG)
    catchment_args(cmp)
    cmp.add_argument("--models", type=_names, help="comma-separated model names, any letter case (default: all "
                     "twenty)")
    cmp.add_argument("--plot", metavar="FILE", help="write the hydrograph of the best-ranked model to FILE (needs "
                     "matplotlib)")

    add("models", help="the models and their parameters")

    def gauge_args(p: argparse.ArgumentParser, forcing_help: str = "forcing product") -> None:
        p.add_argument("gauge", help="CAMELS gauge id, e.g. 01022500")
        p.add_argument("--data", metavar="DIR", help="CAMELS data directory (default: the bundled samples)")
        p.add_argument("--forcing", default="daymet", metavar="PRODUCT", help=forcing_help)

    def sampling_args(p: argparse.ArgumentParser, n: int, n_help: str, json_help: str, plot_help: str) -> None:
        """What the commands that sample a model's parameters share."""
        gauge_args(p)
        p.add_argument("--model", default="gr4j", help="model name, any letter case")
        p.add_argument("--n", type=_integer, default=n, help=n_help)
        p.add_argument("--objective", default="nse", help="nse, kge or rmse")
        p.add_argument("--period", type=_period, metavar="START:END", help="scored period (default: the record)")
        p.add_argument("--seed", type=_integer, default=1, help=f"random seed, 0 to {SEED_MAX}")
        p.add_argument("--snow", dest="snow", action="store_const", const=True, default="auto")
        p.add_argument("--no-snow", dest="snow", action="store_const", const=False)
        p.add_argument("--json", metavar="FILE", help=json_help)
        p.add_argument("--plot", metavar="FILE", help=plot_help)

    glu = add("glue", help="GLUE: Latin hypercube sampling, behavioural sets and a 5-95 %% prediction band",
              epilog=RUN_EPILOG)
    sampling_args(glu, 1000, "parameter sets sampled", "write the band and the coverage to FILE as JSON",
                  "draw the band on the hydrograph (needs matplotlib)")
    glu.add_argument("--threshold", type=float, default=0.0, help="the objective a behavioural set reaches")
    glu.add_argument("--validation", type=_period, metavar="START:END", help="period of the band (default: the "
                     "scored one)")

    sen = add("sensitivity", help="Sobol' or Morris sensitivity of the objective to each parameter (needs SALib)",
              epilog=RUN_EPILOG)
    sampling_args(sen, 256, "Sobol' base sample (a power of two) or Morris trajectories",
                  "write the indices to FILE as JSON", "draw the indices (needs matplotlib)")
    sen.add_argument("--method", default="sobol", help="sobol or morris")
    sen.add_argument("--no-progress", action="store_true", help="no progress bar on stderr")

    sig = add("signatures", help="hydrological signatures of a gauge's observed flow", epilog=RUN_EPILOG)
    gauge_args(sig, "forcing product (its precipitation gives the runoff ratio)")
    sig.add_argument("--period", type=_period, metavar="START:END", help="inclusive dates (default: the record)")
    sig.add_argument("--json", metavar="FILE", help="write the signatures to FILE as JSON")
    sig.add_argument("--plot", metavar="FILE", help="draw the flow-duration curve and the base flow (needs "
                     "matplotlib)")

    rep = add("report", help="figures and a ranking of a batch results file (needs matplotlib)")
    rep.add_argument("results", metavar="RESULTS.csv", help="results file of vardex batch")
    rep.add_argument("--out", required=True, metavar="DIR", help="directory for the figures and tables")

    bat = add("batch", help="calibrate many catchments x forcings x models x seeds into a CSV file, resumably",
              description="Calibrate every model with every seed on every gauge of DATA_DIR, on local threads or "
              "a Dask cluster. Each task's row is appended to --out as soon as it is done; run the same command "
              "again after an interruption and only the missing tasks run.", epilog=EPILOG)
    bat.add_argument("data", nargs="?", metavar="DATA_DIR", help="CAMELS data directory (default: the bundled "
                     "samples)")
    bat.add_argument("--caravan", metavar="DIR", help="a Caravan data directory instead of DATA_DIR: its gauge "
                     "ids (e.g. camels_01022500), forcing caravan")
    bat.add_argument("--out", required=True, metavar="FILE", help="results CSV, appended to and resumed from: a "
                     "new or empty file or a results file of vardex batch (a symlink is followed)")
    bat.add_argument("--gauges", help="comma-separated subset of the gauges, or @FILE with one id per line "
                     "(default: all found in DATA_DIR)")
    bat.add_argument("--models", type=_names, help="comma-separated model names, any letter case (default: all "
                     "twenty)")
    bat.add_argument("--seeds", default="1", help="comma-separated seeds or ranges, e.g. 1,2 or 1-10")
    run_args(bat, batch=True)
    bat.add_argument("--max-steps", type=_integer, metavar="N", help="optimiser steps of each calibration at most")
    bat.add_argument("--retry-failed", action="store_true", help="run again the tasks whose row in --out holds "
                     "an error, replacing those rows")
    where = bat.add_mutually_exclusive_group()
    where.add_argument("--dask", action="store_true", help="run on a local Dask cluster (pip install "
                       "'vardex_rs[dask]')")
    where.add_argument("--scheduler", metavar="ADDRESS", help="run on the Dask cluster of this scheduler")
    bat.add_argument("--workers", type=_integer, metavar="N", help="threads, or local Dask worker processes "
                     "(default: one per CPU)")
    bat.add_argument("--shared-filesystem", action="store_true", help="Dask workers read DATA_DIR themselves "
                     "instead of being sent the data")
    return parser


def _table(rows: list[list[str]]) -> str:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows)


def _fail(message: str) -> int:
    print(f"vardex: error: {message}", file=sys.stderr)
    return 2


def _warning(message: Warning | str, *_: Any, **__: Any) -> str:
    return f"vardex: warning: {message}\n"


def _number(value: float) -> str:
    """A score for a table: three decimals, or three significant digits for a huge or tiny one (an RMSE of 1e308
    is not printed with 309 digits)."""
    if not math.isfinite(value) or value == 0.0 or 1e-3 <= abs(value) < 1e6:
        return f"{value:.3f}"
    return f"{value:.3g}"


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return _main(argv)
    except BrokenPipeError:
        # The reader of stdout went away (``vardex compare ... | head``): no traceback, and nothing more to
        # flush at exit, which would fail the same way.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    except KeyboardInterrupt:
        # Before a command had its own answer to it: while starting up, reading a results file, drawing.
        print("vardex: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def _main(argv: Sequence[str] | None) -> int:
    warnings.formatwarning = _warning
    args = _parser().parse_args(argv)
    if args.command == "models":
        from vardex.models import MODELS, NOTES, SNOW_PARAMETERS, describe

        rows = [["model", "N", "parameters"]]
        for name in MODELS:
            described = describe(name)
            rows.append([name, str(len(described)), "; ".join(f"{p} {d}" for p, d in described.items())])
        rows.append(["cemaneige", "3", "; ".join(f"{p} {d}" for p, d in SNOW_PARAMETERS.items())
                     + " (snow, in front of any model: --snow)"])
        print(_table(rows))
        for name, note in NOTES.items():
            print(f"{name}: {note}")
        return 0
    if args.command == "signatures":
        return _signatures(args)
    if args.command == "glue":
        return _glue(args)
    if args.command == "sensitivity":
        return _sensitivity(args)
    if args.command == "report":
        from vardex import _files
        from vardex.report import write_report
        from vardex.results import ResultsError

        try:
            print(write_report(args.results, args.out))
        except (ResultsError, _files.NotRegularFile, ImportError, OSError, ValueError) as err:
            return _fail(str(err))
        return 0
    with _Signals() as signals:
        try:
            return _batch(args, signals) if args.command == "batch" else _calibrate(args, signals)
        except KeyboardInterrupt:
            print("vardex: interrupted before anything was computed", file=sys.stderr)
            return signals.status


def _settings(args: argparse.Namespace, **extra: Any) -> Settings:
    """The settings record of the command's options: every check of the API, before anything runs."""
    from vardex.settings import Settings

    given = {k: v for k, v in (("optimiser", args.optimiser), ("starts", args.starts), ("restart", args.restart))
             if v is not None}
    return Settings.build(snow=args.snow, elevation_bands=args.elevation_bands, **given,
                          objective=args.objective,
                          transformation=args.transformation, warmup=args.warmup, period=args.period,
                          validation=args.validation, spinup=args.spinup, max_evaluations=args.max_evaluations,
                          **extra)


def _flags(r: CalibrationResult) -> str:
    """What a reader should look at before trusting a result."""
    from vardex.balance import flags as balance_flags

    from vardex.calibration import SEED_SPREAD_FLAG

    flags = [f"interrupted after {r.evaluations} evaluations"] if r.interrupted else []
    if r.seed_spread is not None and r.seed_spread > SEED_SPREAD_FLAG:
        flags.append(f"seeds disagree by {r.seed_spread:.2f} (best seed {r.seed})")
    if r.at_bounds:
        flags.append("at a bound: " + ", ".join(f"{k} ({v})" for k, v in r.at_bounds.items()))
    return "; ".join(flags + balance_flags(r.water))


def _result_dict(r: CalibrationResult) -> dict[str, Any]:
    return {"model": r.model, "snow": r.snow, "params": r.params, "metrics": r.metrics,
            "objective_value": r.objective_value, "validation_objective": r.validation_objective,
            "at_bounds": r.at_bounds, "stop_reason": r.stop_reason, "starts": r.starts, "water": r.water,
            "seed": r.seed, "seed_scores": r.seed_scores and {str(k): v for k, v in r.seed_scores.items()},
            "signature_errors": r.signature_errors, "validation_signature_errors": r.validation_signature_errors,
            "validation_water": r.validation_water,
            "evaluations": r.evaluations, "steps": r.steps, "seconds": r.seconds, "done": r.done,
            "interrupted": r.interrupted, "history": list(r.history),
            "scored": {"period": [str(d) for d in r.period], "warmup": r.warmup,
                       "validation_period": [str(d) for d in r.validation_period or ()],
                       "validation_warmup": r.validation_warmup},
            "validation": r.validation}


def _check_outputs(json_file: str | None, plot: str | None) -> None:
    """The files a command will write, checked before any work: regular files in writable directories, and a
    figure format matplotlib can draw here."""
    from vardex import _files

    for destination in (json_file, plot):
        if destination is not None:
            _files.destination(destination)
    if plot is not None:
        from vardex.plot import check_format

        check_format(plot)


def _write_json(path: str, record: Any, indent: int | None = 2) -> None:
    from vardex import _files

    _files.replace(path, lambda stream: json.dump(_strict_json(record), stream, indent=indent, allow_nan=False))


def _write_outputs(args: argparse.Namespace, record: Any, draw: Callable[[str], Any], indent: int | None = 2) -> int:
    """The --json record and the --plot figure (``draw(path)``) a command was asked for; exit 2 with the reason
    when one cannot be written."""
    try:
        if args.json is not None:
            _write_json(args.json, record, indent=indent)
        if args.plot is not None:
            draw(args.plot)
    except (ImportError, OSError, ValueError) as err:
        return _fail(str(err))
    return 0


def _strict_json(value: Any) -> Any:
    """``value`` with non-finite floats as null: a score of -inf (a degenerate period) is not valid JSON."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _strict_json(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_strict_json(v) for v in value]
    return value


def _calibrate(args: argparse.Namespace, signals: _Signals) -> int:
    from vardex import _files
    from vardex.calibration import run_all, run_seeds
    from vardex.settings import snow_share
    from vardex.data import DataError, load

    plot = getattr(args, "plot", None)
    try:
        models = [args.model] if args.command == "calibrate" else args.models
        record = _settings(args, models=models, seeds=args.seed if args.seeds is None else _seeds(args.seeds))
        _check_outputs(args.json, plot)
        catchment = load(args.gauge, args.data, args.forcing)
    except (DataError, _files.NotRegularFile, OSError, ImportError, ValueError, TypeError) as err:
        return _fail(str(err))
    progress = not args.no_progress
    try:
        if args.command == "calibrate":
            results = [run_seeds(catchment, record, progress=progress)]
        else:
            results = run_all(catchment, record, progress=progress)
    except ValueError as err:
        return _fail(str(err))
    except KeyboardInterrupt:
        print("vardex: interrupted before the first optimiser step; nothing to report", file=sys.stderr)
        return signals.status
    stopped = [r.model for r in results if r.interrupted]
    skipped = [m for m in record.models if m not in {r.model for r in results}]
    interrupted = bool(stopped or skipped)

    snow = results[0].snow
    objective = record.objective + ("" if record.transformation == "none" else f" of {record.transformation}(Q)")
    print(f"{catchment.gauge} {catchment.name}: forcing {catchment.forcing}, {record.optimiser.upper()}, objective "
          f"{objective}, {'seeds ' + args.seeds if args.seeds else f'seed {record.seed}'}, snow {record.snow_mode}: "
          + ("with CemaNeige" if snow else "without CemaNeige")
          + f" ({100 * snow_share(catchment.precipitation, catchment.temperature):.0f} % of the precipitation on days "
          "below 0 degC)")
    validated = record.validation is not None
    transformed = record.transformation != "none"
    periods = [("", "metrics", "objective_value")] + ([("val ", "validation", "validation_objective")]
                                                      if validated else [])
    head = ["model"]
    for prefix, _, _ in periods:
        head += [f"{prefix}NSE", f"{prefix}KGE", f"{prefix}RMSE"] + ([f"{prefix}{objective}"] if transformed else [])
    several = len(record.seeds) > 1
    rows = [head + ([f"seed spread ({len(record.seeds)})"] if several else [])
            + ["evaluations", "starts", "seconds", "stopped", ""]]
    for r in results:
        cells = [r.model]
        for _, scores, value in periods:
            m = getattr(r, scores) or {}
            cells += [_number(m[k]) for k in ("nse", "kge", "rmse")] + ([_number(getattr(r, value))]
                                                                         if transformed else [])
        spread = [_number(r.seed_spread) if r.seed_spread is not None else "–"] if several else []
        rows.append(cells + spread + [str(r.evaluations), str(r.starts), f"{r.seconds:.1f}", r.stop_reason,
                                      _flags(r)])
    first = results[0]
    span = first.observed_period or first.period
    print(f"calibration {span[0]}:{span[1]}" + (" (observed days" if span != first.period else " (")
          + ("; " if span != first.period else "") + f"{first.warmup} days warm-up"
          + (f", spin-up {first.spinup}" if first.spinup else "") + ")"
          + (f", validation {first.validation_period[0]}:{first.validation_period[1]}"
             if first.validation_period else ""))
    print(_table(rows))
    if skipped:
        print(f"not run (interrupted): {', '.join(skipped)}")
    if args.command == "calibrate":
        print(_table([[k, f"{v:.6g}"] for k, v in results[0].params.items()]))
    try:
        if args.json:
            record_json = {**record.provenance(), "gauge": catchment.gauge, "name": catchment.name,
                           "period": [str(d) for d in (record.period or span)],
                           "data": catchment.origin, "forcing": catchment.forcing, "interrupted": interrupted}
            if args.command == "calibrate":
                record_json.update(_result_dict(results[0]))
            else:
                record_json.update(results=[_result_dict(r) for r in results], not_run=skipped)
            _write_json(args.json, record_json)
        if plot:
            from vardex.plot import hydrograph

            hydrograph(catchment, results[0], path=plot)    # compare: the best-ranked model
    except (ImportError, OSError, ValueError) as err:
        return _fail(str(err))
    if interrupted:
        print(f"vardex: interrupted; {'the results above are the best found so far' if stopped else ''}"
              f"{'; ' if stopped and skipped else ''}{'not run: ' + ', '.join(skipped) if skipped else ''}",
              file=sys.stderr)
        return signals.status
    return 0


def _sensitivity(args: argparse.Namespace) -> int:
    from vardex import _files
    from vardex.analysis import sensitivity, table
    from vardex.data import DataError, load

    try:
        _check_outputs(args.json, args.plot)
        catchment = load(args.gauge, args.data, args.forcing)
        result = sensitivity(catchment, args.model, method=args.method, n=args.n, objective=args.objective,
                             period=args.period, snow=args.snow, seed=args.seed, progress=not args.no_progress)
    except (DataError, _files.NotRegularFile, OSError, ValueError, TypeError, ImportError) as err:
        return _fail(str(err))
    print(f"{catchment.gauge} {catchment.name}: {result.method} sensitivity of {result.objective} for "
          f"{result.model}{' + CemaNeige' if result.snow else ''}, {result.runs} runs"
          + (f" ({result.replaced} with a non-finite objective, taken as the worst)" if result.replaced else ""))
    print(table(result))
    record = {"gauge": catchment.gauge, "model": result.model, "snow": result.snow, "method": result.method,
              "objective": result.objective, "runs": result.runs, "seed": args.seed, "indices": result.indices}

    def draw(path: str) -> None:
        from vardex.plot import sensitivity as figure

        figure(result, path=path)

    return _write_outputs(args, record, draw)


def _glue(args: argparse.Namespace) -> int:
    from vardex import _files
    from vardex.data import DataError, load
    from vardex.uncertainty import glue

    try:
        _check_outputs(args.json, args.plot)
        catchment = load(args.gauge, args.data, args.forcing)
        g = glue(catchment, args.model, n=args.n, threshold=args.threshold, objective=args.objective,
                 period=args.period, validation=args.validation, snow=args.snow, seed=args.seed)
    except (DataError, _files.NotRegularFile, OSError, ValueError, TypeError, ImportError) as err:
        return _fail(str(err))
    print(f"{catchment.gauge} {catchment.name}: {g.model}{' + CemaNeige' if g.snow else ''}, {len(g.scores)} sets by "
          f"Latin hypercube (seed {args.seed}), {int(g.behavioural.sum())} behavioural ({g.objective} "
          f"{'<=' if g.objective == 'rmse' else '>='} {g.threshold:g})")
    print(f"5-95 % band {g.dates[0]}:{g.dates[-1]}: coverage {100 * g.coverage:.1f} % of the observations, mean "
          f"width {float((g.upper - g.lower).mean()):.3f} mm/day")
    record = {"gauge": catchment.gauge, "model": g.model, "snow": g.snow, "n": len(g.scores),
              "behavioural": int(g.behavioural.sum()), "objective": g.objective, "threshold": g.threshold,
              "seed": args.seed, "coverage": g.coverage, "dates": [str(d) for d in g.dates],
              "lower": g.lower.tolist(), "upper": g.upper.tolist()}

    def draw(path: str) -> None:    # the band around a calibration with the same settings
        from vardex.calibration import calibrate
        from vardex.plot import hydrograph

        result = calibrate(catchment, g.model, snow=g.snow, period=args.period, validation=args.validation,
                           objective=g.objective, progress=False, seed=args.seed)
        hydrograph(catchment, result, band=g, path=path)

    return _write_outputs(args, record, draw, indent=None)


def _signatures(args: argparse.Namespace) -> int:
    import numpy as np

    from vardex import _files, periods
    from vardex.data import DataError, load
    from vardex.flow_signatures import describe, signatures

    try:
        _check_outputs(args.json, args.plot)
        catchment = load(args.gauge, args.data, args.forcing)
        days = slice(None)
        if args.period is not None:
            win = periods.window(catchment.dates, args.period, 0)
            days = slice(win.first, win.stop)
        values = signatures(catchment.observed[days], catchment.dates[days], catchment.precipitation[days])
    except (DataError, _files.NotRegularFile, OSError, ValueError) as err:
        return _fail(str(err))
    seen = np.flatnonzero(np.isfinite(catchment.observed[days]))    # the span with observations
    first, last = catchment.dates[days][[seen[0], seen[-1]]]
    print(f"{catchment.gauge} {catchment.name}: observed flow {first}:{last}, forcing {catchment.forcing}")
    print(describe(values))
    record = {"gauge": catchment.gauge, "name": catchment.name, "data": catchment.origin,
              "forcing": catchment.forcing, "period": [str(first), str(last)], "signatures": values}

    def draw(path: str) -> None:
        from vardex.plot import signatures as figure

        figure(catchment.observed[days], catchment.dates[days], path=path,
               title=f"{catchment.gauge} {catchment.name}, observed {first}:{last}")

    return _write_outputs(args, record, draw)


def _seeds(text: str) -> list[int]:
    """The seeds of ``1,3,5-10``, in order; linear in their number (repeats are refused by the settings)."""
    parts: list[range] = []
    total = 0
    for part in (p.strip() for p in text.split(",") if p.strip()):
        first, _, last = part.partition("-")
        digits = all(t.isascii() and t.isdigit() for t in ((first, last) if last else (first,)))
        if not digits or (last and int(last) < int(first)):
            raise ValueError(f"--seeds: {part!r} is neither a seed nor a range such as 1-10")
        if int(last or first) > SEED_MAX:
            raise ValueError(f"--seeds: {part!r}: a seed is an integer in [0, {SEED_MAX}]")
        parts.append(range(int(first), int(last or first) + 1))
        total += len(parts[-1])
        if total > MAX_SEEDS:
            raise ValueError(f"--seeds: more than {MAX_SEEDS} seeds")
    if not parts:
        raise ValueError("--seeds: no seed given")
    return [seed for part in parts for seed in part]


def _gauges(text: str) -> list[str]:
    """``--gauges``: comma-separated ids, or ``@FILE`` with one id per line (blank lines and ``#`` comments
    skipped)."""
    if not text.startswith("@"):
        return [g.strip() for g in text.split(",") if g.strip()]
    from vardex import _files

    lines = _files.read_lines(_Path(text[1:]), ValueError)
    return [line.split("#", 1)[0].strip() for line in lines if line.split("#", 1)[0].strip()]


def _batch(args: argparse.Namespace, signals: _Signals) -> int:
    from vardex import _files
    from vardex.batch import run_many
    from vardex.data import DataError, list_gauges
    from vardex.report import median

    if args.workers is not None and args.scheduler:
        return _fail("--workers does not apply with --scheduler (the cluster has its workers)")
    if args.caravan is not None and args.data is not None:
        return _fail("give DATA_DIR or --caravan, not both")
    data = args.data if args.caravan is None else args.caravan
    forcing = args.forcing or ["caravan" if args.caravan is not None else "daymet"]
    try:
        record = _settings(args, models=args.models, forcing=forcing, seeds=_seeds(args.seeds),
                           max_steps=args.max_steps)
        _files.destination(args.out)
        found = [g for g in list_gauges(data, record.forcings[0])
                 if all(g in list_gauges(data, f) for f in record.forcings[1:])]
    except (DataError, _files.NotRegularFile, ValueError, TypeError) as err:
        return _fail(str(err))
    if not found:
        return _fail(f"{data or 'the bundled samples'}: no gauges with streamflow and "
                     f"{', '.join(record.forcings)} forcing")
    try:
        chosen = found if args.gauges is None else _gauges(args.gauges)
    except (OSError, ValueError) as err:
        return _fail(str(err))
    known = set(found)
    absent = [g for g in chosen if g not in known]
    if absent or not chosen:
        return _fail(f"gauge(s) not in {data or 'the bundled samples'}: {', '.join(absent) or '(none given)'}")

    models = list(record.models)
    executor = args.scheduler or ("dask" if args.dask else None)
    try:
        table = run_many(chosen, record, data_dir=data, executor=executor, workers=args.workers,
                         shared_filesystem=args.shared_filesystem, out=args.out, retry_failed=args.retry_failed,
                         progress=not args.no_progress)
    except (ValueError, TypeError, ImportError, OSError) as err:
        return _fail(str(err))
    except KeyboardInterrupt:
        print(f"vardex: interrupted; the rows in {args.out} are kept, run the same command again to finish",
              file=sys.stderr)
        return signals.status

    validated = record.validation is not None
    rows = [["model", "tasks", "failed", "with snow", "NSE median", "KGE median"]
            + (["val NSE median", "val KGE median"] if validated else []) + ["seconds"]]
    for model in models:
        mine = [r for r in table if r["model"] == model]
        good = [r for r in mine if not r["error"]]
        scores = ["nse", "kge"] + (["val_nse", "val_kge"] if validated else [])
        rows.append([model, str(len(mine)), str(len(mine) - len(good)), str(sum(bool(r["snow"]) for r in good))]
                    + [_number(median([r[k] for r in good])) if good else "–" for k in scores]
                    + [f"{sum(r['seconds'] for r in good):.1f}"])
    grid = len(table) + len(table.pending)
    print(f"{len(table)} of {grid} tasks in {args.out}: {len(chosen)} gauges x {len(record.forcings)} forcings x "
          f"{len(models)} models x {len(record.seeds)} seeds, {record.optimiser.upper()}, objective "
          f"{record.objective}, snow {record.snow_mode}")
    print(_table(rows))
    for r in table.failed[:5]:
        print(f"failed: {r['gauge']} {r['forcing']} {r['model']} seed {r['seed']}: {r['error']}")
    if len(table.failed) > 5:
        print(f"failed: {len(table.failed) - 5} more (see the error column of {args.out}; --retry-failed runs "
              "them again)")
    for task, error in table.lost.items():
        print(f"lost: {task.gauge} {task.forcing} {task.model} seed {task.seed}: {error}")
    if table.interrupted:
        print(f"vardex: interrupted, {len(table.pending)} tasks not run; run the same command again to finish",
              file=sys.stderr)
        return signals.status
    if table.pending:
        print(f"vardex: {len(table.pending)} tasks not run (an executor failed); run the same command again to "
              "finish", file=sys.stderr)
    return 1 if table.failed or table.pending else 0


if __name__ == "__main__":
    sys.exit(main())
