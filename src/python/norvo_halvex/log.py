"""Structured logging for norvo_halvex: structlog bound loggers over standard ``logging``.

``get_logger(name, file)`` wraps ``logging.getLogger(name)`` in a :class:`HalvexBoundLogger`.
The application stays in charge of logging: this module adds no handlers, never calls
``structlog.configure`` and touches no other global state. Whether an entry is written is
decided by the standard logger's effective level (the core sets the root level), its
filters and the application's handlers.

An entry that the standard logger would drop costs one ``isEnabledFor`` call: the level is
checked before the event dict is built or a processor runs, so the fields of a disabled
entry are never formatted. The C++ core logs on every meter read, so this path matters.

An enabled entry becomes one ``LogRecord``:

- ``record.getMessage()`` is the rendered line: the message text, then ``key=value`` for the
  bound fields and then the call's fields, in the order given, e.g.
  ``hardware mediator_address=0.0.0.0:50051 hardware=P0.se serial=HX1000001``;
- ``record.event_dict`` holds the same data as a dict (``event`` first) for handlers that
  want structured data;
- ``record.pathname`` / ``record.filename`` are the ``file`` given to ``get_logger`` (the
  source of the code that owns the logger) and ``record.lineno`` is 0. The callers are mostly
  C++ code with no Python frame of their own, so walking the stack (what stdlib logging does
  by default) would cost time and name the wrong place. ``file`` is never rendered into the
  line.
"""

from __future__ import annotations

import logging as _stdlib_logging
import os
import re
from collections.abc import Iterable, Mapping
from typing import Any

import structlog
from structlog.exceptions import DropEvent
from structlog.typing import EventDict, Processor

__all__ = ["HalvexBoundLogger", "get_logger", "render_key_values"]

_DEBUG = _stdlib_logging.DEBUG
_INFO = _stdlib_logging.INFO
_WARNING = _stdlib_logging.WARNING
_ERROR = _stdlib_logging.ERROR

_UNKNOWN_FILE = "(unknown file)"
_UNKNOWN_FUNCTION = "(unknown function)"

# Characters that would make a bare value ambiguous in a key=value line.
_NEEDS_QUOTES = re.compile("[ \t\r\n\"'=]").search


def _render_value(value: Any) -> str:
    if type(value) is str:
        # Serials and addresses are mostly letters and digits: no search for those.
        if value.isalnum() or (value and not _NEEDS_QUOTES(value)):
            return value
        return repr(value)
    try:
        return repr(value)
    except Exception as exc:  # a broken __repr__ must not break the meter operation logging it
        return f"<unrepresentable {type(value).__name__}: {type(exc).__name__}>"


def render_key_values(
    logger: Any, method_name: str, event_dict: EventDict
) -> tuple[tuple[str], dict[str, Any]]:
    """Final processor: render ``event key=value ...`` and keep the dict for handlers.

    Plain strings appear bare unless they are empty or hold spaces, quotes or ``=``; every
    other value appears as its ``repr``.
    """
    return (_key_value_line(event_dict),), {"extra": {"event_dict": event_dict}}


def _key_value_line(event_dict: EventDict) -> str:
    parts = []
    for key, value in event_dict.items():
        if key == "event":
            parts.append(value if type(value) is str else _render_value(value))
        else:
            parts.append(f"{key}={_render_value(value)}")
    return " ".join(parts)


_DEFAULT_PROCESSORS: tuple[Processor, ...] = (render_key_values,)


