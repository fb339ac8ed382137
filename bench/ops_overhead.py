#!/usr/bin/env python3
"""Cost of the compiled operation bodies, in two settings.

(a) Per call, with a transport that hands back prebuilt records at once and a logger that does
    nothing: `csq` and `read` (twin-element meter, hardware cached) of the compiled core against
    a plain-Python class in this file doing the same steps. Goal: core <= 0.5 of Python.
(b) End to end over loopback gRPC against the in-process simulator: `csq` calls per second
    through the core (real transport, real logger) against the same element read made directly
    with the generated stub and the codec's decode_element. Goal: core >= 0.9 of direct.

Both sides of each comparison run interleaved in one process; the best of several rounds counts.
The root logger is set to WARNING, so info entries are never rendered.

    python bench/ops_overhead.py        # against whatever norvo_halvex is importable
"""

from __future__ import annotations

import logging
import os
import sys
import time

import grpc

import norvo_halvex.mediator.api_core as api_core
from norvo_halvex.mediator.grpc import halvex_mediator_pb2 as pb
from norvo_halvex.mediator.grpc import halvex_mediator_pb2_grpc as pb_grpc
from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient as RealTransport
from norvo_halvex.mediator.simulator import Fleet, start_simulator
from norvo_halvex.util.meters import is_three_phase, is_twin_element
from quarn_frame_protocol.elements import decode_element
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # for _fakes, from any working directory
import _fakes  # noqa: E402
from _fakes import PlainPrimitives, QuietLogger, bad_arg, logger, per_call_ns  # noqa: E402

ROOT_LEVEL = logging.WARNING
TWIN = "HX1000002"
SINGLE = "HX1000001"
THREE = "HX3000001"
RECORDS: dict = {}  # object id -> record, filled from the simulator before timing
TOTALS = [("active_import", "three_phase_total_active_import"), ("active_export", "three_phase_total_active_export"),
          ("reactive_import", "three_phase_total_reactive_import"),
          ("reactive_export", "three_phase_total_reactive_export"),
          ("apparent_import", "three_phase_total_apparent_import"),
          ("apparent_export", "three_phase_total_apparent_export")]


class InstantTransport(_fakes.InstantTransport):
    def read_element(self, serial, object_id):
        return RECORDS[object_id]


class PlainAPI(PlainPrimitives):
    """The operations measured here, written in Python with the same checks and steps."""

    def __init__(self, mediator_address="0.0.0.0:50051", logging_level=logging.INFO):
        self.grpc_client = InstantTransport(mediator_address=mediator_address)
        logging.getLogger().setLevel(logging_level)
        self.log = logger.bind(mediator_address=mediator_address)
        self._hardware_cache = {}

    def hardware(self, serial):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        if serial in self._hardware_cache:
            result = self._hardware_cache[serial]
            if result is not None and type(result) is not str:
                raise TypeError(f"Expected str, got {type(result).__name__}")
            return result
        raise NotImplementedError("the benchmark always has the hardware cached")

    def csq(self, serial):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        data = self._read_element(serial, ObjectIdEnum.csq_net_op)
        self.log.info("received csq", csq=data.csq, serial=serial)
        value = data.csq
        if value is None or type(value) is int:
            return value
        return int(value)

    def _element(self, serial, object_id, message):
        data = self._read_element(serial, object_id)
        reads = {
            "import_active": data.import_active / 1000,
            "export_active": data.export_active / 1000,
            "import_reactive": data.import_reactive / 1000,
            "export_reactive": data.export_reactive / 1000,
        }
        self.log.info(message, reads=reads, serial=serial)
        return reads

    def read_element_a(self, serial):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        return self._element(serial, ObjectIdEnum.read_element_a, "received read_element_a record")

    def read_element_b(self, serial):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        return self._element(serial, ObjectIdEnum.read_element_b, "received read_element_b record")

    def read(self, serial):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        hardware = self.hardware(serial)
        if is_three_phase(hardware):
            return self.three_phase_read(serial, hardware)
        element_a = self.read_element_a(serial)
        if element_a is not None and not isinstance(element_a, dict):
            raise TypeError(f"Expected dict, got {type(element_a).__name__}")
        element_b = None
        if is_twin_element(hardware):
            element_b = self.read_element_b(serial)
            if element_b is not None and not isinstance(element_b, dict):
                raise TypeError(f"Expected dict, got {type(element_b).__name__}")
        pair = (element_a, element_b)
        self.log.info("single phase read [" + str(pair) + "]", serial=serial)
        return pair

    def three_phase_read(self, serial, hardware):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        if hardware is not None and type(hardware) is not str:
            bad_arg("hardware", "str", hardware)
        if not hardware:
            hardware = self.hardware(serial)
            if hardware is not None and type(hardware) is not str:
                raise TypeError(f"Expected str, got {type(hardware).__name__}")
        records = [self._safe_read_element(serial, getattr(ObjectIdEnum, name)) for _, name in TOTALS]
        reads = {key: self._scale_value(rec, hardware) for (key, _), rec in zip(TOTALS, records)}
        self.log.info("reads: " + str(reads), serial=serial)
        return reads


