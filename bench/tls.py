"""Element reads per second over TLS + bearer token against a plain channel.

Simulators in processes of their own (a mediator is another machine): plain, TLS only,
and TLS with a required bearer token (throwaway certificate from trustme). For each, one client opens
its channel, then reads `serial` of one meter back to back from a few threads; the
configurations take turns for several rounds and the median rate counts (the machine is
shared, so single runs are noisy). Prints the rates, the ratio TLS + token / plain (goal
>= 0.9 once the channel is open) and the time of a new channel's first call (TLS
handshake included). Never fails on a ratio.

Two loads: back to back against a meter that answers at once (pure CPU: client and
simulator share this machine's two cores, and gRPC runs the token plugin on a thread of
its own per call), and many threads against
meters that take --latency seconds to answer, as a mediator's radio link does (the ratio an
operator sees).

    PYTHONPATH=src/python .venv/bin/python bench/tls.py [--reads 2000] [--rounds 5] [--threads 4]
"""

from __future__ import annotations

import argparse
import contextlib
import json
import pathlib
import re
import subprocess
import sys
import secrets
import statistics
import tempfile
import threading
import time

import trustme

from norvo_halvex.mediator.grpc import ConnectionSettings
from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum as O

SERIAL = "HX1000001"


def reads_per_second(client: HalvexMediatorGrpcClient, reads: int, threads: int) -> tuple[float, float]:
    """(reads per second, CPU microseconds per read of this process: client and simulator)."""
    per_thread = reads // threads
    start = threading.Barrier(threads + 1)

    def work():
        start.wait()
        for _ in range(per_thread):
            client.read_element(SERIAL, O.serial)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for w in workers:
        w.start()
    start.wait()
    began, cpu = time.perf_counter(), time.process_time()
    for w in workers:
        w.join()
    done = per_thread * threads
    return done / (time.perf_counter() - began), (time.process_time() - cpu) / done * 1e6


def first_call_seconds(address: str, settings: ConnectionSettings) -> float:
    """Time of a new client's first read: channel set-up (and TLS handshake) plus one call."""
    began = time.perf_counter()
    with HalvexMediatorGrpcClient(address, settings=settings) as client:
        client.read_element(SERIAL, O.serial)
        return time.perf_counter() - began


def latency_fleet(folder: pathlib.Path, latency: float) -> str:
    """A fleet file whose meters all take ``latency`` seconds to answer."""
    path = folder / "latency-fleet.json"
    path.write_text(json.dumps({"meters": [{"serial": SERIAL, "kind": "single_element",
                                            "fault": {"latency": latency}}]}))
    return str(path)


@contextlib.contextmanager
def simulator_process(extra: list[str], fleet_file: str | None):
    """A simulator in a process of its own (a mediator is another machine): its address."""
    command = [sys.executable, "-m", "norvo_halvex.mediator.simulator", "--port", "0", "--max-workers", "32", *extra]
    if fleet_file:
        command += ["--fleet", fleet_file]
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        for line in proc.stdout:
            match = re.search(r"listening on (\S+)", line)
            if match:
                break
        else:
            raise RuntimeError(f"simulator did not start: {command}")
        yield match.group(1)
    finally:
        proc.terminate()
        proc.wait(timeout=10)


def configurations(folder: pathlib.Path) -> tuple[dict[str, list[str]], dict[str, ConnectionSettings]]:
    """Simulator options and client settings of plain, TLS and TLS + token, with a throwaway
    CA and token in ``folder``."""
    ca = trustme.CA()
    cert = ca.issue_cert("localhost", "127.0.0.1")
    ca.cert_pem.write_to_path(folder / "ca.pem")
    cert.cert_chain_pems[0].write_to_path(folder / "server.pem")
    cert.private_key_pem.write_to_path(folder / "server.key")
    (folder / "token").write_text(secrets.token_urlsafe(32))
    (folder / "token").chmod(0o600)  # a token file others may read is refused
    ca_file, token = str(folder / "ca.pem"), str(folder / "token")
    tls = ["--tls-cert", str(folder / "server.pem"), "--tls-key", str(folder / "server.key")]
    servers = {"plain": [], "TLS": tls, "TLS + token": [*tls, "--token-file", token]}
    settings = {
        "plain": ConnectionSettings(timeout=10),
        "TLS": ConnectionSettings(tls_ca=ca_file, timeout=10),
        "TLS + token": ConnectionSettings(tls_ca=ca_file, token_file=token, timeout=10),
    }
    return servers, settings


