"""Fleet read: 1 worker against 16, through the same code path as `halvex fleet`.

200 simulated meters (all four kinds), each answering every request after 50 ms, served
by the in-process simulator. Each run uses a fresh client (no hardware cached) and writes
its CSV to a scratch file. Prints both times and the speedup; never fails on a ratio.

    PYTHONPATH=src/python .venv/bin/python bench/fleet.py [--meters 200] [--latency 0.05]
"""

from __future__ import annotations

import argparse
import csv
import os
import sys
import tempfile
import time

from norvo_halvex.cli import main as halvex
from norvo_halvex.mediator.simulator import Fault, Fleet, start_simulator


def run_fleet(address: str, serial_file: str, out: str, workers: int) -> tuple[float, int]:
    started = time.perf_counter()
    code = halvex(["--mediator", address, "fleet", "--file", serial_file, "--workers", str(workers),
                   "--out", out, "--quiet"])
    elapsed = time.perf_counter() - started
    with open(out, newline="") as f:
        rows = list(csv.DictReader(f))
    failed = sum(1 for r in rows if r["status"] != "ok")
    if code != 0 or failed:
        print(f"  warning: exit code {code}, {failed} of {len(rows)} meters failed", file=sys.stderr)
    return elapsed, len(rows)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--meters", type=int, default=200)
    p.add_argument("--latency", type=float, default=0.05, help="seconds added to every request")
    p.add_argument("--workers", type=int, nargs="+", default=[1, 16])
    args = p.parse_args()

    fleet = Fleet.generate(args.meters, fault=Fault(latency=args.latency))
    serials = sorted(fleet.meters)
    with tempfile.TemporaryDirectory(prefix="halvex-bench-") as tmp, start_simulator(fleet) as sim:
        serial_file = os.path.join(tmp, "meters.txt")
        with open(serial_file, "w") as f:
            f.write("\n".join(serials) + "\n")
        print(f"fleet read: {len(serials)} meters, {args.latency * 1000:.0f} ms per request, simulator {sim.address}")
        times = {}
        for workers in args.workers:
            elapsed, rows = run_fleet(sim.address, serial_file, os.path.join(tmp, f"out-{workers}.csv"), workers)
            times[workers] = elapsed
            print(f"  {workers:3d} worker{'s' if workers != 1 else ' '}  {elapsed:7.2f} s  "
                  f"({rows} rows, {rows / elapsed:6.1f} meters/s)")
        base = times[args.workers[0]]
        for workers in args.workers[1:]:
            print(f"  speedup {args.workers[0]} -> {workers} workers: {base / times[workers]:.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
