"""Where the library's log entries go while the tool runs.

Standard error, or the log file of ``--log-file``, one entry per line, time stamps in UTC
ISO 8601 with their offset, as text or as JSON (structlog's renderers). The log file also
gets the tool's own lines (failures, summaries) as entries of the logger ``halvex``, so it
tells the whole story in one format; it is opened again when logrotate has moved it, and
on SIGHUP. Text from meters and the mediator inside an entry has its control characters
escaped like everything else the tool shows. After Ctrl-C the entries are muted: calls
still ending in the background must not bury the "interrupted" line under their failures.
"""

from __future__ import annotations

import datetime as _dt
import logging
import logging.handlers
import os
import signal
import threading

import structlog
from structlog.stdlib import ProcessorFormatter

from norvo_halvex import files
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


class LogFile(logging.handlers.WatchedFileHandler):
    """A log file that is opened again when it was moved or removed (logrotate), checked
    before each entry, or when ``reopen()`` asked for it (SIGHUP). Its path is resolved once,
    refusing a symlink another user planted in a shared folder (``files.resolve``), and its
    name is never followed afterwards: a link put in its place later is not written through."""

    muted = False
    _reopen = False

    def __init__(self, path: str, encoding: str | None = None) -> None:
        super().__init__(files.resolve(path), encoding=encoding)

    def _open(self):
        return open(files.open_append(self.baseFilename), self.mode, encoding=self.encoding, errors=self.errors)

    def reopen(self) -> None:
        self._reopen = True  # a signal handler must not wait for the lock: the next entry does it

    def emit(self, record) -> None:
        if self.muted:
            return
        if self._reopen:
            self._reopen = False
            if self.stream is not None:
                self.stream.close()
                self.stream = None  # opened again below
        super().emit(record)


#: The tool's own lines in the log file come from this logger.
TOOL_LOGGER = "halvex"


class LogOutput:
    """The handler the tool puts on the root logger for one run: standard error, or the
    file ``path`` (created if need be, appended to)."""

    def __init__(self, level: str, stream, fmt: str = "text", path: str | None = None) -> None:
        self.path = path
        self.handler = LogFile(path, encoding="utf-8") if path else _Handler(stream)
        self.handler.setFormatter(formatter(fmt))
        root = logging.getLogger()
        root.addHandler(self.handler)
        root.setLevel(level)
        self._sighup = None
        if path and threading.current_thread() is threading.main_thread():
            self._sighup = signal.signal(signal.SIGHUP, lambda signum, frame: self.handler.reopen())

    @property
    def muted(self) -> bool:
        return self.handler.muted

    def mute(self) -> None:
        with self.handler.lock:
            self.handler.muted = True
        logging.disable(logging.CRITICAL)  # loggers with handlers of their own too (Dask's)

    def note(self, text: str, level: int = logging.INFO) -> None:
        """One of the tool's own lines, for the log file (standard error has it already)."""
        if self.path:
            record = logging.getLogger(TOOL_LOGGER).makeRecord(TOOL_LOGGER, level, __file__, 0, text, (), None)
            self.handler.handle(record)

    def close(self) -> None:
        logging.disable(logging.NOTSET)
        logging.getLogger().removeHandler(self.handler)
        if self._sighup is not None:
            signal.signal(signal.SIGHUP, self._sighup)
        self.handler.close()


def default_worker_log() -> str:
    """Where the worker processes of a local Dask cluster write without --log-file."""
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(state, "halvex", "dask-workers.log")


def worker_logging(path: str, fmt: str) -> None:
    """Run in a Dask worker process: the library's entries and Dask's own, at WARNING and
    above, go to ``path`` in the tool's ``fmt``."""
    handler = LogFile(path, encoding="utf-8")
    handler.setFormatter(formatter(fmt))
    handler.setLevel(logging.WARNING)
    logging.getLogger().addHandler(handler)
    through_root()


def through_root(names=("distributed", "tornado", "bokeh")) -> None:
    """Loggers that Dask gives handlers of their own (on standard error, in its own format)
    write through the root logger's handlers instead: the tool's."""
    for name in names:
        logger = logging.getLogger(name)
        for h in list(logger.handlers):
            logger.removeHandler(h)
        logger.propagate = True
