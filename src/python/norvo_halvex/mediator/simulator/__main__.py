"""python -m norvo_halvex.mediator.simulator --port N [--fleet FILE] [--host H]
[--tls-cert FILE --tls-key FILE [--client-ca FILE]] [--token-file FILE]"""

from __future__ import annotations

import argparse
import logging
import signal
import sys
import threading

from norvo_halvex.mediator.simulator.fleet import Fleet, FleetError
from norvo_halvex.mediator.simulator.server import DEFAULT_MAX_WORKERS, security_words, start_simulator


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m norvo_halvex.mediator.simulator",
        description="Run a simulated Halvex mediator (gRPC) until interrupted.",
    )
    parser.add_argument("--port", type=int, required=True, help="TCP port to listen on (0 picks a free one)")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--fleet", metavar="FILE", help="fleet file (JSON); default: the built-in fleet")
    parser.add_argument(
        "--max-workers", type=int, default=DEFAULT_MAX_WORKERS, help=f"server threads (default {DEFAULT_MAX_WORKERS})"
    )
    parser.add_argument("--tls-cert", metavar="FILE", help="serve TLS with this certificate (PEM; needs --tls-key)")
    parser.add_argument("--tls-key", metavar="FILE", help="private key of --tls-cert (PEM)")
    parser.add_argument("--client-ca", metavar="FILE",
                        help="require client certificates signed by this CA (PEM; mutual TLS)")
    parser.add_argument("--token-file", metavar="FILE",
                        help="require the bearer token in FILE on every call (re-read when it changes)")
    parser.add_argument("-v", "--verbose", action="store_true", help="log every request")
    args = parser.parse_args(argv)

    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.INFO, format="%(asctime)s %(message)s")
    try:
        fleet = Fleet.from_json(args.fleet) if args.fleet else Fleet.default()
        sim = start_simulator(
            fleet, host=args.host, port=args.port, max_workers=args.max_workers,
            tls_cert=args.tls_cert, tls_key=args.tls_key, client_ca=args.client_ca, token_file=args.token_file,
        )
    except (FleetError, OSError, ValueError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 2

    done = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: done.set())
    print(f"Halvex mediator simulator listening on {sim.address} with {len(fleet)} meters ({security_words(sim)})",
          flush=True)
    for i, meter in enumerate(fleet):
        if i == 20:
            print(f"  ... and {len(fleet) - 20} more", flush=True)
            break
        print(f"  {meter.serial:<12} {meter.kind.value}", flush=True)
    print("Press Ctrl+C to stop.", flush=True)
    try:
        done.wait()
    finally:
        sim.stop(grace=1.0)
    mean = sim.service.mean
    served = f"{mean * 1000:.3f} ms each on average" if mean is not None else "none"
    print(f"simulator stopped; served {sim.service.calls} mediator calls, {served}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
