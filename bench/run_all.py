"""All benchmarks (bench_calls, bench_metrics, bench_calibration) in one run, as text or as the markdown section
of BENCHMARKS.md.

Usage:
    python bench/run_all.py                              # text tables
    python bench/run_all.py --markdown                   # the markdown section on stdout
    python bench/run_all.py --update BENCHMARKS.md after # rewrite the section between the "after" markers

Measures the installed vardex_rs (pip install . first) and a native harness built from this tree into
bench/build/. Takes two to three minutes on two cores.
"""
from __future__ import annotations

import argparse
import datetime
import re
import sys
from pathlib import Path

import bench_calibration
import bench_calls
import bench_metrics
import benchlib


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, help="interleaved rounds of every section (default: each section's)")
    parser.add_argument("--markdown", action="store_true", help="print the markdown section")
    parser.add_argument("--update", nargs=2, metavar=("FILE", "NAME"),
                        help="replace the section between <!-- bench NAME: begin/end --> in FILE")
    args = parser.parse_args()

    machine = benchlib.machine()
    loads = [benchlib.load()]
    tables = []
    for module, rounds, samples in ((bench_calls, 5, 10), (bench_metrics, 5, 10), (bench_calibration, 3, 10)):
        print(f"{module.__name__} ...", file=sys.stderr)
        tables += module.measure(args.rounds or rounds, samples)
        loads.append(benchlib.load())

    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    if not (args.markdown or args.update):
        for key, value in machine.items():
            print(f"{key}: {value}")
        print(f"load (1/5/15 min) at start and after each section: {' | '.join(loads)}")
        for t in tables:
            print()
            print(t.text())
        return

    lines = [f"Measured {stamp} at `{machine['commit']}` with `python bench/run_all.py`.", ""]
    lines += [f"- {key}: {value if key != 'vardex_rs' else '`' + Path(value).name + '`'}"
              for key, value in machine.items() if key != "commit"]
    lines += [f"- load (1/5/15 min) at start and after each of the three sections: {' | '.join(loads)}", ""]
    for t in tables:
        lines += [t.markdown(), ""]
    section = "\n".join(lines).rstrip() + "\n"

    if args.markdown:
        print(section)
    if args.update:
        path, name = Path(args.update[0]), args.update[1]
        text = path.read_text()
        pattern = re.compile(rf"(<!-- bench {re.escape(name)}: begin -->\n).*?(<!-- bench {re.escape(name)}: end -->)",
                             re.S)
        if not pattern.search(text):
            sys.exit(f"{path} has no '<!-- bench {name}: begin -->' ... '<!-- bench {name}: end -->' markers")
        path.write_text(pattern.sub(lambda m: m.group(1) + section + m.group(2), text))
        print(f"updated the '{name}' section of {path}", file=sys.stderr)


if __name__ == "__main__":
    main()
