"""Shared pieces of the bench/ scripts: the forcing series, the native harness build and run, the machine
description, the load, and tables printed as text or markdown.

The series are CAMELS 01022500 (Narraguagus River, Maine): the 1096 days of 2000-2002, where both forcing and
streamflow exist, repeated to the length asked for (36,500 days: that block 33 times and a third).
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterator

REPO_ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = REPO_ROOT / "bench" / "build"
HARNESS_BUILD = BUILD_DIR / "harness"
DAYS = 36500
BLOCK = 1096  # 2000-01-01 .. 2002-12-31: forcing and streamflow both present
WARMUP = 365


def series(days: int = DAYS, gauge: str = "01022500") -> dict[str, Any]:
    """Precipitation, temperature, PET, observed flow (mm/day) and day of year of `gauge`, `days` long."""
    import numpy as np

    import vardex

    c = vardex.load_camels(gauge)
    out: dict[str, Any] = {name: np.resize(getattr(c, name)[:BLOCK], days).astype(np.float64)
                           for name in ("precipitation", "temperature", "pet", "observed")}
    out["day_of_year"] = np.resize(c.day_of_year[:BLOCK], days).astype(np.uint64)
    out["median_elevation"] = float(c.median_elevation)
    return out


def write_forcing(days: int = DAYS) -> Path:
    """The harness's input file: u64 n, the four float64 series, then the uint64 days of year."""
    import numpy as np

    s = series(days)
    BUILD_DIR.mkdir(parents=True, exist_ok=True)
    path = BUILD_DIR / f"forcing-{days}.bin"
    with open(path, "wb") as f:
        np.array([days], dtype=np.uint64).tofile(f)
        for name in ("precipitation", "temperature", "pet", "observed"):
            s[name].tofile(f)
        s["day_of_year"].tofile(f)
    return path


def build_harness() -> Path:
    """Configures bench/build/harness from the project's CMakeLists.txt (Release, as the extension is built,
    extensions off) and builds bench_harness; later calls only rebuild what changed."""
    cmake = shutil.which("cmake")
    if cmake is None:
        sys.exit("cmake not found (pip install cmake)")
    steps = [
        [cmake, "-S", str(REPO_ROOT), "-B", str(HARNESS_BUILD), "-DCMAKE_BUILD_TYPE=Release",
         "-DVARDEX_PYTHON=OFF", "-DVARDEX_BENCH=ON"],
        [cmake, "--build", str(HARNESS_BUILD), "--parallel", "2", "--target", "bench_harness"],
    ]
    for cmd in steps:
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            sys.exit(f"{' '.join(cmd)} failed:\n{proc.stdout}{proc.stderr}")
    return HARNESS_BUILD / "bench_harness"


def run_harness(only: str, samples: int) -> list[dict[str, Any]]:
    exe = build_harness()
    forcing = write_forcing()
    proc = subprocess.run([str(exe), str(forcing), "--samples", str(samples), "--only", only],
                          capture_output=True, text=True, check=True)
    return [json.loads(line) for line in proc.stdout.splitlines() if line.strip()]


def harness_build_info() -> dict[str, str]:
    return next(r for r in run_harness("none", 1) if r["case"] == "build")


def run_worker(script: str, *args: str) -> Any:
    """Runs `script --worker ARGS` in a fresh interpreter and returns the JSON it prints."""
    proc = subprocess.run([sys.executable, script, "--worker", *args], capture_output=True, text=True, check=True)
    return json.loads(proc.stdout)


def in_turn(script: str, args: list[str], other_python: str, rounds: int) -> Iterator[tuple[int, Any]]:
    """Runs ``script ARGS --json FILE`` with this interpreter (side 0) and ``other_python`` (side 1, another
    build) in turn, a fresh process each, the first side alternating round after round (the machine's drift
    falls on both alike); yields (side, the JSON written to FILE)."""
    for r in range(rounds):
        for side in ((0, 1) if r % 2 == 0 else (1, 0)):
            with tempfile.NamedTemporaryFile(suffix=".json") as out:
                command = [sys.executable if side == 0 else other_python, script, *args, "--json", out.name]
                subprocess.run(command, check=True, capture_output=True)
                yield side, json.load(open(out.name))
            print(f"round {r + 1}, {'this' if side == 0 else 'the other'} build done", file=sys.stderr)


