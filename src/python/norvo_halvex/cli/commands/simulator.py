"""``halvex simulator``: a mediator with simulated meters, in the foreground."""

from __future__ import annotations

import signal
import threading

from norvo_halvex.cli import connection, render
from norvo_halvex.cli.command import Commands, arg
from norvo_halvex.failures import ExitCode, UsageError
from norvo_halvex.untrusted import for_terminal

DEFAULT_PORT = 50051


COMMANDS = Commands()


def fleet_rows(fleet) -> list[list[str]]:
    rows = []
    for serial, meter in sorted(fleet.meters.items()):
        kind = getattr(meter, "kind", "")
        rows.append([serial, str(getattr(kind, "value", kind))])
    return rows


def client_options(served: dict) -> str:
    """The options a client needs against this simulator (``served``: its security
    keywords), for the "try:" line."""
    words = []
    if served["tls_cert"]:
        words.append("--tls-ca CA.pem")  # the CA that signed --tls-cert: only the user knows its file
    if served["client_ca"]:
        words.append("--tls-cert CLIENT.pem --tls-key CLIENT.key")
    if served["token_file"]:
        words.append(f"--token-file {served['token_file']}")
    return "".join(" " + w for w in words)


@COMMANDS.add(
    "simulator", "run the mediator simulator until interrupted",
    arg("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)"),
    arg("--port", type=int, default=DEFAULT_PORT,
        help=f"port to listen on (default {DEFAULT_PORT}; 0 picks a free one)"),
    arg("--socket", metavar="PATH",
        help="listen on a Unix socket at PATH (mode 0600: this user only) instead of a TCP port; "
             "clients connect with --mediator unix:PATH"),
    arg("--client-ca", metavar="FILE",
        help="require client certificates signed by this CA (PEM; with --tls-cert/--tls-key)"),
)
def cmd_simulator(ctx, args) -> int:
    from norvo_halvex.mediator.simulator.server import security_words

    if not 0 <= args.port <= 65535:
        raise UsageError(f"bad port {args.port}")
    listen = {"host": args.host, "port": args.port}
    if args.socket is not None:
        if (args.host, args.port) != ("127.0.0.1", DEFAULT_PORT):
            raise UsageError("--socket listens on a Unix socket; --host and --port do not apply")
        listen = {"unix_socket": args.socket}
    stop = threading.Event()
    try:
        previous = signal.signal(signal.SIGTERM, lambda *_: stop.set())
    except ValueError:  # not the main thread: Ctrl-C / stop() only
        previous = None
    try:
        sources = ctx.config.sources if ctx.config is not None else None
        served = connection.server_options(args, sources)
        sim = ctx.start_simulator(**listen, **served)
        if ctx.json:
            doc = {"command": "simulator", "address": sim.address, "tls": sim.tls, "mutual_tls": sim.mutual_tls,
                   "token_required": sim.token_required,
                   "meters": [{"serial": s, "kind": k} for s, k in fleet_rows(sim.fleet)]}
            print(render.dumps(doc), file=ctx.stdout)
        else:
            print(f"halvex simulator listening on {sim.address}", file=ctx.stdout)
            for line in render.table([["serial", "kind"], *fleet_rows(sim.fleet)], indent=2):
                print(for_terminal(line), file=ctx.stdout)
            print(f"  clients connect with: {security_words(sim)}", file=ctx.stdout)
            print(f"try: halvex --mediator {sim.address}{client_options(served)} "
                  f"read {next(iter(sorted(sim.fleet.meters)), 'SERIAL')}", file=ctx.stdout)
            print("press Ctrl-C to stop", file=ctx.stdout)
        ctx.stdout.flush()
        try:
            while not stop.wait(0.5):
                pass
        except KeyboardInterrupt:
            pass
        if not ctx.json:
            print("halvex simulator stopped", file=ctx.stdout, flush=True)
        return int(ExitCode.OK)
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
