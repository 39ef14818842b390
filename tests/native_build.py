"""Compile and run small self-checking C++ programs against the core sources (no Python module needed)."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path
from typing import Iterable

import pytest

REPO_ROOT = Path(__file__).resolve().parent.parent
CXX_FLAGS = ["-std=c++23", "-O2", "-ffp-contract=off", "-Wall", "-Wextra"]


def compile_native(sources: Iterable[str | Path], out_dir: Path, name: str = "native_test") -> Path:
    """Build an executable from sources (paths relative to the repo root, or absolute) with src/ on the
    include path. Skips the test when g++ is missing; fails it with the compiler output on error."""
    cxx = shutil.which("g++")
    if cxx is None:
        pytest.skip("g++ not found")
    exe = Path(out_dir) / name
    cmd = [cxx, *CXX_FLAGS, f"-I{REPO_ROOT / 'src'}", *(str(REPO_ROOT / s) for s in sources), "-o", str(exe)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.fail(f"compilation failed:\n{' '.join(cmd)}\n{proc.stdout}{proc.stderr}", pytrace=False)
    return exe


def run_native(exe: Path, *args: str, stdin: str | None = None, timeout: float = 300) -> subprocess.CompletedProcess:
    return subprocess.run([str(exe), *args], input=stdin, capture_output=True, text=True, timeout=timeout)
