"""``halvex``: read and configure Halvex meters from the command line."""

from __future__ import annotations

import argparse
import os
import sys

from norvo_halvex.cli import commands as c
from norvo_halvex.cli import connection, render, writes
from norvo_halvex.cli.logs import LOG_FORMATS, LogOutput
from norvo_halvex.cli.outcome import Outcome
from norvo_halvex.cli.progress import StatusLine
from norvo_halvex.cli.report import emit, report
from norvo_halvex.failures import EXIT_CODE_MEANINGS, ExitCode, LocalError, SetupError, UsageError
from norvo_halvex.mediator.grpc.address import DEFAULT_MEDIATOR_ADDRESS

MEDIATOR_ENV = connection.MEDIATOR_ENV
LOG_LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL")
# Commands that work on the collection store alone: no mediator address or connection settings.
STORE_ONLY_COMMANDS = ("gaps", "export")

EXAMPLES = """\
examples:
  halvex demo                                      everything, against a built-in simulator
  halvex --simulate read HX1000002                 one command against an in-process simulator
  halvex --mediator 10.1.2.3:50051 read HX1000002  a real mediator
  halvex read HX3000001 --json                     one JSON document instead of text
  halvex intervals HX3000001 --day 2025-03-01 --csv day.csv
  halvex fleet --file meters.txt --out registers.csv
  halvex load-switch-set HX1000001 connected --dry-run
  halvex read -- -HX17                             after --, values may begin with '-'
"""


def version() -> str:
    from importlib.metadata import PackageNotFoundError, version as _version

    try:
        return _version("norvo-halvex")
    except PackageNotFoundError:  # running from a source tree that was never installed
        return "unknown"


def _epilog() -> str:
    codes = "\n".join(f"  {int(code):<4} {EXIT_CODE_MEANINGS.get(code, code.name.lower())}" for code in ExitCode)
    return (f"{EXAMPLES}\nexit codes:\n{codes}\n\n"
            "'halvex COMMAND --help' shows the options of one command; docs/cli.md has the details.")


def make_api(address: str, level: str):
    """The one client a run uses (tests replace this to run without a mediator)."""
    try:
        from norvo_halvex.mediator.api_core import HalvexMediatorAPI
    except ImportError as e:
        raise SetupError(f"the compiled core cannot be loaded ({e}); build it with 'make dev' or 'make install'") from e

    return HalvexMediatorAPI(address, level)


def start_simulator(fleet_path: str | None = None, *, host: str = "127.0.0.1", port: int = 0, **security):
    """``security``: the TLS / token keywords of the simulator (``halvex simulator`` only)."""
    from norvo_halvex.mediator.simulator import Fleet, start_simulator as _start

    fleet = None
    if fleet_path is not None:
        try:
            fleet = Fleet.from_json(fleet_path)
        except OSError as e:
            raise UsageError(f"cannot read fleet file {fleet_path}: {e.strerror or e}") from None
        except ValueError as e:  # the message names the file and the entry
            raise UsageError(str(e)) from None
    try:
        return _start(fleet, host=host, port=port, **security)
    except ValueError as e:  # an unusable certificate, key or token file
        raise UsageError(str(e)) from None
    except OSError as e:
        raise LocalError(f"{e}; choose another port or stop what is using it",
                         code="CANNOT_LISTEN", cause="cannot listen") from e


