#!/usr/bin/env python3
"""Per-call overhead of the compiled core against the same calls written in plain Python.

The transport answers at once and the logger does nothing, so what is measured is the method
machinery itself: argument checks, attribute and global lookups, calls, error mapping. Both
sides run in this one process, interleaved, and the best of several rounds is kept.

    python bench/api_overhead.py            # against whatever norvo_halvex is importable
"""

from __future__ import annotations

import logging
import sys
import time
from types import SimpleNamespace

import grpc

import norvo_halvex.mediator.api_core as api_core
from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException

RECORD = SimpleNamespace(value=123456789)


class QuietLogger:
    def bind(self, **fields):
        return self

    def debug(self, message, **fields):
        pass

    info = warn = error = debug


class InstantTransport:
    def __init__(self, mediator_address=None):
        pass

    def read_element(self, serial, object_id):
        return RECORD

    def write_element(self, serial, object_id, payload):
        return None

    def send_message(self, serial, message):
        return b""


class FailingTransport(InstantTransport):
    def read_element(self, serial, object_id):
        raise HalvexConnectionFailure("meter unreachable")


logger = QuietLogger()
HalvexMediatorGrpcClient = InstantTransport


class PlainAPI:
    """The same primitives written in Python, checks included."""

    def __init__(self, mediator_address="0.0.0.0:50051", logging_level=logging.INFO):
        if mediator_address is not None and type(mediator_address) is not str:
            raise TypeError("Argument 'mediator_address' has incorrect type")
        self.grpc_client = HalvexMediatorGrpcClient(mediator_address=mediator_address)
        logging.getLogger().setLevel(logging_level)
        self.log = logger.bind(mediator_address=mediator_address)
        self.log.debug("HalvexMediatorClient init")
        self._hardware_cache = {}

    def _read_element(self, serial, object_id):
        if type(serial) is not str:
            raise TypeError(f"Argument 'serial' has incorrect type (expected str, got {type(serial).__name__})")
        try:
            return self.grpc_client.read_element(serial, object_id)
        except HalvexConnectionFailure as e:
            raise MediatorClientException("HALVEX_CONNECTION_FAILURE", e.message)
        except HalvexEOFError as e:
            raise MediatorClientException("HALVEX_EOF_ERROR", e.message)
        except grpc.RpcError as e:
            name = e.code().name
            raise MediatorClientException(name, str(e.details() or ""))

    def _safe_read_element(self, serial, element_id):
        if type(serial) is not str:
            raise TypeError(f"Argument 'serial' has incorrect type (expected str, got {type(serial).__name__})")
        try:
            return self._read_element(serial, element_id)
        except Exception as e:
            text = str(element_id)
            name = getattr(element_id, "name", text)
            logger.error(f"Failed to read element {name}. Exception: {e}", serial=serial)
            return None

    def _scale_value(self, rec, hardware):
        if type(hardware) is not str:
            raise TypeError(f"Argument 'hardware' has incorrect type (expected str, got {type(hardware).__name__})")
        if hardware == "P1.cx":
            return self._scale_10k_value(rec)
        return self._scale_kilo_value(rec)

    def _scale_10k_value(self, rec):
        if not rec:
            return None
        return float(rec.value / 10000)

    def _scale_kilo_value(self, rec):
        if not rec:
            return None
        return float(rec.value / 1000)


def per_call_ns(fn, n: int) -> float:
    start = time.perf_counter_ns()
    for _ in range(n):
        fn()
    return (time.perf_counter_ns() - start) / n


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
