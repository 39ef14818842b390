"""Internals of the calibration core (ranking, option parsing, scoring, SCE and DDS building blocks, the
worker pool) checked by a native self-checking program built against the core library."""

from __future__ import annotations

import os
import shutil

import pytest

from native_build import native_program, run_native

@pytest.fixture(scope="module")
def calibration_exe():
    return native_program("calibration_test")


def test_native_self_checks(calibration_exe):
    proc = run_native(calibration_exe)
    failures = [line for line in proc.stdout.splitlines() if line.startswith("FAIL")]
    assert proc.returncode == 0 and not failures, proc.stdout + proc.stderr
    assert proc.stdout.splitlines()[-1].endswith(" 0 failed")


@pytest.mark.skipif(shutil.which("taskset") is None or not hasattr(os, "sched_getaffinity"),
                    reason="needs taskset and sched_getaffinity")
def test_parallel_init_independent_of_processor_count(calibration_exe):
    # The pool sizes itself from the affinity mask; results are collected by row index, so a
    # one-worker run must reproduce the run on every available processor bit for bit.
    full = run_native(calibration_exe, "digest")
    one = run_native(shutil.which("taskset"), "-c", str(min(os.sched_getaffinity(0))), str(calibration_exe), "digest")
    assert full.returncode == 0 and one.returncode == 0, full.stderr + one.stderr
    lines = full.stdout.splitlines()
    assert len(lines) == 6 and not any("failed" in line for line in lines), full.stdout
    assert one.stdout == full.stdout
