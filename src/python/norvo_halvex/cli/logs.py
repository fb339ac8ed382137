"""Where the library's log entries go while the tool runs.

Standard error, one entry per line, time stamps in UTC ISO 8601 with their offset, as
text or as JSON (structlog's renderers). Text from meters and the mediator inside an
entry has its control characters escaped like everything else the tool shows. After
Ctrl-C the entries are muted: calls still ending in the background must not bury the
"interrupted" line under their failures.
"""

from __future__ import annotations

import datetime as _dt
import logging

import structlog
from structlog.stdlib import ProcessorFormatter

from norvo_halvex.untrusted import for_terminal_lines

LOG_FORMATS = ("text", "json")

UTC = _dt.timezone.utc


def _library_fields(logger, method_name, event_dict):
    # The library's records carry their fields as a dict: keep them as fields rather
    # than the key=value text already rendered into the message.
    fields = getattr(event_dict.get("_record"), "event_dict", None)
    if isinstance(fields, dict):
        event_dict.update(fields)
    return event_dict


def _utc_timestamp(logger, method_name, event_dict):
    record = event_dict.get("_record")
    when = _dt.datetime.fromtimestamp(record.created, UTC) if record is not None else _dt.datetime.now(UTC)
    event_dict["timestamp"] = when.isoformat(timespec="milliseconds")
    return event_dict


def _leading(logger, method_name, event_dict):
    # When, how bad and from where come first in every JSON line; then the entry's fields.
    head = {key: event_dict.pop(key) for key in ("timestamp", "level", "logger", "event") if key in event_dict}
    return {**head, **event_dict}


def _escaped(renderer):
    def render(logger, method_name, event_dict):
        return for_terminal_lines(renderer(logger, method_name, event_dict))

    return render


def formatter(fmt: str = "text") -> logging.Formatter:
    """A ``logging.Formatter`` rendering records in the tool's ``fmt`` ("text" or "json")."""
    if fmt == "json":
        renderer = structlog.processors.JSONRenderer()  # ASCII only: nothing raw reaches a terminal
    elif fmt == "text":
        renderer = _escaped(structlog.dev.ConsoleRenderer(
            colors=False, sort_keys=False, exception_formatter=structlog.dev.plain_traceback))
    else:
        raise ValueError(f"log format must be one of {', '.join(LOG_FORMATS)}, got {fmt!r}")
    return ProcessorFormatter(
        foreign_pre_chain=[
            _library_fields,
            structlog.stdlib.add_log_level,
            structlog.stdlib.add_logger_name,
            _utc_timestamp,
        ],
        processors=[ProcessorFormatter.remove_processors_meta, _leading, renderer],
    )


class _Handler(logging.StreamHandler):
    muted = False

    def emit(self, record) -> None:
        # Tested under the handler's lock, which mute() takes too: once mute() has
        # returned, no entry that had already passed the filters can still appear.
        if not self.muted:
            super().emit(record)


class LogOutput:
    """The handler the tool puts on the root logger for one run."""

    def __init__(self, level: str, stream, fmt: str = "text") -> None:
        self.handler = _Handler(stream)
        self.handler.setFormatter(formatter(fmt))
        root = logging.getLogger()
        root.addHandler(self.handler)
        root.setLevel(level)

    @property
    def muted(self) -> bool:
        return self.handler.muted

    def mute(self) -> None:
        with self.handler.lock:
            self.handler.muted = True

    def close(self) -> None:
        logging.getLogger().removeHandler(self.handler)