def best_cpu_time(call: Callable[[], Any], samples: int) -> float:
    """The least CPU time (all threads of this process) of ``samples`` calls: robust to a loaded machine,
    where wall time mostly measures the wait for a core."""
    best = float("inf")
    for _ in range(samples):
        start = time.process_time()
        call()
        best = min(best, time.process_time() - start)
    return best


def keep_best(best: dict[Any, float], key: Any, value: float) -> None:
    best[key] = min(value, best.get(key, float("inf")))


def load() -> str:
    one, five, fifteen = os.getloadavg()
    return f"{one:.2f} / {five:.2f} / {fifteen:.2f}"


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def machine() -> dict[str, str]:
    import numpy as np

    import vardex_rs

    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    build = harness_build_info()
    commit = subprocess.run(["git", "-C", str(REPO_ROOT), "describe", "--always", "--dirty"],
                            capture_output=True, text=True).stdout.strip() or "unknown"
    return {
        "CPU": f"{cpu_model()} ({platform.machine()})",
        "cores": f"{os.cpu_count()} logical, {usable} usable by this process",
        "compiler": f"{build['compiler']}, {build['flags']}",
        "Python": platform.python_version(),
        "NumPy": np.__version__,
        "vardex_rs": f"{vardex_rs.__file__}",
        "commit": commit,
    }


def goal(ok: bool) -> str:
    return "yes" if ok else "**no**"


@dataclass
class Table:
    title: str
    columns: list[str]
    rows: list[list[str]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)

    def text(self) -> str:
        cells = [self.columns] + [[c.replace("**", "") for c in r] for r in self.rows]
        widths = [max(len(r[i]) for r in cells) for i in range(len(self.columns))]
        lines = [self.title]
        for r in cells:
            lines.append("  " + "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in
                                          enumerate(zip(r, widths))))
        lines += [f"  {n}" for n in self.notes]
        return "\n".join(lines)

    def markdown(self) -> str:
        lines = [f"**{self.title}**", "", "| " + " | ".join(self.columns) + " |",
                 "|" + "|".join(["---"] + ["---:"] * (len(self.columns) - 1)) + "|"]
        lines += ["| " + " | ".join(r) + " |" for r in self.rows]
        if self.notes:
            lines += [""] + [f"{n}" for n in self.notes]
        return "\n".join(lines)


def fmt(value: float, digits: int = 1) -> str:
    return f"{value:,.{digits}f}"


def main_for(measure: Callable[[int, int], list[Table]], worker: Callable[[list[str]], Any] | None, doc: str,
             rounds: int, samples: int) -> None:
    """Command line shared by the section scripts: rounds and samples, text or markdown tables; `--worker ARGS`
    is the script's measuring side run in a fresh interpreter (its JSON result on stdout)."""
    if len(sys.argv) > 1 and sys.argv[1] == "--worker" and worker is not None:
        print(json.dumps(worker(sys.argv[2:])))
        return
    parser = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=rounds, help=f"interleaved rounds, best kept ({rounds})")
    parser.add_argument("--samples", type=int, default=samples, help=f"calls per case and round ({samples})")
    parser.add_argument("--markdown", action="store_true", help="print markdown tables")
    args = parser.parse_args()
    start = load()
    tables = measure(args.rounds, args.samples)
    tables[-1].notes.append(f"Load (1/5/15 min) before: {start}; after: {load()}.")
    print(f"{cpu_model()}, {os.cpu_count()} CPUs, Python {platform.python_version()}")
    for t in tables:
        print()
        print(t.markdown() if args.markdown else t.text())
