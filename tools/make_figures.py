"""Make the README's figures of GLUE and sensitivity in docs/ from the bundled 01022500 (python tools/make_figures.py),
and print what each cost in model runs and seconds."""
import time
from pathlib import Path

import vardex
from vardex import plot

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


if __name__ == "__main__":
    main()
