#!/usr/bin/env python3
"""The compiled core against the same calls in plain Python and in a Cython build of that Python.

Three implementations of the measured calls run side by side in one process:
  core    norvo_halvex.mediator.api_core.HalvexMediatorAPI
  plain   bench/_plain_api.py, the benchmark's own plain-Python class
  cython  that same file compiled by Cython 3 at bench time (build/bench-cython)
each in two settings:
  py callees  a transport and a logger written in Python that do nothing
  C callees   the transport's read_element and the logger's methods are C callables
              (functools.partial(dict.get, ...), "".format), so the core's own work shows
Rounds are interleaved and the process is pinned to one CPU where the OS allows; the best round
counts. Prints core/plain, core/Cython and Cython/plain per call; the goals are on core/Cython:
no call above the Cython build, the two three-phase register reads at half of it or below.

    python bench/core_speed.py                  # wall-clock ratios
    python bench/core_speed.py --callgrind      # instruction counts under valgrind (repeatable
                                                # on a loaded machine); needs valgrind

Cython is installed by `make bench` only (it is not a dependency of the package).
"""

from __future__ import annotations

import argparse
import functools
import logging
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

import norvo_halvex.mediator.api_core as api_core
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))  # for _plain_api and _fakes, from any working directory
import _fakes  # noqa: E402
import _plain_api  # noqa: E402

BUILD = HERE.parent / "build" / "bench-cython"
SINGLE, THREE = "HX1000001", "HX3000001"
RECORD = SimpleNamespace(csq=17, power=1234, value=123456789)

# (label, method, arguments, goal for core/Cython)
CALLS = [
    ("csq", "csq", (SINGLE,), 1.00),
    ("instantaneous_active_power", "instantaneous_active_power", (SINGLE,), 1.00),
    ("_read_element", "_read_element", (SINGLE, ObjectIdEnum.csq_net_op), 1.00),
    ("_scale_value", "_scale_value", (RECORD, "P1.cx"), 1.00),
    ("three_phase_read", "three_phase_read", (THREE, "P1.ax"), 0.50),
    ("read (three-phase, cached hw)", "read", (THREE,), 0.50),
]
IMPLS = ("core", "plain", "cython")
MODES = ("py callees", "C callees")
# One loop function per case, one for the harness alone (0) and one to warm up with (the last).
LOOPS = len(CALLS) * len(IMPLS) * len(MODES) + 2
WARM_UP = LOOPS - 1


# ---- the Cython builds ------------------------------------------------------------------------

LOOP_SOURCE = """
def loop_{k}(fn, tuple args, Py_ssize_t n):
    cdef Py_ssize_t i
    for i in range(n):
        fn(*args)
"""


def build_cython():
    """Compiles _plain_api.py (as _plain_api_cy) and the timing loops; returns both modules."""
    try:
        import Cython  # noqa: F401
    except ImportError:
        sys.exit("core_speed: Cython is not installed; `make bench` installs it")
    BUILD.mkdir(parents=True, exist_ok=True)
    sources = {
        "_plain_api_cy.py": (HERE / "_plain_api.py").read_text(),
        "_bench_loops.pyx": "".join(LOOP_SOURCE.format(k=k) for k in range(LOOPS)),
    }
    changed = []
    for name, text in sources.items():
        path = BUILD / name
        if not path.exists() or path.read_text() != text or not list(BUILD.glob(path.stem + ".*.so")):
            path.write_text(text)
            changed.append(name)
    if changed:
        print(f"compiling {', '.join(changed)} with Cython into {BUILD} ...", flush=True)
        subprocess.run([sys.executable, "-m", "Cython.Build.Cythonize", "-i", "-3", "-q", *changed],
                       cwd=BUILD, check=True, stdout=subprocess.DEVNULL)
    sys.path.insert(0, str(BUILD))
    import _bench_loops
    import _plain_api_cy

    return _plain_api_cy, _bench_loops


# ---- callees and clients ----------------------------------------------------------------------


class PyTransport(_fakes.InstantTransport):
    def read_element(self, serial, object_id):
        return RECORD


def callees(mode):
    if mode == "py callees":
        return PyTransport(), _fakes.QuietLogger()
    c_log = "".format  # a C callable taking a message and any keyword fields
    transport = SimpleNamespace(read_element=functools.partial(dict.get, {SINGLE: RECORD, THREE: RECORD}))
    return transport, SimpleNamespace(debug=c_log, info=c_log, warn=c_log, error=c_log)


def clients(cython_module):
    api_core.HalvexMediatorGrpcClient = _fakes.InstantTransport
    api_core.logger = _fakes.QuietLogger()
    level = logging.getLogger().level
    classes = {"core": api_core.HalvexMediatorAPI, "plain": _plain_api.PlainAPI, "cython": cython_module.PlainAPI}
    out = {}
    for mode in MODES:
        for impl, cls in classes.items():
            client = cls("bench:1", level)
            client.grpc_client, client.log = callees(mode)
            client._hardware_cache[THREE] = "P1.ax"
            out[impl, mode] = client
    logging.getLogger().setLevel(level)
    return out