class Context:
    """What a command needs: output streams, the chosen mediator and the client,
    created on first use (so usage errors never start anything)."""

    def __init__(self, args, *, stdout=None, stderr=None, stdin=None, logs: LogOutput | None = None) -> None:
        self.args = args
        self.logs = logs
        self.stdin = stdin if stdin is not None else sys.stdin
        self.stdout = stdout if stdout is not None else sys.stdout
        self.stderr = stderr if stderr is not None else sys.stderr
        self.json = bool(getattr(args, "json", False))
        self.log_level = getattr(args, "log_level", None) or "WARNING"
        self.status = StatusLine(self.stderr)
        self.simulate = bool(getattr(args, "simulate", False))
        self.fleet_path = getattr(args, "fleet", None)
        explicit = getattr(args, "mediator", None)
        if self.simulate and explicit:
            raise UsageError("--simulate and --mediator exclude each other")
        if explicit and args.command in ("demo", "simulator"):
            raise UsageError(f"{args.command} runs its own simulator; --mediator does not apply")
        if self.fleet_path and not self.simulate and args.command not in ("demo", "simulator"):
            raise UsageError("--fleet needs --simulate (or the demo / simulator commands)")
        self.mediator = explicit or os.environ.get(MEDIATOR_ENV) or DEFAULT_MEDIATOR_ADDRESS
        self.simulator = None
        self._api = None
        # Everything about the connection is checked here, before anything starts.
        self.settings = None
        self._transport = None
        if args.command in STORE_ONLY_COMMANDS:
            pass  # they read the collection store, never a mediator
        elif args.command == "demo" or (self.simulate and args.command != "simulator"):
            self.settings = connection.settings_for(args, simulate=True)
        elif args.command != "simulator":
            connection.checked_address(self.mediator, source="--mediator" if explicit else MEDIATOR_ENV)
            self.settings = connection.settings_for(args, simulate=False)
            self._transport = connection.new_transport(self.mediator, self.settings)

    def start_simulator(self, **kw):
        self.simulator = start_simulator(self.fleet_path, **kw)
        self.mediator = self.simulator.address
        return self.simulator

    def mute_logs(self) -> None:
        """No more library log lines this run (after Ctrl-C)."""
        if self.logs is not None:
            self.logs.mute()

    def api(self):
        if self._api is None:
            if self.simulate and self.simulator is None:
                self.start_simulator()
            if self._transport is None:
                self._transport = connection.new_transport(self.mediator, self.settings)
            try:
                api = make_api(self.mediator, self.log_level)
            except ValueError as e:  # the core's own client found a HALVEX_* variable unusable
                raise UsageError(f"{e} (the library reads the HALVEX_* variables itself: fix or unset them)") from None
            from norvo_halvex.mediator.grpc.client import use_transport

            use_transport(api, self._transport)
            self._api = api
        return self._api

    def abandon_calls(self) -> None:
        """Ends the calls still in flight at once (they fail as cancelled)."""
        _close_channels(self._transport, self._api)

    def close(self) -> None:
        api, self._api = self._api, None
        sim, self.simulator = self.simulator, None
        transport, self._transport = self._transport, None
        # Close our channel before any simulator stops: a server going away under an
        # open channel makes gRPC log a GOAWAY notice on standard error.
        _close_channels(transport, api)
        if sim is not None:
            sim.stop()


def _close_channels(transport, api) -> None:
    for client in {id(c): c for c in (transport, getattr(api, "grpc_client", None)) if c is not None}.values():
        close = getattr(client, "close", None)
        if callable(close):
            try:
                close()
            except Exception:
                pass


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line, our format, exit code 2
        command = self.prog.partition(" ")[2]
        prefix = f"{command}: " if command else ""
        raise UsageError(f"{prefix}{message} (see '{self.prog} --help')")


def _global_options(p: argparse.ArgumentParser, *, top: bool) -> None:
    # Sub-commands take the same options (after the command name) without resetting them.
    d = (lambda v: v) if top else (lambda v: argparse.SUPPRESS)
    g = p.add_argument_group("global options")
    g.add_argument("--mediator", metavar="HOST:PORT", default=d(None),
                   help=f"mediator address (default: ${MEDIATOR_ENV}, else {DEFAULT_MEDIATOR_ADDRESS})")
    g.add_argument("--simulate", action="store_true", default=d(False),
                   help="start the meter simulator in-process and talk to it")
    g.add_argument("--fleet", metavar="FILE", default=d(None),
                   help="fleet file (JSON) for --simulate, demo and simulator")
    g.add_argument("--json", action="store_true", default=d(False),
                   help="print one JSON document on standard output")
    g.add_argument("--log-level", metavar="LEVEL", type=str.upper, choices=LOG_LEVELS, default=d("WARNING"),
                   help="show the library's log entries at LEVEL and above on standard error "
                        "(DEBUG, INFO, WARNING, ERROR; default WARNING)")
    g.add_argument("--log-format", metavar="FORMAT", type=str.lower, choices=LOG_FORMATS, default=d("text"),
                   help="log entries as text (default) or json, one per line, time stamps in UTC")
    connection.add_options(p.add_argument_group("connection (TLS, token, deadline; see docs/security.md)"), d)


