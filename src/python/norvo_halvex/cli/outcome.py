"""What a command produced, for ``app`` to print and to turn into an exit code."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable

from norvo_halvex.cli import render
from norvo_halvex.failures import ExitCode


@dataclasses.dataclass
class Outcome:
    """What a command produced: ``result`` goes into the JSON document, ``lines`` are
    the human output, ``notes`` go to standard error either way. A result with values
    that failed to read carries ``ExitCode.PARTIAL``."""

    result: object
    lines: list[str]
    exit_code: int = int(ExitCode.OK)
    notes: list[str] = dataclasses.field(default_factory=list)


def reads_one(method: str, what: str, text: Callable[[object], str] = lambda value: value):
    """The handler of a command that reads one value with the client's ``method`` and shows
    it, as ``text`` words it, under ``what``; the value itself is the JSON result."""

    def run(ctx, args) -> Outcome:
        value = getattr(ctx.api(), method)(args.serial)
        return Outcome(value, render.value_lines(args.serial, what, text(value)))

    return run


def failed_values(values) -> list[str]:
    """Keys of the values a partial result lacks because their read failed (the client
    gives None for those)."""
    if isinstance(values, dict):
        return [key for key, value in values.items() if value is None]
    return []


def partial(outcome: Outcome, serial: str, operation: str, failed: list[str]) -> Outcome:
    if failed:
        outcome.exit_code = int(ExitCode.PARTIAL)
        outcome.notes.append(f"halvex: meter {serial}: {operation} incomplete: {', '.join(failed)} "
                             f"could not be read; the other values are good")
    return outcome