def cases(all_clients):
    """(impl, mode, label, bound method, args, loop index), every result checked equal first."""
    out = []
    k = 1  # loop_0 measures the harness
    for label, method, args, _ in CALLS:
        for mode in MODES:
            results = {impl: getattr(all_clients[impl, mode], method)(*args) for impl in IMPLS}
            assert results["core"] == results["plain"] == results["cython"], (label, mode, results)
            for impl in IMPLS:
                out.append((impl, mode, label, getattr(all_clients[impl, mode], method), args, k))
                k += 1
    return out


# ---- reports ----------------------------------------------------------------------------------


def report(cost, unit):
    """cost[(impl, mode, label)] -> per call; prints the three ratios and the goals."""
    missed = []
    for mode in MODES:
        print(f"\n  {mode} ({unit} per call)")
        print(f"  {'call':31} {'core':>8} {'plain':>8} {'cython':>8}  {'core/plain':>10}  {'core/cy':>7} {'goal':>5}"
              f"  {'cy/plain':>8}")
        for label, _, _, goal in CALLS:
            core, plain, cy = (cost[impl, mode, label] for impl in IMPLS)
            mark = "" if core / cy <= goal else "*"
            if mark and mode == "py callees":
                missed.append(label)
            print(f"  {label:31} {core:8.0f} {plain:8.0f} {cy:8.0f}  {core / plain:10.2f}  {core / cy:6.2f}{mark:1}"
                  f" {goal:5.2f}  {cy / plain:8.2f}")
    print("\n  goals (py callees): core/cython as listed; * marks a miss")
    print("  all goals met" if not missed else "  missed: " + ", ".join(missed))


def pin():
    try:
        cpus = sorted(os.sched_getaffinity(0))
        os.sched_setaffinity(0, {cpus[-1]})
        return f"pinned to CPU {cpus[-1]}"
    except (AttributeError, OSError):
        return "not pinned (no sched_setaffinity here)"


def wall_clock(all_cases, loops, rounds, n):
    best = {}
    for r in range(rounds):
        ordered = all_cases if r % 2 == 0 else list(reversed(all_cases))
        for impl, mode, label, fn, args, k in ordered:
            loop = getattr(loops, f"loop_{k}")
            start = time.perf_counter_ns()
            loop(fn, args, n)
            per_call = (time.perf_counter_ns() - start) / n
            key = (impl, mode, label)
            best[key] = min(best.get(key, float("inf")), per_call)
    return best


def inner_callgrind(all_cases, loops, n):
    loops.loop_0(len, ("",), n)  # the harness alone
    for impl, mode, label, fn, args, k in all_cases:
        getattr(loops, f"loop_{WARM_UP}")(fn, args, 20)  # caches warmed outside the measured loop
        getattr(loops, f"loop_{k}")(fn, args, n)


def outer_callgrind(n):
    if shutil.which("valgrind") is None or shutil.which("callgrind_annotate") is None:
        sys.exit("core_speed: --callgrind needs valgrind and callgrind_annotate")
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        print(f"running the cases under callgrind ({n} calls each; a few minutes) ...", flush=True)
        # One hash seed, so that dict probes, and with them the counts, repeat from run to run.
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--dump-instr=no",
                        sys.executable, __file__, "--inner-callgrind", str(n)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env={**os.environ, "PYTHONHASHSEED": "0"})
        text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", str(out)],
                              check=True, capture_output=True, text=True).stdout
    inclusive = {}
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s.*__pyx_p[fw]_\w*?loop_(\d+)\b", line)
        if m:  # the Python wrapper and its body may be one function or two: the larger counts
            k, ir = int(m.group(2)), int(m.group(1).replace(",", "")) / n
            inclusive[k] = max(inclusive.get(k, 0.0), ir)
    return inclusive


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--callgrind", action="store_true", help="instruction counts under valgrind")
    parser.add_argument("--inner-callgrind", type=int, metavar="N", help=argparse.SUPPRESS)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--calls", type=int, default=20_000, help="calls per round and case")
    options = parser.parse_args()

    cython_module, loops = build_cython()
    all_cases = cases(clients(cython_module))
    if options.inner_callgrind:
        inner_callgrind(all_cases, loops, options.inner_callgrind)
        return 0

    print(f"python {sys.version.split()[0]}, core from {api_core.__file__}")
    if options.callgrind:
        n = 2000
        per_call = outer_callgrind(n)
        harness = per_call.get(0, 0.0)
        cost = {(impl, mode, label): per_call[k] - harness for impl, mode, label, _, _, k in all_cases}
        print(f"callgrind: instructions per call, the harness loop ({harness:.0f} Ir/call) taken off")
        report(cost, "Ir")
    else:
        print(f"wall clock, {pin()}, {options.rounds} interleaved rounds of {options.calls} calls; best round")
        report(wall_clock(all_cases, loops, options.rounds, options.calls), "ns")
    return 0


if __name__ == "__main__":
    sys.exit(main())
