"""Fakes shared by the api_core tests: a scripted transport, a recording logger, a leak check."""

from __future__ import annotations

import dataclasses
import enum
import gc
import sys
from typing import Any

import pytest


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
    """Stands in for the structlog logger: bind() and debug/info/warn/warning/error."""

    def __init__(self, entries: list[LogEntry] | None = None, bound: dict[str, Any] | None = None):
        self.entries: list[LogEntry] = [] if entries is None else entries
        self.bound = dict(bound or {})
        self.binds: list[dict[str, Any]] = []

    def bind(self, **fields: Any) -> "RecordingLogger":
        self.binds.append(fields)
        return RecordingLogger(self.entries, {**self.bound, **fields})

    def _record(self, level: str, message: Any, args: tuple, fields: dict[str, Any]) -> None:
        assert not args, "the core passes the message as the only positional argument"
        self.entries.append(LogEntry(level, message, tuple(fields.items()), dict(self.bound)))

    def debug(self, message, *args, **fields):
        self._record("debug", message, args, fields)

    def info(self, message, *args, **fields):
        self._record("info", message, args, fields)

    def warn(self, message, *args, **fields):
        self._record("warn", message, args, fields)

    def warning(self, message, *args, **fields):
        self._record("warning", message, args, fields)

    def error(self, message, *args, **fields):
        self._record("error", message, args, fields)

    def at(self, level: str) -> list[LogEntry]:
        return [e for e in self.entries if e.level == level]


class FakeMediator:
    """State behind the fake transport class: what was called, and what to answer.

    `replies` maps (operation, object_id) or operation to a value, an exception instance (raised)
    or a callable (called with the call's arguments). Unscripted calls return `default`.
    """

    def __init__(self) -> None:
        self.calls: list[tuple[str, tuple]] = []
        self.created: list[dict[str, Any]] = []
        self.replies: dict[Any, Any] = {}
        self.default: Any = None

    def answer(self, operation: str, args: tuple) -> Any:
        self.calls.append((operation, args))
        key = (operation, args[1]) if operation != "send_message" else operation
        try:
            reply = self.replies[key] if key in self.replies else self.replies.get(operation, self.default)
        except TypeError:  # unhashable object id
            reply = self.replies.get(operation, self.default)
        if isinstance(reply, BaseException):
            raise reply
        if callable(reply) and not isinstance(reply, type):
            return reply(*args)
        return reply

    def make_class(self) -> type:
        mediator = self

        class FakeTransport:
            def __init__(self, *args: Any, **kwargs: Any) -> None:
                mediator.created.append({"args": args, "kwargs": kwargs})

            def read_element(self, serial, object_id):
                return mediator.answer("read_element", (serial, object_id))

            def write_element(self, serial, object_id, payload):
                return mediator.answer("write_element", (serial, object_id, payload))

            def send_message(self, serial, message):
                return mediator.answer("send_message", (serial, message))

        return FakeTransport


class FakeObjectId(enum.IntEnum):
    """A small ObjectIdEnum stand-in (names only matter for display)."""

    serial = 1
    hardware_version = 2
    three_phase_total_active_import = 40


@dataclasses.dataclass
class CoreEnv:
    module: Any
    transport: FakeMediator
    log: RecordingLogger
    monkeypatch: pytest.MonkeyPatch

    def client(self, *args: Any, **kwargs: Any) -> Any:
        return self.module.HalvexMediatorAPI(*args, **kwargs)

    def set(self, name: str, value: Any) -> None:
        """Replace a module-level name for the rest of the test."""
        self.monkeypatch.setattr(self.module, name, value, raising=False)

    @property
    def entries(self) -> list[LogEntry]:
        return self.log.entries


def assert_no_leaks(work, watched, warm_runs, runs):
    """Runs ``work`` ``warm_runs`` times (to fill caches), then ``runs`` more times: the reference
    counts of the ``watched`` objects must be unchanged and fewer than 200 memory blocks gained."""
    for _ in range(warm_runs):
        work()
    gc.collect()
    blocks = sys.getallocatedblocks()
    refs = tuple(sys.getrefcount(obj) for obj in watched)
    for _ in range(runs):
        work()
    gc.collect()
    assert tuple(sys.getrefcount(obj) for obj in watched) == refs
    assert sys.getallocatedblocks() - blocks < 200
