"""``halvex``: read and configure Halvex meters from the command line."""

from __future__ import annotations

import argparse
import os
import sys

from norvo_halvex.cli import config, connection, streams
from norvo_halvex.cli.commands import (
    clock,
    collect,
    config as config_cmd,
    demo,
    fleet,
    fleet_report,
    identity,
    instantaneous,
    intervals,
    meter_logs,
    obis,
    registers,
    settings,
    simulator,
)
from norvo_halvex.cli.context import Context
from norvo_halvex.cli.logs import LOG_FORMATS, LogOutput
from norvo_halvex.cli.outcome import Outcome
from norvo_halvex.cli.report import emit, report
from norvo_halvex.cli.streams import Pipe
from norvo_halvex.failures import EXIT_CODE_MEANINGS, ExitCode, LocalError, UsageError
from norvo_halvex.mediator.grpc.address import DEFAULT_MEDIATOR_ADDRESS

# Every command, in the order of 'halvex --help'.
COMMAND_MODULES = (
    identity, clock, instantaneous, registers, settings, intervals, meter_logs, obis,
    fleet, collect, fleet_report, demo, simulator, config_cmd,
)
LOG_LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL")

EXAMPLES = """\
examples:
  halvex demo                                      everything, against a built-in simulator
  halvex --simulate read HX1000002                 one command against an in-process simulator
  halvex --mediator 10.1.2.3:50051 read HX1000002  a real mediator
  halvex read HX3000001 --json                     one JSON document instead of text
  halvex intervals HX3000001 --day 2025-03-01 --csv day.csv
  halvex fleet --serials-file meters.txt --out registers.csv
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


class _Parser(argparse.ArgumentParser):
    commands = None  # the sub-parsers' action, on the tool's own parser

    def error(self, message):  # one line, our format, exit code 2
        command = self.prog.partition(" ")[2]
        prefix = f"{command}: " if command else ""
        raise UsageError(f"{prefix}{message} (see '{self.prog} --help')")

    def parse_args(self, args=None, namespace=None):
        # What no parser took is reported by the command's own parser, so that the hint
        # points at the help that lists the command's options.
        parsed, extras = self.parse_known_args(args, namespace)
        if extras:
            command = getattr(parsed, "command", None)
            parser = self.commands.choices.get(command, self) if self.commands and command else self
            parser.error(f"unrecognized arguments: {' '.join(extras)}")
        return parsed


def _global_options(p: argparse.ArgumentParser, *, top: bool) -> None:
    # Sub-commands take the same options (after the command name) without resetting them.
    d = (lambda v: v) if top else (lambda v: argparse.SUPPRESS)
    g = p.add_argument_group("global options")
    g.add_argument("--mediator", metavar="HOST:PORT", default=d(None),
                   help=f"mediator address (default: ${connection.MEDIATOR_ENV}, else {DEFAULT_MEDIATOR_ADDRESS})")
    g.add_argument("--simulate", action="store_true", default=d(False),
                   help="start the meter simulator in-process and talk to it")
    g.add_argument("--simulator-fleet", metavar="FILE", default=d(None),
                   help="the simulator's fleet file (JSON) for --simulate, demo and simulator "
                        "(default: the built-in fleet)")
    # The older spelling, accepted for a release and no longer shown.
    g.add_argument("--fleet", dest="simulator_fleet", default=d(None), help=argparse.SUPPRESS)
    g.add_argument("--json", action="store_true", default=d(False),
                   help="print one JSON document on standard output")
    g.add_argument("--config", metavar="FILE", default=d(None),
                   help=f"settings file (TOML; default ${config.CONFIG_ENV}, else ~/.config/halvex/config.toml, "
                        f"else {config.SYSTEM_CONFIG}); 'halvex config show' shows what applies")
    g.add_argument("--profile", metavar="NAME", default=d(None),
                   help=f"the profile of the settings file to use (default ${config.PROFILE_ENV}, "
                        "else its default_profile)")
    g.add_argument("--log-level", metavar="LEVEL", type=str.upper, choices=LOG_LEVELS, default=d(None),
                   help="show the library's log entries at LEVEL and above on standard error "
                        "(DEBUG, INFO, WARNING, ERROR; default WARNING)")
    g.add_argument("--log-format", metavar="FORMAT", type=str.lower, choices=LOG_FORMATS, default=d(None),
                   help="log entries as text (default) or json, one per line, time stamps in UTC")
    g.add_argument("--log-file", metavar="PATH", default=d(None),
                   help="write the log entries, and the tool's own lines, to PATH instead of standard error "
                        "(appended; opened again after logrotate moved it, and on SIGHUP)")
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
    parser.commands = sub

    for module in COMMAND_MODULES:
        for command in module.COMMANDS:
            p = sub.add_parser(command.name, help=command.help, description=command.help, parents=[common],
                               epilog="Global options (see 'halvex --help') may also follow the command.")
            for argument in command.arguments:
                argument.add_to(p)
            p.set_defaults(func=command.run)
    return parser


def main(argv: list[str] | None = None) -> int:
    saved = sys.stdout, sys.stderr
    # Everything printed, argparse's help included, finds a reader that went away the same way.
    sys.stdout, sys.stderr = stdout, stderr = Pipe(sys.stdout), Pipe(sys.stderr)
    try:
        code = _run(argv, stdout, stderr)
    finally:
        sys.stdout, sys.stderr = saved
    if streams.closed(stdout, stderr) and code in (ExitCode.OK, ExitCode.UNEXPECTED):
        # The reader went away; what was done is done. Failures of the work keep their own code.
        return int(ExitCode.OUTPUT_CLOSED)
    return code


def _run(argv, stdout, stderr) -> int:
    args = None
    try:
        args = build_parser().parse_args(argv)
    except UsageError as exc:
        return report(None, None, exc, stderr)
    except SystemExit as exc:  # --help
        return exc.code if isinstance(exc.code, int) else 0

    try:
        effective = config.resolve(args, os.environ)
    except UsageError as exc:
        return report(None, args, exc, stderr)
    if args.log_level != "DEBUG":
        # gRPC's C core logs connection notices and failures (a GOAWAY from a simulator
        # shutting down, a port it cannot bind) straight to stderr, next to the one line
        # this tool prints for the same failure; keep them for DEBUG runs. Read when grpc
        # is first imported.
        os.environ.setdefault("GRPC_VERBOSITY", "NONE")
    # The application, not the library, decides where log entries go.
    try:
        logs = LogOutput(args.log_level, stderr, args.log_format, args.log_file)
    except OSError as exc:
        return report(None, None, LocalError(f"cannot open --log-file {args.log_file}: {exc.strerror or exc}",
                                             code="LOG_FILE", cause="cannot write the log", attempted=False), stderr)
    ctx = None
    try:
        ctx = Context(args, stdout=stdout, stderr=stderr, logs=logs, config=effective)
        outcome = args.func(ctx, args)
        if isinstance(outcome, Outcome):
            return emit(ctx, args, outcome)
        return int(outcome)
    except BrokenPipeError:
        # A command that stops when its reader goes away (`halvex fleet | head`): quietly.
        return int(ExitCode.OUTPUT_CLOSED)
    except (Exception, KeyboardInterrupt) as exc:
        return report(ctx, args, exc, stderr)
    finally:
        if ctx is not None:
            try:
                ctx.close()
            except Exception as exc:  # a failing shutdown must not hide the result
                print(f"halvex: simulator shutdown failed: {exc}", file=stderr)
        logs.close()