class HalvexBoundLogger(structlog.BoundLoggerBase):
    """A structlog bound logger whose wrapped logger is a standard ``logging.Logger``.

    ``bind``/``unbind``/``new`` return loggers of this class over the same standard logger.
    The processor chain is this logger's own (``render_key_values`` by default); the last
    processor must return ``((message,), {"extra": {...}})`` or a plain string.
    """

    _file: str

    def __init__(
        self,
        logger: _stdlib_logging.Logger,
        processors: Iterable[Processor] = _DEFAULT_PROCESSORS,
        context: Mapping[str, Any] | None = None,
        *,
        file: str | None = None,
    ) -> None:
        super().__init__(logger, tuple(processors), dict(context or {}))
        self._file = file or _UNKNOWN_FILE

    def bind(self, **new_values: Any) -> HalvexBoundLogger:
        context = dict(self._context)
        context.update(new_values)
        return self.__class__(self._logger, self._processors, context, file=self._file)

    def __repr__(self) -> str:
        return f"<HalvexBoundLogger(name={self._logger.name!r}, context={self._context!r})>"

    # The five methods repeat the level test inline so that a disabled entry returns after
    # one call, before any argument is looked at.

    def debug(self, event: str, /, **fields: Any) -> None:
        if self._logger.isEnabledFor(_DEBUG):
            self._emit(_DEBUG, "debug", event, fields)

    def info(self, event: str, /, **fields: Any) -> None:
        if self._logger.isEnabledFor(_INFO):
            self._emit(_INFO, "info", event, fields)

    def warning(self, event: str, /, **fields: Any) -> None:
        if self._logger.isEnabledFor(_WARNING):
            self._emit(_WARNING, "warning", event, fields)

    def warn(self, event: str, /, **fields: Any) -> None:
        if self._logger.isEnabledFor(_WARNING):
            self._emit(_WARNING, "warning", event, fields)

    def error(self, event: str, /, **fields: Any) -> None:
        if self._logger.isEnabledFor(_ERROR):
            self._emit(_ERROR, "error", event, fields)

    def _emit(self, level: int, method_name: str, event: Any, fields: dict[str, Any]) -> None:
        # Message first, then bound fields, then the call's fields; a call field replaces a
        # bound one of the same name, and the message always stays under "event".
        event_dict: Any = {"event": event}
        event_dict.update(self._context)
        event_dict.update(fields)
        event_dict["event"] = event
        if self._processors is _DEFAULT_PROCESSORS:
            # The usual chain, without the round through its general return form.
            msg, extra = _key_value_line(event_dict), {"event_dict": event_dict}
        else:
            try:
                for proc in self._processors:
                    event_dict = proc(self._logger, method_name, event_dict)
            except DropEvent:
                return
            if isinstance(event_dict, tuple):
                args, kw = event_dict
                msg = args[0] if args else ""
                extra = kw.get("extra")
            else:
                msg, extra = event_dict, None
        logger = self._logger
        record = logger.makeRecord(
            logger.name, level, self._file, 0, msg, (), None, _UNKNOWN_FUNCTION, extra
        )
        logger.handle(record)


def _debug_dropped(log: Any) -> bool:
    """Whether ``log.debug(...)`` would end at its level test, having done nothing else.

    Asked only of this class itself over a standard logger whose level test is the class's
    own, which has no effects: then asking here first and not calling debug() is the same
    as calling it. Anything else answers False (the caller makes its line as always).
    """
    if type(log) is not HalvexBoundLogger:
        return False
    logger = log._logger
    if type(logger) not in _STANDARD_LOGGERS or "isEnabledFor" in vars(logger):
        return False
    return not _stdlib_logging.Logger.isEnabledFor(logger, _DEBUG)


_STANDARD_LOGGERS = (_stdlib_logging.Logger, _stdlib_logging.RootLogger)

# The compiled core asks this before it makes the text of a debug line: the pair names the
# function it belongs to, so a replaced or wrapped debug() (whose copied attributes name
# this one) is never taken for it.
HalvexBoundLogger.debug._halvex_drops = (HalvexBoundLogger.debug, _debug_dropped)  # type: ignore[attr-defined]


def get_logger(name: str | None, file: str | os.PathLike[str] | None) -> HalvexBoundLogger:
    """Return a bound logger over ``logging.getLogger(name)``.

    ``file`` is the path of the code that owns the logger (``__file__`` of a module, the
    extension's file for the core); it becomes the source path of every record and is not a
    field of the entries.
    """
    if name is not None and not isinstance(name, str):
        raise TypeError(f"logger name must be a str or None, got {type(name).__name__}")
    path = os.fspath(file) if file is not None else None
    if path is not None and not isinstance(path, str):
        raise TypeError(f"logger file must be a str path or None, got {type(path).__name__}")
    return HalvexBoundLogger(_stdlib_logging.getLogger(name), file=path)
