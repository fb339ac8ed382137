#!/usr/bin/env python3
"""Per-call overhead of the compiled core against the same calls written in plain Python.

The transport answers at once and the logger does nothing, so what is measured is the method
machinery itself: argument checks, attribute and global lookups, calls, error mapping. Both
sides run in this one process, interleaved, and the best of several rounds is kept.

    python bench/api_overhead.py            # against whatever norvo_halvex is importable
"""

from __future__ import annotations

import logging
import os
import sys
from types import SimpleNamespace

import norvo_halvex.mediator.api_core as api_core
from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # for _fakes, from any working directory
import _fakes  # noqa: E402
from _fakes import PlainPrimitives, QuietLogger, logger, per_call_ns  # noqa: E402

RECORD = SimpleNamespace(value=123456789)


class InstantTransport(_fakes.InstantTransport):
    def read_element(self, serial, object_id):
        return RECORD


class FailingTransport(InstantTransport):
    def read_element(self, serial, object_id):
        raise HalvexConnectionFailure("meter unreachable")


HalvexMediatorGrpcClient = InstantTransport


class PlainAPI(PlainPrimitives):
    """The same primitives written in Python, checks included."""

    def __init__(self, mediator_address="0.0.0.0:50051", logging_level=logging.INFO):
        if mediator_address is not None and type(mediator_address) is not str:
            raise TypeError("Argument 'mediator_address' has incorrect type")
        self.grpc_client = HalvexMediatorGrpcClient(mediator_address=mediator_address)
        logging.getLogger().setLevel(logging_level)
        self.log = logger.bind(mediator_address=mediator_address)
        self.log.debug("HalvexMediatorClient init")
        self._hardware_cache = {}


def main() -> int:
    global HalvexMediatorGrpcClient
    api_core.logger = QuietLogger()
    api_core.HalvexMediatorGrpcClient = InstantTransport
    root_level = logging.getLogger().level
    core_ok, plain_ok = api_core.HalvexMediatorAPI("bench:1"), PlainAPI("bench:1")
    api_core.HalvexMediatorGrpcClient = HalvexMediatorGrpcClient = FailingTransport
    core_fail, plain_fail = api_core.HalvexMediatorAPI("bench:1"), PlainAPI("bench:1")
    logging.getLogger().setLevel(root_level)

    serial = "HX1000001"
    cases = [
        ("_read_element", lambda c=core_ok: c._read_element(serial, 7),
         lambda p=plain_ok: p._read_element(serial, 7), 200_000),
        ("_safe_read_element (failing read)", lambda c=core_fail: c._safe_read_element(serial, 7),
         lambda p=plain_fail: p._safe_read_element(serial, 7), 50_000),
        ("_scale_value", lambda c=core_ok: c._scale_value(RECORD, "P1.cx"),
         lambda p=plain_ok: p._scale_value(RECORD, "P1.cx"), 200_000),
    ]
    for name, core_fn, plain_fn, _ in cases:  # same results before timing anything
        assert core_fn() == plain_fn(), name

    rounds = 7
    print(f"python {sys.version.split()[0]}, core from {api_core.__file__}")
    print(f"{'call':38} {'core ns':>9} {'python ns':>10} {'ratio':>7}")
    worst = 0.0
    for name, core_fn, plain_fn, n in cases:
        core_best = plain_best = float("inf")
        for _ in range(rounds):
            core_best = min(core_best, per_call_ns(core_fn, n))
            plain_best = min(plain_best, per_call_ns(plain_fn, n))
        ratio = core_best / plain_best
        worst = max(worst, ratio)
        print(f"{name:38} {core_best:9.1f} {plain_best:10.1f} {ratio:7.2f}")
    print(f"goal: core <= 0.50 of plain Python on each; worst ratio {worst:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
