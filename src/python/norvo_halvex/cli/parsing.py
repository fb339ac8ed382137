"""Parsing and checking command line values before anything is sent to a meter."""

from __future__ import annotations

import csv as _csv
import datetime as _dt
import enum
import errno
import math
import os
import re

from norvo_halvex import meters
from norvo_halvex.failures import LocalError, UsageError
from norvo_halvex.untrusted import for_terminal

UTC = _dt.timezone.utc

# The window rules are the domain's; these are their words on the command line.
_WINDOW_PROBLEMS = {
    "order": "--start must come before --end",
    "too_long": f"the window from --start to --end is at most {meters.MAX_WINDOW // _dt.timedelta(hours=1)} hours",
}
METER_TIME_RANGE = "meters hold times from 1970-01-01T00:00:00Z to 2106-02-07T06:28:15Z"


def _meter_holds(value: _dt.datetime) -> bool:
    """Whether a meter can hold ``value`` (its clock counts seconds from 1970 in 32 bits)."""
    from quarn_frame_protocol.util import quarn_datetime_to_epoch_seconds

    try:
        quarn_datetime_to_epoch_seconds(value)
    except (ValueError, OverflowError):
        return False
    return True


def check_meter_time(value: _dt.datetime, text: str) -> _dt.datetime:
    """Refuses a time a meter cannot hold."""
    if not _meter_holds(value):
        raise UsageError(f"time {text!r} out of range: {METER_TIME_RANGE}")
    return value


def check_output(path: str, option: str) -> str:
    """The output target ``path`` given with ``option``, checked before anything is
    downloaded: ``-`` (standard output) as it is, anything else as an absolute path that
    can be written (a folder, a missing folder or an unwritable one is refused)."""
    from norvo_halvex import files

    if path == files.STDOUT:
        return path
    target = os.path.abspath(path)
    try:
        files.check_target(target)
    except OSError as e:
        where = f" ({e.filename})" if e.filename not in (None, target) else ""
        unsafe = isinstance(e, files.UnsafeSymlinkError)
        raise LocalError(f"cannot write {option} {path}: {e.strerror or e}{where}",
                         code="UNSAFE_SYMLINK" if unsafe else errno.errorcode.get(e.errno, "OS_ERROR"),
                         cause="unsafe symlink" if unsafe else "cannot write output", attempted=False) from None
    return target


ZONE_ENV = "HALVEX_TZ"


def time_zone(option: str | None):
    """The time zone of ``--tz`` (else ``HALVEX_TZ``, else UTC), as a ``ZoneInfo``."""
    name, source = (option, "--tz") if option else (os.environ.get(ZONE_ENV) or "UTC", ZONE_ENV)
    try:
        return meters.time_zone(name)
    except ValueError as e:
        raise UsageError(f"{source}: {e}") from None


def local_day(day: _dt.date, zone):
    """The local ``day`` in ``zone``; a usage error when the zone's days cannot be cut into
    intervals, or when a meter cannot hold the times of its first or last interval."""
    where = "" if zone.key == "UTC" else f" in {zone.key}"
    out_of_range = UsageError(f"day '{day.isoformat()}'{where} out of range: {METER_TIME_RANGE}")
    try:
        local = meters.local_day(day, zone)
    except ValueError as e:
        raise UsageError(f"--tz {zone.key}: {e}") from None
    except OverflowError:
        raise out_of_range from None
    last = local.end - _dt.timedelta(seconds=meters.INTERVAL_SECONDS)
    if not (_meter_holds(local.start) and _meter_holds(last)):
        raise out_of_range
    return local


def parse_day(text: str) -> _dt.date:
    try:
        return _dt.date.fromisoformat(text.strip())
    except ValueError:
        raise UsageError(f"bad date {text!r}: expected YYYY-MM-DD") from None


def parse_datetime(text: str) -> _dt.datetime:
    """ISO 8601 date-time (naive means UTC), a bare date (midnight UTC), or epoch
    seconds written as ``@1714521600``; always returned as an aware UTC date-time."""
    raw = text.strip()
    if raw.startswith("@"):
        try:
            seconds = float(raw[1:])
            if not math.isfinite(seconds):
                raise ValueError
            value = _dt.datetime.fromtimestamp(seconds, UTC)
        except (ValueError, OverflowError, OSError):
            raise UsageError(f"bad time {text!r}: expected epoch seconds after '@'") from None
        return check_meter_time(value, text)
    try:
        value = _dt.datetime.fromisoformat(raw)
    except ValueError:
        raise UsageError(
            f"bad time {text!r}: expected ISO 8601 such as 2025-03-01T10:00:00Z (naive times are UTC)"
        ) from None
    if value.tzinfo is None:
        value = value.replace(tzinfo=UTC)
    try:
        value = value.astimezone(UTC)
    except OverflowError:
        raise UsageError(f"time {text!r} out of range: {METER_TIME_RANGE}") from None
    return check_meter_time(value, text)


def interval_window(day: str | None, start: str | None, end: str | None):
    """(day, None, None) for a whole day (a date, its zone decides its window), or (None,
    start, end) for an explicit window of at most 24 hours, checked."""
    if day is not None:
        if start is not None or end is not None:
            raise UsageError("give either --day or --start/--end, not both")
        return parse_day(day), None, None
    if start is None or end is None:
        raise UsageError("give --day YYYY-MM-DD, or both --start and --end")
    begin, finish = parse_datetime(start), parse_datetime(end)
    try:
        meters.check_window(begin, finish)
    except meters.IntervalWindowError as e:
        raise UsageError(_WINDOW_PROBLEMS.get(e.reason, str(e))) from None
    return None, begin, finish


