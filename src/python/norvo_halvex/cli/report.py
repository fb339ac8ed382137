"""What a command run leaves on its streams at the end: its outcome, or its failure as one line
on standard error (and as the JSON document's ``error`` with ``--json``)."""

from __future__ import annotations

import logging
import traceback

from norvo_halvex.cli import render
from norvo_halvex.cli.outcome import Outcome
from norvo_halvex.failures import ExitCode, Failure, classify
from norvo_halvex.untrusted import for_terminal, for_terminal_lines


def describe(failure: Failure, *, serial: str | None = None, operation: str | None = None) -> str:
    """The one line printed on standard error, e.g.
    ``halvex: meter HX1000001: read failed: connection failure (HALVEX_CONNECTION_FAILURE): no answer``."""
    parts = ["halvex"]
    if failure.exit_code is ExitCode.USAGE or not failure.attempted:
        # Nothing was attempted: name the command, not a meter.
        if operation:
            parts.append(operation)
        parts.append(failure.message)
    elif failure.exit_code is ExitCode.INTERRUPTED:
        parts.append("interrupted")
    else:
        if serial is not None:
            parts.append(f"meter {serial}")
        if operation:
            parts.append(f"{operation} failed")
        cause = f"{failure.cause} ({failure.code})"
        if failure.message:
            cause += f": {failure.message}"
        if failure.hint:
            cause += f"; {failure.hint}"
        parts.append(cause)
    # One line whatever the message holds; what the mediator or a meter sent is shown
    # with its control characters escaped.
    return ": ".join(for_terminal(" ".join(p.split()) if "\n" in p else p) for p in parts)


def emit(ctx, args, outcome: Outcome) -> int:
    """Prints what a command produced (text, or the JSON document) and returns its exit code."""
    for note in outcome.notes:
        ctx.status.note(note)
    if ctx.json:
        doc = {"command": args.command}
        if hasattr(args, "serial"):
            doc["serial"] = args.serial
        doc["result"] = outcome.result
        print(render.dumps(doc), file=ctx.stdout)
    else:
        for line in outcome.lines:
            print(for_terminal(line), file=ctx.stdout)
    ctx.stdout.flush()
    return int(outcome.exit_code)


def report(ctx, args, exc: BaseException, stderr) -> int:
    """Reports the failure ``exc`` of a run (``ctx`` None: before it started) and returns its exit code."""
    mediator = ctx.mediator if ctx is not None else None
    failure = classify(exc, mediator=mediator)
    if ctx is not None and failure.exit_code is ExitCode.INTERRUPTED:
        ctx.mute_logs()
    serial = getattr(args, "serial", None) if args is not None else None
    operation = getattr(args, "command", None) if args is not None else None
    line = describe(failure, serial=serial, operation=operation)
    print(line, file=stderr, flush=True)
    if ctx is not None and ctx.logs is not None:
        ctx.logs.note(line, logging.ERROR)
    if ctx is not None and ctx.log_level == "DEBUG" and failure.code not in ("USAGE", "INTERRUPTED"):
        # The traceback quotes the mediator's and the meter's words as well.
        print(for_terminal_lines("".join(traceback.format_exception(exc))), end="", file=stderr)
    if ctx is not None and ctx.json and operation is not None:
        doc = {"command": operation}
        if serial is not None:
            doc["serial"] = serial
        doc["error"] = failure.as_dict()
        try:
            print(render.dumps(doc), file=ctx.stdout, flush=True)
        except OSError:
            pass
    return int(failure.exit_code)
