#!/usr/bin/env python3
"""The compiled core end to end over loopback gRPC against the in-process simulator: `csq` calls
per second through the core (real transport, real logger) against the same element read made
directly with the generated stub and the codec's decode_element. Goal: core >= 0.9 of direct.
Both run interleaved in one process; the best of several rounds counts. The root logger is set to
WARNING, so info entries are never rendered. (Per-call overhead against plain Python and Cython:
bench/core_speed.py.)

    python bench/ops_overhead.py        # against whatever norvo_halvex is importable
"""

from __future__ import annotations

import logging
import sys
import time

import grpc

import norvo_halvex.mediator.api_core as api_core
from norvo_halvex.mediator.grpc import halvex_mediator_pb2 as pb
from norvo_halvex.mediator.grpc import halvex_mediator_pb2_grpc as pb_grpc
from norvo_halvex.mediator.simulator import Fleet, start_simulator
from quarn_frame_protocol.elements import decode_element
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum

ROOT_LEVEL = logging.WARNING
SINGLE = "HX1000001"


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
    print("end to end over loopback gRPC, csq of", SINGLE)
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
        end_to_end(sim)
    return 0


if __name__ == "__main__":
    sys.exit(main())