def measure(clients: dict, title: str, reads: int, threads: int, rounds: int) -> None:
    """Rates of each configuration, taking turns, and the ratios against plain."""
    samples = {name: [] for name in clients}
    cpu = {name: [] for name in clients}
    for _ in range(rounds):
        for name, client in clients.items():
            rate, micros = reads_per_second(client, reads, threads)
            samples[name].append(rate)
            cpu[name].append(micros)
    print(title)
    rates = {name: statistics.median(values) for name, values in samples.items()}
    for name, rate in rates.items():
        print(f"  {name:12s} {rate:8.0f} reads/s, {statistics.median(cpu[name]):5.0f} us CPU per read  "
              f"(runs: {', '.join(f'{v:.0f}' for v in samples[name])})")
    micros = {name: statistics.median(values) for name, values in cpu.items()}
    print(f"  ratio TLS + token / plain: {rates['TLS + token'] / rates['plain']:.2f} (goal >= 0.9); "
          f"TLS / plain: {rates['TLS'] / rates['plain']:.2f}; this process's (the client's) CPU per read, "
          f"plain / TLS + token: {micros['plain'] / micros['TLS + token']:.2f}")


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--reads", type=int, default=2000, help="reads per measurement")
    p.add_argument("--rounds", type=int, default=5, help="measurements per configuration, taking turns")
    p.add_argument("--threads", type=int, default=4)
    p.add_argument("--opens", type=int, default=10, help="channels opened to time the set-up")
    p.add_argument("--latency", type=float, default=0.02, help="seconds a meter takes to answer, second load")
    p.add_argument("--latency-threads", type=int, default=16)
    p.add_argument("--latency-reads", type=int, default=1600)
    args = p.parse_args()

    with tempfile.TemporaryDirectory(prefix="halvex-bench-tls-") as tmp:
        folder = pathlib.Path(tmp)
        servers, settings = configurations(folder)
        for title, fleet_file, reads, threads in (
            (f"meter answers at once ({args.reads} reads per run, {args.threads} threads)", None,
             args.reads, args.threads),
            (f"meter answers after {args.latency * 1000:.0f} ms ({args.latency_reads} reads per run, "
             f"{args.latency_threads} threads)", latency_fleet(folder, args.latency), args.latency_reads,
             args.latency_threads),
        ):
            with contextlib.ExitStack() as stack:
                addresses = {name: stack.enter_context(simulator_process(extra, fleet_file))
                             for name, extra in servers.items()}
                clients = {name: stack.enter_context(HalvexMediatorGrpcClient(addresses[name], settings=s))
                           for name, s in settings.items()}
                for client in clients.values():
                    client.read_element(SERIAL, O.serial)  # open the channel first
                    reads_per_second(client, 200, threads)  # warm up
                measure(clients, f"element reads, {title}, median of {args.rounds} rounds", reads, threads,
                        args.rounds)
                if fleet_file is None:
                    opens = {
                        name: statistics.median(first_call_seconds(addresses[name], s) for _ in range(args.opens))
                        for name, s in settings.items()
                    }
                    print(f"  first call on a new channel (median of {args.opens}): "
                          + ", ".join(f"{name} {t * 1000:.1f} ms" for name, t in opens.items())
                          + f" (TLS set-up about {(opens['TLS + token'] - opens['plain']) * 1000:.1f} ms)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