def build_parser() -> argparse.ArgumentParser:
    common = _Parser(add_help=False)
    _global_options(common, top=False)
    # Accepted after the command too, but described once, in the main help.
    for action in common._actions:
        action.help = argparse.SUPPRESS
    parser = _Parser(
        prog="halvex",
        description="Read and configure Halvex electricity meters through a mediator service.",
        epilog=_epilog(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"halvex {version()}")
    _global_options(parser, top=True)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)

    def add(name, func, help, *, serial=True):
        p = sub.add_parser(name, help=help, description=help, parents=[common],
                           epilog="Global options (see 'halvex --help') may also follow the command.")
        if serial:
            p.add_argument("serial", metavar="SERIAL", help="meter serial number, e.g. HX1000001")
        p.set_defaults(func=func)
        return p

    # identity
    add("serial", c.cmd_serial, "read the serial number the meter reports")
    add("hardware", c.cmd_hardware, "read and classify the meter's hardware type")
    add("firmware", c.cmd_firmware, "read the firmware version")
    add("three-phase-serial", c.cmd_three_phase_serial, "read a three-phase meter's own serial number")
    add("three-phase-config", c.cmd_three_phase_config, "read a three-phase meter's hardware configuration")
    # clock
    add("clock", c.cmd_clock, "read the meter clock (UTC)")
    p = add("clock-set", c.cmd_clock_set, "set the meter clock to the current UTC time of this machine")
    writes.add_arguments(p)
    # instantaneous values
    add("voltage", c.cmd_voltage, "read the instantaneous voltage (single phase)")
    p = add("power", c.cmd_power, "read the instantaneous active power in kW")
    p.add_argument("--element", choices=("a", "b"), help="one metering element instead of the whole meter")
    add("csq", c.cmd_csq, "read the modem's signal quality (csq)")
    add("three-phase-voltage", c.cmd_three_phase_voltage, "read the voltages of phases L1, L2, L3")
    # registers
    p = add("read", c.cmd_read, "read the energy registers (any meter type)")
    p.add_argument("--element", choices=("a", "b"), help="read one single-phase element's registers only")
    # settings
    add("dst", c.cmd_dst, "read the daylight-saving correction flag")
    p = add("dst-set", c.cmd_dst_set, "switch daylight-saving correction on or off")
    p.add_argument("value", metavar="on|off")
    writes.add_arguments(p)
    add("backlight", c.cmd_backlight, "read the backlight setting")
    p = add("backlight-set", c.cmd_backlight_set, "write the backlight setting")
    p.add_argument("value", metavar="NAME|VALUE", help="setting name (see 'halvex backlight') or its number")
    writes.add_arguments(p)
    add("load-switch", c.cmd_load_switch, "read the load switch setting")
    p = add("load-switch-set", c.cmd_load_switch_set, "write the load switch setting")
    p.add_argument("value", metavar="NAME|VALUE", help="setting name (see 'halvex load-switch') or its number")
    writes.add_arguments(p)
    # three-phase intervals
    p = add("intervals", c.cmd_intervals, "download three-phase interval data as CSV")
    p.add_argument("--day", metavar="YYYY-MM-DD", help="a whole UTC day (00:00 to 23:30)")
    p.add_argument("--start", metavar="ISO", help="window start (ISO 8601; naive times are UTC)")
    p.add_argument("--end", metavar="ISO", help="window end, at most 24 hours after --start")
    p.add_argument("--csv", metavar="FILE", help="write the CSV to FILE instead of standard output")
    p.add_argument("--statuses", action="store_true", help="add the interval status columns")
    # logs
    p = add("profile-log-1", c.cmd_profile_log_1, "fetch the profile log 1 record for a time")
    p.add_argument("timestamp", metavar="TIMESTAMP", help="ISO 8601 time (naive is UTC) or @EPOCH")
    p = add("profile-log-2", c.cmd_profile_log_2, "fetch the profile log 2 record for a time")
    p.add_argument("timestamp", metavar="TIMESTAMP", help="ISO 8601 time (naive is UTC) or @EPOCH")
    p.add_argument("--twin", action=argparse.BooleanOptionalAction, default=None,
                   help="decode as a twin-element record (default: from the meter's hardware)")
    p = add("event-log", c.cmd_event_log, "fetch one event log entry")
    p.add_argument("index", metavar="INDEX", help="entry index, 0..15")
    # OBIS
    p = add("obis-read", c.cmd_obis_read, "read the raw payload of an OBIS object")
    p.add_argument("obis", metavar="OBIS", help="OBIS triplet C.D.E, e.g. 1.8.0")
    p = add("obis-write", c.cmd_obis_write, "write a raw payload to an OBIS object")
    p.add_argument("obis", metavar="OBIS", help="OBIS triplet C.D.E, e.g. 1.8.0")
    p.add_argument("hex", metavar="HEX", help="payload as hex digits, e.g. 0aff10")
    writes.add_arguments(p)

    from norvo_halvex.cli import collect_cmd, demo, fleet_cmd, simulator_cmd

    p = add("fleet", fleet_cmd.cmd_fleet, "read the registers of many meters concurrently", serial=False)
    fleet_cmd.add_arguments(p)
    p = add("collect", collect_cmd.cmd_collect, "collect meter-days into a DuckDB store", serial=False)
    collect_cmd.add_collect_arguments(p)
    p = add("gaps", collect_cmd.cmd_gaps, "list what a store is missing for some days", serial=False)
    collect_cmd.add_gaps_arguments(p)
    p = add("export", collect_cmd.cmd_export, "write a table of the store as Parquet, CSV or JSON lines", serial=False)
    collect_cmd.add_export_arguments(p)
    p = add("demo", demo.cmd_demo, "show what the library does, against a built-in simulator", serial=False)
    demo.add_arguments(p)
    p = add("simulator", simulator_cmd.cmd_simulator, "run the mediator simulator until interrupted", serial=False)
    simulator_cmd.add_arguments(p)
    return parser


