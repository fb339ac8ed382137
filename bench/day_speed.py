#!/usr/bin/env python3
"""Where an operator feels it, in one run: a day of intervals against the raw gRPC call, and
TLS + token against plain.

The simulator runs in a process of its own (a mediator is another machine); this process is
the client. A day download is timed three ways against the same exchanges made with the
generated stub alone (requests built beforehand, replies not parsed: the raw call):

- the public call writing its CSV to a file (fsync kept);
- the public call writing its CSV to /dev/null (formatted, never stored);
- the collector's path: one meter-day's intervals as `halvex collect` reads them (hardware,
  six frames, assembly, rows), through `collect_meter_day`.

each with the root logger at INFO (the client's default; a handler writes to /dev/null) and at
WARNING (silent), and with the replies given in-process (no gRPC: the client's own work, the
floor's other half); with the entries each way writes per day at INFO, and what one costs
through the client's logger against the same line handed to the logging package directly (its
record and the handlers: what any entry costs, whoever makes it). Then the client's own CPU per
element read over TLS + bearer token against a plain channel (simulators in processes of their
own, one thread), beside the raw stub's over the same two channels (the floor: gRPC's TLS).
Ways take turns for several rounds and the medians count (the machine is shared). Prints
ratios, the client CPU per day, the load average; never fails on a ratio.

    PYTHONPATH=src/python .venv/bin/python bench/day_speed.py [--rounds 25] [--days 4] [--reads 400]
"""

from __future__ import annotations

import argparse
import contextlib
import datetime as dt
import logging
import os
import pathlib
import statistics
import sys
import tempfile
import time
import timeit

import grpc

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))  # the TLS benchmark's configurations and reader
from tls import configurations, reads_per_second, simulator_process  # noqa: E402

from norvo_halvex.collect.task import MeterDay, collect_meter_day  # noqa: E402
from norvo_halvex.log import get_logger  # noqa: E402
from norvo_halvex.mediator.api_core import HalvexMediatorAPI  # noqa: E402
from norvo_halvex.mediator.grpc import halvex_mediator_pb2 as pb  # noqa: E402
from norvo_halvex.mediator.grpc import halvex_mediator_pb2_grpc as pb_grpc  # noqa: E402
from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient  # noqa: E402
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum as O  # noqa: E402

SERIAL = "HX3000002"
LEVELS = {"INFO": logging.INFO, "silent": logging.WARNING}
GOALS = {"public call, CSV to a file": 0.60, "collector's path": 0.85}


class Recording:
    """Wraps a transport and notes the requests it carries, as the raw stub takes them, and
    the replies, for a transport that gives them again without gRPC."""

    def __init__(self, transport):
        self.transport, self.requests, self.replies = transport, [], {}

    def read_element(self, serial, object_id):
        self.requests.append(("ReadElement", pb.ReadElementRequest(serial=serial, object_id=int(object_id))))
        reply = self.replies[("read", serial, int(object_id))] = self.transport.read_element(serial, object_id)
        return reply

    def send_message(self, serial, message):
        self.requests.append(("SendMessage", pb.SendMessageRequest(serial=serial, message=message)))
        reply = self.replies[("send", serial, message)] = self.transport.send_message(serial, message)
        return reply


class Replaying:
    """Gives the replies a Recording noted, at once: the client's own work without gRPC."""

    def __init__(self, replies):
        self.replies = replies

    def read_element(self, serial, object_id):
        return self.replies[("read", serial, int(object_id))]

    def send_message(self, serial, message):
        return self.replies[("send", serial, message)]


def day_ways(api: HalvexMediatorAPI, csv_file: str):
    """name -> one day's download, given the day."""

    def collector(day):
        api._hardware_cache.clear()  # a meter-day of a collection asks the meter first
        result = collect_meter_day(api, MeterDay(SERIAL, day, ("intervals",)), retries=0)
        if result.outcome != "ok":
            raise RuntimeError(f"the collector's path failed: {result.attempts}")

    return {
        "public call, CSV to a file": lambda day: api.three_phase_intervals(SERIAL, day, None, None, csv_file),
        "public call, CSV to /dev/null": lambda day: api.three_phase_intervals(SERIAL, day, None, None, os.devnull),
        "collector's path": collector,
    }


