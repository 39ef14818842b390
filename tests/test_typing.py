"""The package and the examples type-check strictly against the extension's stubs."""
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parent.parent


def test_mypy_strict():
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "python/vardex", "examples"],
                         cwd=ROOT, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
