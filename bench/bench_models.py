"""simulate per model (ns per day on 36,500 days) and, with --against, the same models in another build.

Usage:
    python bench/bench_models.py                      # the installed build
    python bench/bench_models.py --against DIR        # also DIR's vardex_rs*.so, rounds interleaved

Each round runs every build in a fresh process, alternating, so both share the machine's noise; the table
keeps the best round of each. Models missing from the other build are left blank.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

DAYS = 36500


def measure(calls: int) -> dict[str, float]:
    import numpy as np

    import vardex_rs

    rng = np.random.default_rng(0)
    p = rng.gamma(0.6, 6.0, DAYS)
    t = 8.0 + 12.0 * np.sin((np.arange(DAYS) - 100) * 2 * np.pi / 365)
    pet = vardex_rs.pet.oudin.simulate(t, (np.arange(DAYS) % 365 + 1).astype(np.uint64), 45.0)
    out = {}
    for name in (k for k in vars(vardex_rs.hydro) if not k.startswith("__")):
        module = getattr(vardex_rs.hydro, name)
        params = module.init()[0]
        module.simulate(params, p, pet)
        best = float("inf")
        for _ in range(calls):
            start = time.perf_counter()
            module.simulate(params, p, pet)
            best = min(best, time.perf_counter() - start)
        out[name] = best / DAYS * 1e9
    return out


def run_build(path: str | None, calls: int) -> dict[str, float]:
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = os.pathsep.join([path, env.get("PYTHONPATH", "")])
    proc = subprocess.run([sys.executable, __file__, "--worker", str(calls)], env=env, check=True,
                          capture_output=True, text=True)
    return json.loads(proc.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--against", metavar="DIR", help="directory holding another build of vardex_rs")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--calls", type=int, default=10, help="calls per model and round (best is kept)")
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(measure(args.worker)))
        return

    builds = {"installed": None} | ({"against": args.against} if args.against else {})
    best: dict[str, dict[str, float]] = {b: {} for b in builds}
    for _ in range(args.rounds):
        for build, path in builds.items():
            for model, ns in run_build(path, args.calls).items():
                best[build][model] = min(ns, best[build].get(model, float("inf")))

    print(f"simulate, ns/day on {DAYS} days, best of {args.rounds} rounds x {args.calls} calls ({os.uname().machine}, "
          f"{os.cpu_count()} CPUs)")
    header = f"{'model':12s} {'installed':>10s}"
    if args.against:
        header += f" {'against':>10s} {'ratio':>7s}"
    print(header)
    for model, ns in best["installed"].items():
        line = f"{model:12s} {ns:10.1f}"
        if args.against:
            other = best["against"].get(model)
            line += f" {other:10.1f} {ns / other:7.3f}" if other else f" {'':>10s} {'':>7s}"
        print(line)


if __name__ == "__main__":
    main()
