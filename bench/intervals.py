#!/usr/bin/env python3
"""A full-day interval download end to end: where the time goes.

The real client against the in-process simulator over gRPC on loopback: six frames, their
parsing, the interval collection and the CSV written to a scratch file, repeated. The
transport's calls are timed by wrapping them on the client's transport object, the combine and
export steps by wrapping the module-level utilities the core looks up at call time; the rest of
a download is the core and the codec (building requests, parsing frames and blocks, logging).
Also times the codec alone on one captured reply (frame + block `_read`). Prints figures only.

    PYTHONPATH=src/python .venv/bin/python bench/intervals.py [--days 40] [--serial HX3000002]
    python bench/intervals.py                 # against an installed norvo_halvex
"""

from __future__ import annotations

import argparse
import datetime as dt
import functools
import os
import sys
import tempfile
import time
import timeit

import norvo_halvex.mediator.api_core as api_core
from norvo_halvex.mediator.simulator import Fleet, start_simulator
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import (
    QuarnProfileThreePhaseIntervalsResponseBlock as Block,
)
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_frame import (
    QuarnProfileThreePhaseIntervalsResponseFrame as Frame,
)
from quarn_frame_protocol.stream import BytesIO, KaitaiStream

UTC = dt.timezone.utc
NOW = dt.datetime(2025, 7, 1, 12, 0, tzinfo=UTC)


class Clock:
    """Accumulates the time spent inside wrapped callables."""

    def __init__(self) -> None:
        self.seconds = 0.0
        self.calls = 0

    def wrap(self, f):
        @functools.wraps(f)
        def timed(*args, **kwargs):
            started = time.perf_counter()
            try:
                return f(*args, **kwargs)
            finally:
                self.seconds += time.perf_counter() - started
                self.calls += 1

        return timed


def parse(reply: bytes):
    frame = Frame(len(reply), KaitaiStream(BytesIO(reply)))
    frame._read()
    block = Block(len(frame.frame_data), KaitaiStream(BytesIO(frame.frame_data)))
    block._read()
    return block


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--days", type=int, default=40, help="downloads to time (one UTC day each)")
    p.add_argument("--serial", default="HX3000002", help="a three-phase meter of the default fleet")
    args = p.parse_args()

    fleet = Fleet.default()
    fleet.freeze_time(NOW)
    grpc_clock, combine_clock, export_clock = Clock(), Clock(), Clock()
    replies: list[bytes] = []

    with tempfile.TemporaryDirectory(prefix="halvex-bench-") as tmp, start_simulator(fleet) as sim:
        client = api_core.HalvexMediatorAPI(sim.address)
        transport = client.grpc_client
        send = transport.send_message

        def capture(serial, message):
            reply = send(serial, message)
            if not replies:
                replies.append(reply)
            return reply

        transport.send_message = grpc_clock.wrap(capture)
        transport.read_element = grpc_clock.wrap(transport.read_element)
        api_core.blocks_to_intervals_rec = combine_clock.wrap(api_core.blocks_to_intervals_rec)
        api_core.export_three_phase_intervals_to_csv = export_clock.wrap(api_core.export_three_phase_intervals_to_csv)

        out = os.path.join(tmp, "day.csv")
        first_day = (NOW - dt.timedelta(days=args.days + 1)).date()
        client.three_phase_intervals(args.serial, first_day, None, None, out)  # warm-up: channel, imports
        for c in (grpc_clock, combine_clock, export_clock):
            c.seconds, c.calls = 0.0, 0

        started = time.perf_counter()
        rows = 0
        for i in range(args.days):
            rows += len(client.three_phase_intervals(args.serial, first_day + dt.timedelta(days=i + 1), None, None, out))
        total = time.perf_counter() - started
        transport.close()

    per_day = total / args.days
    core = total - grpc_clock.seconds - combine_clock.seconds - export_clock.seconds
    print(f"full-day interval download, {args.serial}, {args.days} days ({rows // args.days} intervals each), "
          f"simulator over gRPC on loopback")
    print(f"  per day           {per_day * 1e3:8.2f} ms   ({grpc_clock.calls // args.days} gRPC calls)")
    for name, seconds in (
        ("gRPC exchanges", grpc_clock.seconds),
        ("core + codec", core),
        ("combine blocks", combine_clock.seconds),
        ("CSV export", export_clock.seconds),
    ):
        print(f"  {name:16s}  {seconds / args.days * 1e3:8.2f} ms   {seconds / total:6.1%}")

    reply = replies[0]
    block = parse(reply)
    n = len(block.intervals)
    number, seconds = timeit.Timer(lambda: parse(reply)).autorange()
    best = min(timeit.repeat(lambda: parse(reply), number=number, repeat=5)) / number
    print(f"codec parse of one captured reply ({len(reply)} bytes, {n} intervals): "
          f"{best * 1e6:.1f} us per block (frame + block _read), {best / n * 1e6:.2f} us per interval")
    # The core formats both records into its debug lines on every frame, whatever the log level.
    frame = Frame(len(reply), KaitaiStream(BytesIO(reply)))
    frame._read()
    number, _ = timeit.Timer(lambda: (str(frame), str(block))).autorange()
    text = min(timeit.repeat(lambda: (str(frame), str(block)), number=number, repeat=5)) / number
    print(f"text forms of that frame and block for the debug lines: {text * 1e6:.1f} us per frame")
    return 0


if __name__ == "__main__":
    sys.exit(main())
