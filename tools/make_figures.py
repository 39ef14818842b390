"""Make the README's figures in docs/ (python tools/make_figures.py): GLUE and sensitivity on the bundled 01022500,
the signature errors of the twenty models on both bundled catchments; print what each cost."""
import tempfile
import time
from pathlib import Path

import vardex
from vardex import plot, report
from vardex.data import gauges
from vardex.models import MODELS

DOCS = Path(__file__).resolve().parent.parent / "docs"
PERIOD, VALIDATION = ("2001-01-01", "2001-12-31"), ("2002-01-01", "2002-12-31")


def main() -> None:
    catchment = vardex.load_camels("01022500")

    started = time.perf_counter()
    band = vardex.glue(catchment, "gr4j", n=2000, threshold=0.5, period=PERIOD, validation=VALIDATION, seed=1)
    glue_seconds = time.perf_counter() - started
    result = vardex.calibrate(catchment, "gr4j", period=PERIOD, validation=VALIDATION, progress=False)
    plot.hydrograph(catchment, result, band=band, path=str(DOCS / "glue_01022500.png"))
    print(f"GLUE, GR4J + CemaNeige: {len(band.scores)} runs, {int(band.behavioural.sum())} behavioural, "
          f"coverage {100 * band.coverage:.1f} %, {glue_seconds:.1f} s")

    started = time.perf_counter()
    indices = vardex.sensitivity(catchment, "hbv", method="sobol", n=512, period=PERIOD, seed=1, progress=False)
    sobol_seconds = time.perf_counter() - started
    plot.sensitivity(indices, path=str(DOCS / "sensitivity_hbv.png"))
    print(f"Sobol', HBV + CemaNeige: {indices.runs} runs, {sobol_seconds:.1f} s")

    started = time.perf_counter()
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "results.csv"
        table = vardex.calibrate_many([vardex.load_camels(g) for g in gauges()], MODELS, [1], out=out,
                                      period=PERIOD, validation=VALIDATION, progress=False)
        summary = report.summarize(out)
    study_seconds = time.perf_counter() - started
    plot.signature_errors(report.signature_errors(summary), "Signature errors of the twenty models on the two bundled "
                          "catchments (calibration 2001, defaults, seed 1); red: median",
                          path=str(DOCS / "signature_errors.png"))
    print(f"signature errors: {len(table)} calibrations with their signatures, {study_seconds:.1f} s")


if __name__ == "__main__":
    main()