def three_phase_read_built() -> bool:
    probe = api_core.HalvexMediatorAPI("probe:1", ROOT_LEVEL)
    try:
        probe.three_phase_read(THREE, "P1.ax")
    except NotImplementedError:
        return False
    return True


def overhead(sim) -> None:
    print("(a) per call, instant transport and do-nothing logger")
    with RealTransport(sim.address, timeout=5.0) as transport:
        for object_id in (ObjectIdEnum.csq_net_op, ObjectIdEnum.read_element_a, ObjectIdEnum.read_element_b):
            RECORDS[object_id] = transport.read_element(TWIN, object_id)
        for _, name in TOTALS:
            RECORDS[getattr(ObjectIdEnum, name)] = transport.read_element(THREE, getattr(ObjectIdEnum, name))

    saved = api_core.logger, api_core.HalvexMediatorGrpcClient
    api_core.logger, api_core.HalvexMediatorGrpcClient = QuietLogger(), InstantTransport
    try:
        core, plain = api_core.HalvexMediatorAPI("bench:1", ROOT_LEVEL), PlainAPI("bench:1", ROOT_LEVEL)
        for api in (core, plain):
            api._hardware_cache[TWIN] = "P0.te"
        cases = [
            ("csq", lambda: core.csq(TWIN), lambda: plain.csq(TWIN), 200_000),
            ("read (twin element, hardware cached)", lambda: core.read(TWIN), lambda: plain.read(TWIN), 50_000),
        ]
        for name, core_fn, plain_fn, _ in cases:  # same results before timing anything
            assert core_fn() == plain_fn(), name
        if three_phase_read_built():
            cases.append(("three_phase_read (hardware given)", lambda: core.three_phase_read(THREE, "P1.ax"),
                          lambda: plain.three_phase_read(THREE, "P1.ax"), 50_000))
        else:
            print("  three_phase_read: not measured (its body is not in this build of the core)")

        print(f"  {'call':38} {'core ns':>9} {'python ns':>10} {'ratio':>7}")
        for name, core_fn, plain_fn, n in cases:
            core_best = plain_best = float("inf")
            for _ in range(7):
                core_best = min(core_best, per_call_ns(core_fn, n))
                plain_best = min(plain_best, per_call_ns(plain_fn, n))
            print(f"  {name:38} {core_best:9.1f} {plain_best:10.1f} {core_best / plain_best:7.2f}")
        pair = plain.read(TWIN)
        text_ns = min(per_call_ns(lambda: "single phase read [" + str(pair) + "]", 50_000) for _ in range(5))
        print(f"  (both sides of read spend {text_ns:.0f} ns building its 'single phase read [' message text)")
        print("  goal: core <= 0.50 of plain Python")
    finally:
        api_core.logger, api_core.HalvexMediatorGrpcClient = saved


def calls_per_second(fn, seconds: float) -> float:
    n = 0
    start = time.perf_counter()
    deadline = start + seconds
    while True:
        for _ in range(50):
            fn()
        n += 50
        now = time.perf_counter()
        if now >= deadline:
            return n / (now - start)


def end_to_end(sim) -> None:
    print("(b) end to end over loopback gRPC, csq of", SINGLE)
    api = api_core.HalvexMediatorAPI(sim.address, ROOT_LEVEL)
    channel = grpc.insecure_channel(sim.address, options=(("grpc.enable_retries", 0),))
    stub = pb_grpc.HalvexMediatorStub(channel)
    request = pb.ReadElementRequest
    object_id = ObjectIdEnum.csq_net_op

    def direct():
        reply = stub.ReadElement(request(serial=SINGLE, object_id=object_id), timeout=5.0)
        return decode_element(object_id, reply.payload).csq

    try:
        assert api.csq(SINGLE) == direct()
        for _ in range(200):  # warm both channels
            api.csq(SINGLE)
            direct()
        core_best = direct_best = 0.0
        for _ in range(5):
            core_best = max(core_best, calls_per_second(lambda: api.csq(SINGLE), 1.0))
            direct_best = max(direct_best, calls_per_second(direct, 1.0))
        print(f"  core   {core_best:9.0f} calls/s  ({1e6 / core_best:6.1f} us/call)")
        print(f"  direct {direct_best:9.0f} calls/s  ({1e6 / direct_best:6.1f} us/call)")
        print(f"  ratio core/direct {core_best / direct_best:.3f}  (goal >= 0.90)")
    finally:
        channel.close()
        api.grpc_client.close()


def main() -> int:
    logging.getLogger().setLevel(ROOT_LEVEL)
    print(f"python {sys.version.split()[0]}, core from {api_core.__file__}")
    print(f"root logger level {logging.getLevelName(ROOT_LEVEL)}: info entries are not rendered")
    with start_simulator(Fleet.default()) as sim:
        overhead(sim)
        end_to_end(sim)
    return 0


if __name__ == "__main__":
    sys.exit(main())