def parse_hex(text: str) -> bytes:
    raw = text.strip()
    if raw[:2].lower() == "0x":
        raw = raw[2:]
    try:
        return bytes.fromhex(raw)
    except ValueError:
        raise UsageError(f"bad hex payload {text!r}: expected pairs of hex digits such as '0aff10'") from None


def parse_obis(text: str) -> str:
    """An OBIS triplet C.D.E, each part 0..255, in its canonical form."""
    try:
        return meters.normalise_obis_code(text)
    except ValueError:
        raise UsageError(f"bad OBIS code {text!r}: expected C.D.E with each part 0..255, such as 1.8.0") from None


def parse_event_index(text: str) -> int:
    try:
        idx = int(text, 10)
    except ValueError:
        raise UsageError(f"bad event log index {text!r}: expected a whole number") from None
    try:
        from norvo_halvex.meters import valid_event_log_idx

        valid_event_log_idx(idx)
    except ValueError as e:
        raise UsageError(f"bad event log index {idx}: {e}") from None
    return idx


def parse_on_off(text: str) -> bool:
    word = text.strip().lower()
    if word in ("on", "true", "yes", "1", "enable", "enabled"):
        return True
    if word in ("off", "false", "no", "0", "disable", "disabled"):
        return False
    raise UsageError(f"bad value {text!r}: expected on or off")


def _norm(name: str) -> str:
    return name.strip().lower().replace("-", "_").replace(" ", "_")


def parse_setting(text: str, enum_type: type[enum.Enum], what: str) -> enum.Enum:
    """A member of a setting enumeration by name (any case, '-' for '_') or by value."""
    members = list(enum_type)
    wanted = _norm(text)
    for m in members:
        if _norm(m.name) == wanted:
            return m
    try:
        number = int(text.strip(), 0)
    except ValueError:
        number = None
    if number is not None:
        for m in members:
            if m.value == number:
                return m
    choices = ", ".join(f"{m.name} ({m.value})" for m in members)
    raise UsageError(f"bad {what} setting {text!r}: expected one of {choices}")


#: A meter serial: 1 to 32 ASCII letters, digits, '-', '_' or '.', beginning with a letter or
#: a digit (HX3000001, SITE-7).
SERIAL_SYNTAX = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,31}")
_SERIAL_WORDS = "a meter serial is 1 to 32 letters, digits, '-', '_' or '.', beginning with a letter or digit"
# The separators a spreadsheet's CSV export uses, by locale.
_CSV_SEPARATORS = (",", ";", "\t")


def check_serial(text: str, where: str) -> str:
    if not SERIAL_SYNTAX.fullmatch(text):
        raise UsageError(f"{where}: {for_terminal(repr(text))} is not a meter serial ({_SERIAL_WORDS})")
    return text


def _serial_column(line: str) -> tuple[str, int] | None:
    """(separator, column) when ``line`` is a CSV header with a ``serial`` column."""
    for separator in _CSV_SEPARATORS:
        cells = [c.strip().lower() for c in next(_csv.reader([line], delimiter=separator), [])]
        if "serial" in cells:
            return separator, cells.index("serial")
    return None


def parse_serial_text(text: str, name: str) -> list[str]:
    """Serials of a file's text: one a line (blank lines and '#' comments ignored), or CSV whose
    header has a ``serial`` column. UsageError naming ``name`` and the line of anything else."""
    lines = [line.removesuffix("\r") for line in text.split("\n")]
    numbered = [(n, line) for n, line in enumerate(lines, 1) if line.split("#", 1)[0].strip()]
    header = _serial_column(numbered[0][1]) if numbered else None
    serials = []
    if header is None:
        for n, line in numbered:
            serials.append(check_serial(line.split("#", 1)[0].strip(), f"{name}, line {n}"))
        return serials
    separator, column = header
    for n, line in enumerate(lines, 1):
        cells = next(_csv.reader([line], delimiter=separator), [])
        if n <= numbered[0][0] or not any(c.strip() for c in cells):  # a spreadsheet's empty rows too
            continue
        cell = cells[column].strip() if column < len(cells) else ""
        if not cell:
            raise UsageError(f"{name}, line {n}: no serial in the 'serial' column")
        serials.append(check_serial(cell, f"{name}, line {n}"))
    return serials


def parse_serial_file(data: bytes, name: str) -> list[str]:
    """Serials of a file's bytes: UTF-8, with or without a byte-order mark, LF or CRLF lines."""
    if data.startswith((b"\xff\xfe", b"\xfe\xff")) or b"\x00" in data:
        raise UsageError(f"{name} is UTF-16 (or binary), not UTF-8 text: save it as UTF-8 "
                         "(in a spreadsheet: CSV UTF-8)")
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        line = data[:e.start].count(b"\n") + 1
        raise UsageError(f"{name}, line {line}: not UTF-8 text; save the file as UTF-8") from None
    return parse_serial_text(text, name)


def read_serials(serials, source: str | None) -> list[str]:
    """``serials`` given as arguments, then those of the file ``source`` ('-': standard input),
    each checked against the meters' serial syntax before any meter is contacted."""
    import sys

    serials = [check_serial(s, "serial argument") for s in serials]
    if source:
        try:
            if source == "-":
                stdin = sys.stdin
                data = stdin.buffer.read() if hasattr(stdin, "buffer") else stdin.read().encode("utf-8")
                serials += parse_serial_file(data, "standard input")
            else:
                with open(source, "rb") as f:
                    serials += parse_serial_file(f.read(), source)
        except OSError as e:
            raise UsageError(f"cannot read {source}: {e.strerror or e}") from None
    return serials