class Counting(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.entries = 0

    def emit(self, record) -> None:
        self.entries += 1


def entries_per_day(ways, day) -> dict[str, int]:
    """name -> the log entries one day's download writes at INFO."""
    root, counting = logging.getLogger(), Counting()
    level = root.level
    root.setLevel(logging.INFO)
    root.addHandler(counting)
    try:
        counts = {}
        for name, run in ways.items():
            before = counting.entries
            run(day)
            counts[name] = counting.entries - before
        return counts
    finally:
        root.removeHandler(counting)
        root.setLevel(level)


def entry_cost(rounds: int, entries: int = 20_000) -> tuple[float, float]:
    """Seconds per INFO entry (root at INFO, its handler writing to /dev/null): through the
    client's logger, and the same line made into a record and handled by the logging package
    directly; the two take turns, medians count."""
    log = get_logger("norvo_halvex.bench", __file__).bind(mediator_address="127.0.0.1:50051")
    std = log._logger
    line = f"meter type = P3_ax mediator_address=127.0.0.1:50051 serial={SERIAL}"
    ways = (
        lambda: log.info("meter type = P3_ax", serial=SERIAL),
        lambda: std.handle(std.makeRecord(std.name, logging.INFO, __file__, 0, line, (), None)),
    )
    logging.getLogger().setLevel(logging.INFO)
    samples: tuple[list[float], list[float]] = ([], [])
    for _ in range(rounds):
        for way, sample in zip(ways, samples):
            sample.append(timeit.timeit(way, number=entries) / entries)
    ours, stdlib = (statistics.median(sample) for sample in samples)
    return ours, stdlib


def timed(run, days) -> tuple[float, float]:
    """(seconds, CPU seconds of this process) per day."""
    began, cpu = time.perf_counter(), time.process_time()
    for day in days:
        run(day)
    return (time.perf_counter() - began) / len(days), (time.process_time() - cpu) / len(days)


def day_download(address: str, rounds: int, n_days: int) -> None:
    root = logging.getLogger()
    root.addHandler(logging.StreamHandler(open(os.devnull, "w")))  # noqa: SIM115 - for the whole run
    first = dt.datetime.now(dt.timezone.utc).date() - dt.timedelta(days=n_days + 3)
    days = [first + dt.timedelta(days=i) for i in range(n_days)]
    channel = grpc.insecure_channel(address)
    stub = pb_grpc.HalvexMediatorStub(channel)
    with tempfile.TemporaryDirectory(prefix="halvex-bench-day-") as tmp:
        api = HalvexMediatorAPI(address, logging.WARNING)
        ways = day_ways(api, os.path.join(tmp, "day.csv"))
        # The exchanges of each way, noted on a first run of each, are what the raw stub replays;
        # the replies of every day are what the client's own work is timed on without gRPC.
        raw, replies = {}, {}
        for name, run in ways.items():
            recording = api.grpc_client = Recording(api.grpc_client)
            run(days[0])
            raw[name] = list(recording.requests)
            for day in days[1:]:
                run(day)
            replies.update(recording.replies)
            api.grpc_client = recording.transport
        transport, in_process = api.grpc_client, Replaying(replies)
        entries = entries_per_day(ways, days[0])

        def replay(requests):
            def run(day):
                for method, request in requests:
                    getattr(stub, method)(request, timeout=10)
            return run

        samples: dict[tuple[str, str], list[tuple[float, float]]] = {}
        # Each way right beside its raw replay: a shared machine's load drifts.
        for round_ in range(rounds):
            for name, run in ways.items():
                samples.setdefault((name, "raw"), []).append(timed(replay(raw[name]), days))
                # Neither level always right after the raw replay.
                for level_name, level in list(LEVELS.items())[:: 1 if round_ % 2 else -1]:
                    root.setLevel(level)
                    samples.setdefault((name, level_name), []).append(timed(run, days))
                api.grpc_client = in_process
                samples.setdefault((name, "no gRPC"), []).append(timed(run, days))
                api.grpc_client = transport
        api.grpc_client.close()
        per_entry, floor = entry_cost(rounds)
    channel.close()

    def median(key, index=0):
        return statistics.median(s[index] for s in samples[key])

    print(f"a day of intervals ({SERIAL}, {n_days} days per sample, median of {rounds} rounds), "
          "raw stub time / the way's time:")
    for name in ways:
        raw_day = median((name, "raw"))
        cells = []
        for level_name in LEVELS:
            way = median((name, level_name))
            cells.append(f"{level_name} {raw_day / way:.2f} ({way * 1e3:.2f} ms, client CPU "
                         f"{median((name, level_name), 1) * 1e3:.2f} ms)")
        goal = f"; goal >= {GOALS[name]:.2f}" if name in GOALS else ""
        own = median((name, "no gRPC"))
        print(f"  {name:30s} raw {raw_day * 1e3:.2f} ms (client CPU {median((name, 'raw'), 1) * 1e3:.2f} ms; "
              f"{len(raw[name])} exchanges, {entries[name]} INFO entries): {'; '.join(cells)}{goal}")
        print(f"  {'':30s} with the replies given in-process (no gRPC) {own * 1e3:.2f} ms (client CPU "
              f"{median((name, 'no gRPC'), 1) * 1e3:.2f} ms): raw / (raw + that) {raw_day / (raw_day + own):.2f}")
    print(f"an INFO entry: {per_entry * 1e6:.1f} us through the client's logger, {floor * 1e6:.1f} us the same "
          f"line handed to the logging package directly (its record and handler), so "
          f"{(per_entry - floor) * 1e6:.1f} us is the client's own")


def raw_reads(address: str, settings) -> tuple[grpc.Channel, object]:
    """A channel like the client's for ``settings`` (TLS with its CA, its token as metadata on
    every call) and ``run(n)``: the client's CPU per element read made with the generated stub
    alone."""
    if settings.tls_ca:
        credentials = grpc.ssl_channel_credentials(pathlib.Path(settings.tls_ca).read_bytes())
        channel = grpc.secure_channel(address, credentials)
    else:
        channel = grpc.insecure_channel(address)
    metadata = None
    if settings.token_file:
        metadata = (("authorization", "Bearer " + pathlib.Path(settings.token_file).read_text().strip()),)
    read = pb_grpc.HalvexMediatorStub(channel).ReadElement
    request = pb.ReadElementRequest(serial="HX1000001", object_id=int(O.serial))

    def run(n: int) -> float:
        cpu = time.process_time()
        for _ in range(n):
            read(request, timeout=10, metadata=metadata)
        return (time.process_time() - cpu) / n

    return channel, run


def tls_client_cpu(rounds: int, reads: int) -> None:
    with tempfile.TemporaryDirectory(prefix="halvex-bench-tls-") as tmp, contextlib.ExitStack() as stack:
        servers, settings = configurations(pathlib.Path(tmp))
        names = ("plain", "TLS + token")
        clients, raws = {}, {}
        for name in names:
            address = stack.enter_context(simulator_process(servers[name], None))
            clients[name] = stack.enter_context(HalvexMediatorGrpcClient(address, settings=settings[name]))
            clients[name].read_element("HX1000001", O.serial)
            reads_per_second(clients[name], 100, 1)  # warm up
            channel, raws[name] = raw_reads(address, settings[name])
            stack.callback(channel.close)
            raws[name](100)
        cpu: dict[str, list[float]] = {name: [] for name in names}
        raw_cpu: dict[str, list[float]] = {name: [] for name in names}
        for _ in range(rounds):
            for name in names:
                cpu[name].append(reads_per_second(clients[name], reads, 1)[1])
                raw_cpu[name].append(raws[name](reads) * 1e6)
    plain, secure = (statistics.median(cpu[name]) for name in names)
    raw_plain, raw_secure = (statistics.median(raw_cpu[name]) for name in names)
    print(f"element reads, one thread, {reads} per sample, median of {rounds} rounds: the client's CPU per read "
          f"{plain:.0f} us plain, {secure:.0f} us TLS + token; plain / TLS + token {plain / secure:.2f} (goal >= 0.95); "
          f"the raw stub's {raw_plain:.0f} us plain, {raw_secure:.0f} us TLS + token, {raw_plain / raw_secure:.2f}")


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rounds", type=int, default=25)
    p.add_argument("--days", type=int, default=4, help="day downloads per sample")
    p.add_argument("--reads", type=int, default=400, help="element reads per TLS sample")
    args = p.parse_args()
    load = os.getloadavg()
    with simulator_process([], None) as address:
        day_download(address, args.rounds, args.days)
    tls_client_cpu(args.rounds, args.reads)
    print(f"load average (1, 5, 15 min): {', '.join(f'{x:.1f}' for x in load)} before, "
          f"{', '.join(f'{x:.1f}' for x in os.getloadavg())} after, on {os.cpu_count()} CPUs")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