def main(argv: list[str] | None = None) -> int:
    stderr = sys.stderr
    args = None
    try:
        args = build_parser().parse_args(argv)
    except UsageError as exc:
        return report(None, None, exc, stderr)
    except SystemExit as exc:  # --help
        return exc.code if isinstance(exc.code, int) else 0

    if args.log_level != "DEBUG":
        # gRPC's C core logs connection notices and failures (a GOAWAY from a simulator
        # shutting down, a port it cannot bind) straight to stderr, next to the one line
        # this tool prints for the same failure; keep them for DEBUG runs. Read when grpc
        # is first imported.
        os.environ.setdefault("GRPC_VERBOSITY", "NONE")
    # The application, not the library, decides where log entries go.
    logs = LogOutput(args.log_level, stderr, args.log_format)
    ctx = None
    try:
        ctx = Context(args, logs=logs)
        outcome = args.func(ctx, args)
        if isinstance(outcome, Outcome):
            return emit(ctx, args, outcome)
        return int(outcome)
    except BrokenPipeError:
        # The reader went away (`halvex fleet | head`): stop quietly.
        _silence_stdout()
        return int(ExitCode.UNEXPECTED)
    except (Exception, KeyboardInterrupt) as exc:
        return report(ctx, args, exc, stderr)
    finally:
        if ctx is not None:
            try:
                ctx.close()
            except Exception as exc:  # a failing shutdown must not hide the result
                print(f"halvex: simulator shutdown failed: {exc}", file=stderr)
        logs.close()


def _silence_stdout() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
