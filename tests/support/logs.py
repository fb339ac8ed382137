"""The recording logger: stands in for the structlog logger of the core and the tools."""

from __future__ import annotations

import dataclasses
from typing import Any

LEVELS = ("debug", "info", "warn", "warning", "error")


@dataclasses.dataclass(frozen=True)
class LogEntry:
    level: str
    message: Any
    fields: tuple[tuple[str, Any], ...]  # keyword fields in the order they were passed
    bound: dict[str, Any]  # what the logger was bound with (module logger: {})

    def __eq__(self, other: object) -> bool:  # compare with plain (level, message, fields) tuples too
        if isinstance(other, tuple):
            return (self.level, self.message, self.fields) == other
        return NotImplemented if not isinstance(other, LogEntry) else dataclasses.astuple(self) == dataclasses.astuple(other)

    __hash__ = None  # type: ignore[assignment]


class RecordingLogger:
    """bind() and one method per level; every entry lands in `entries`, which the loggers made
    by bind() share."""

    def __init__(self, entries: list[LogEntry] | None = None, bound: dict[str, Any] | None = None):
        self.entries: list[LogEntry] = [] if entries is None else entries
        self.bound = dict(bound or {})
        self.binds: list[dict[str, Any]] = []

    def bind(self, **fields: Any) -> RecordingLogger:
        self.binds.append(fields)
        return RecordingLogger(self.entries, {**self.bound, **fields})

    def _record(self, level: str, message: Any, args: tuple, fields: dict[str, Any]) -> None:
        assert not args, "the core passes the message as the only positional argument"
        self.entries.append(LogEntry(level, message, tuple(fields.items()), dict(self.bound)))

    def at(self, level: str) -> list[LogEntry]:
        return [e for e in self.entries if e.level == level]


def _level_method(level: str):
    def log(self, message, *args, **fields):
        self._record(level, message, args, fields)

    log.__name__ = level
    log.__qualname__ = f"RecordingLogger.{level}"
    return log


for _level in LEVELS:
    setattr(RecordingLogger, _level, _level_method(_level))


class NullLogger(RecordingLogger):
    """Keeps nothing: for loops that must not grow a list."""

    def _record(self, level, message, args, fields):
        pass

    def bind(self, **fields):
        return self
