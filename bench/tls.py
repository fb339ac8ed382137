"""Element reads per second over TLS + bearer token against a plain channel.

Simulators over the same fleet in this process: plain, TLS only, and TLS with a
required bearer token (throwaway certificate from trustme). For each, one client opens
its channel, then reads `serial` of one meter back to back from a few threads; the
configurations take turns for several rounds and the median rate counts (the machine is
shared, so single runs are noisy). Prints the rates, the ratio TLS + token / plain (goal
>= 0.9 once the channel is open) and the time of a new channel's first call (TLS
handshake included). Never fails on a ratio.

    PYTHONPATH=src/python .venv/bin/python bench/tls.py [--reads 2000] [--rounds 5] [--threads 4]
"""

from __future__ import annotations

import argparse
import pathlib
import secrets
import statistics
import tempfile
import threading
import time

import trustme

from norvo_halvex.mediator.grpc import ConnectionSettings
from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient
from norvo_halvex.mediator.simulator import Fleet, start_simulator
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


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--reads", type=int, default=2000, help="reads per measurement")
    p.add_argument("--rounds", type=int, default=5, help="measurements per configuration, taking turns")
    p.add_argument("--threads", type=int, default=4)
    p.add_argument("--opens", type=int, default=10, help="channels opened to time the set-up")
    args = p.parse_args()

    with tempfile.TemporaryDirectory(prefix="halvex-bench-tls-") as tmp:
        folder = pathlib.Path(tmp)
        ca = trustme.CA()
        cert = ca.issue_cert("localhost", "127.0.0.1")
        ca.cert_pem.write_to_path(folder / "ca.pem")
        cert.cert_chain_pems[0].write_to_path(folder / "server.pem")
        cert.private_key_pem.write_to_path(folder / "server.key")
        (folder / "token").write_text(secrets.token_urlsafe(32))

        fleet = Fleet.default()
        server = {"tls_cert": folder / "server.pem", "tls_key": folder / "server.key"}
        ca, token = str(folder / "ca.pem"), str(folder / "token")
        with start_simulator(fleet) as plain, start_simulator(fleet, **server) as tls, start_simulator(
            fleet, **server, token_file=folder / "token"
        ) as secure:
            configurations = {
                "plain": (plain, ConnectionSettings(timeout=10)),
                "TLS": (tls, ConnectionSettings(tls_ca=ca, timeout=10)),
                "TLS + token": (secure, ConnectionSettings(tls_ca=ca, token_file=token, timeout=10)),
            }
            print(f"element reads ({args.reads} per run, {args.threads} threads, median of {args.rounds} rounds), "
                  "same fleet, this process")
            clients = {name: HalvexMediatorGrpcClient(sim.address, settings=s) for name, (sim, s) in configurations.items()}
            try:
                for client in clients.values():
                    client.read_element(SERIAL, O.serial)  # open the channel first
                    reads_per_second(client, 200, args.threads)  # warm up
                samples = {name: [] for name in clients}
                cpu = {name: [] for name in clients}
                for _ in range(args.rounds):
                    for name, client in clients.items():
                        rate, micros = reads_per_second(client, args.reads, args.threads)
                        samples[name].append(rate)
                        cpu[name].append(micros)
            finally:
                for client in clients.values():
                    client.close()
            rates = {name: statistics.median(values) for name, values in samples.items()}
            for name, rate in rates.items():
                print(f"  {name:12s} {rate:8.0f} reads/s, {statistics.median(cpu[name]):5.0f} us CPU per read  "
                      f"(runs: {', '.join(f'{v:.0f}' for v in samples[name])})")
            print(f"  ratio TLS + token / plain: {rates['TLS + token'] / rates['plain']:.2f} (goal >= 0.9); "
                  f"TLS / plain: {rates['TLS'] / rates['plain']:.2f}")
            opens = {
                name: statistics.median(first_call_seconds(sim.address, s) for _ in range(args.opens))
                for name, (sim, s) in configurations.items()
            }
            print(f"  first call on a new channel (median of {args.opens}): "
                  + ", ".join(f"{name} {t * 1000:.1f} ms" for name, t in opens.items())
                  + f" (TLS set-up about {(opens['TLS + token'] - opens['plain']) * 1000:.1f} ms)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
