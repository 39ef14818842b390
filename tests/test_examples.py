"""The shipped examples run on the real catchment data and calibration reaches a good fit."""
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def test_first_run_example():
    out = subprocess.run([sys.executable, str(EXAMPLES / "gr4j_first_run.py")], check=True, capture_output=True,
                         text=True).stdout
    assert "1461 days simulated" in out and "NSE" in out


@pytest.mark.parametrize("seed", [1, 2])
def test_calibration_example_reaches_good_fit(seed, monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import calibrate_01022500

    results = calibrate_01022500.main(seed)
    for label, (nse, kge) in results.items():
        assert nse > 0.6, label
        assert kge > 0.6, label
