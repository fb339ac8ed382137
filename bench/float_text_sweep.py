#!/usr/bin/env python3
"""The core's own text of floats against float.__repr__, over many millions of doubles.

The core writes the text of dicts and tuples of numbers in its log lines itself (shortest
round-trip digits laid out by the host's repr rules). This sweep feeds random 64-bit patterns
(every kind of double: subnormals, huge and tiny exponents, infinities, NaNs with payloads) plus
meter-like counts and edge cases through `read` and compares each log line with str().
The test suite runs a bounded sample of the same comparison.

    python bench/float_text_sweep.py [--count 20000000] [--batch 200000]
"""

from __future__ import annotations

import argparse
import array
import math
import os
import sys
import time

import norvo_halvex.mediator.api_core as api_core

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # for _fakes
import _fakes  # noqa: E402

EDGES = [0.0, -0.0, 1e16, 1e16 - 2, 1e-4, 1e-5, 5e-324, 1.7976931348623157e308, math.inf, -math.inf, math.nan,
         0.1, 1 / 3, 123456.789, 4294967.295, 9999999999999998.0, 1e22, 2.2250738585072014e-308]


class LastLine:
    message = None

    def info(self, message, **fields):
        self.message = message

    debug = warn = error = info


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=20_000_000, help="random doubles to compare")
    parser.add_argument("--batch", type=int, default=200_000, help="doubles per log line")
    options = parser.parse_args()

    api_core.HalvexMediatorGrpcClient = _fakes.InstantTransport
    api_core.logger = _fakes.QuietLogger()
    client = api_core.HalvexMediatorAPI("sweep:1")
    client.log = line = LastLine()
    client._hardware_cache["HX1"] = "P0.se"
    keys = [f"k{i}" for i in range(options.batch)]

    def compare(values) -> int:
        element_a = dict(zip(keys, values))
        client.read_element_a = lambda serial: element_a
        client.read("HX1")
        expected = "single phase read [" + str((element_a, None)) + "]"
        if line.message == expected:
            return 0
        ours = line.message[len("single phase read [({"):].split(", ")
        theirs = expected[len("single phase read [({"):].split(", ")
        wrong = [(a, b) for a, b in zip(ours, theirs) if a != b]
        print(f"MISMATCH: {len(wrong)} values differ, first: {wrong[:5]}")
        return len(wrong) or 1

    start = time.perf_counter()
    failures = compare(EDGES)
    failures += compare([n / d for n in (0, 1, 999, 4294967295, 123456789) for d in (1000, 10000, 10.0)])
    done = 0
    while done < options.count:
        n = min(options.batch, options.count - done)
        values = array.array("d")
        values.frombytes(os.urandom(8 * n))
        failures += compare(values)
        done += n
    elapsed = time.perf_counter() - start
    print(f"{done} random doubles and {len(EDGES)} edge cases compared with float.__repr__ in {elapsed:.1f} s: "
          f"{'all equal' if failures == 0 else f'{failures} MISMATCHES'}")
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
