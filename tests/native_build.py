"""Build the native test programs of tests/native once, with CMake against the core library, and run them.

The tree is configured from the project's own CMakeLists.txt (extensions off, test programs on), so the
programs are compiled with the extension's flags; the build directory is kept, so later runs only rebuild
what changed. VARDEX_NATIVE_CMAKE_ARGS adds configure options (e.g. -DVARDEX_SANITIZE=ON); such a build gets
its own directory, named after the options, so it never reconfigures the usual one."""

from __future__ import annotations

import functools
import hashlib
import os
import shlex
import shutil
import subprocess
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parent.parent
EXTRA_ARGS = os.environ.get("VARDEX_NATIVE_CMAKE_ARGS", "").strip()
BUILD_DIR = REPO_ROOT / "tests" / "native" / (
    f"build-{hashlib.sha256(EXTRA_ARGS.encode()).hexdigest()[:12]}" if EXTRA_ARGS else "build")


@functools.lru_cache(maxsize=None)
def _build() -> tuple[bool, str]:
    cmake = shutil.which("cmake")
    if cmake is None:
        return False, "cmake not found (it is in the test extra)"
    steps = [
        [cmake, "-S", str(REPO_ROOT), "-B", str(BUILD_DIR), "-DCMAKE_BUILD_TYPE=Release",
         "-DVARDEX_PYTHON=OFF", "-DVARDEX_NATIVE_TESTS=ON", *shlex.split(EXTRA_ARGS)],
        [cmake, "--build", str(BUILD_DIR), "--parallel", "2", "--target", "calibration_test", "rng_test"],
    ]
    for cmd in steps:
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            return False, f"{' '.join(cmd)}\n{proc.stdout}{proc.stderr}"
    return True, ""


def native_program(name: str) -> Path:
    """Path of a built test program; fails the test with the build output if the build failed."""
    ok, log = _build()
    if not ok:
        pytest.fail(f"native build failed:\n{log}", pytrace=False)
    return BUILD_DIR / name


def run_native(exe: Path, *args: str, stdin: str | None = None, timeout: float = 300) -> subprocess.CompletedProcess:
    return subprocess.run([str(exe), *args], input=stdin, capture_output=True, text=True, timeout=timeout)
