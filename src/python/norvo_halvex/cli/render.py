"""Turning API results into JSON values and aligned, unit-carrying text."""

from __future__ import annotations

import dataclasses
import datetime as _dt
import enum
import io
import json
import math
from collections.abc import Iterable, Mapping, Sequence

from norvo_halvex import meters
from norvo_halvex.untrusted import JSON_ESCAPES

UTC = _dt.timezone.utc

# The register names and units are the domain's (values are kWh / kvarh / kVAh).

_MAX_DEPTH = 12


def iso(value: _dt.datetime) -> str:
    """ISO 8601 in UTC; a naive date-time is taken as UTC already."""
    if value.tzinfo is None:
        value = value.replace(tzinfo=UTC)
    return value.astimezone(UTC).isoformat()


def to_jsonable(value, _depth: int = 0):
    """A JSON-ready copy of an API value: date-times as ISO 8601 UTC, enums as
    {"name", "value"}, bytes as hex, records as dicts of their public fields."""
    if _depth > _MAX_DEPTH:
        return str(value)
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, enum.Enum):
        name = value.name
        if name is None and isinstance(value, enum.Flag):
            name = "|".join(m.name for m in type(value) if m.value and m in value) or None
        return {"name": name, "value": to_jsonable(value.value, _depth + 1)}
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, _dt.datetime):
        return iso(value)
    if isinstance(value, (_dt.date, _dt.time)):
        return value.isoformat()
    if isinstance(value, _dt.timedelta):
        return value.total_seconds()
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    if isinstance(value, Mapping):
        return {str(k): to_jsonable(v, _depth + 1) for k, v in value.items()}
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {f.name: to_jsonable(getattr(value, f.name), _depth + 1) for f in dataclasses.fields(value)}
    if isinstance(value, (list, tuple, set, frozenset, Sequence)):
        return [to_jsonable(v, _depth + 1) for v in value]
    fields = public_fields(value)
    if fields is not None:
        return {k: to_jsonable(v, _depth + 1) for k, v in fields.items()}
    if isinstance(value, Iterable):
        try:
            return [to_jsonable(v, _depth + 1) for v in value]
        except Exception:
            pass
    return str(value)


def _is_epoch_format(fmt) -> bool:
    return getattr(fmt, "__name__", None) == "epoch_format"


def public_fields(value) -> dict | None:
    """The data fields of a record object. Codec records list theirs (``as_dict``) and
    mark epoch-second fields, which become UTC date-times here; other objects give their
    instance attributes that do not start with an underscore (Kaitai records keep their
    stream and parents under ``_io``, ``_parent``, ``_root``)."""
    as_dict = getattr(value, "as_dict", None)
    names = getattr(type(value), "_fields", None)
    if callable(as_dict) and isinstance(names, tuple):
        formats = getattr(type(value), "_formats", None) or {}
        out = {}
        for name in names:
            try:
                field = getattr(value, name)
            except Exception:
                continue
            fmt = formats.get(name) if isinstance(formats, dict) else None
            if _is_epoch_format(fmt) and type(field) is int and 0 <= field <= 0xFFFFFFFF:
                field = _dt.datetime.fromtimestamp(field, UTC)
            elif isinstance(fmt, type) and issubclass(fmt, enum.Enum) and type(field) is int:
                try:
                    field = fmt(field)
                except ValueError:
                    pass
            out[name] = field
        return out
    attrs = getattr(value, "__dict__", None)
    if not isinstance(attrs, dict):
        slots = getattr(type(value), "__slots__", None)
        if not slots:
            return None
        attrs = {s: getattr(value, s) for s in ([slots] if isinstance(slots, str) else slots) if hasattr(value, s)}
    return {k: v for k, v in attrs.items() if not k.startswith("_") and not callable(v)}


def dumps(document) -> str:
    # What JSON leaves raw but a terminal would act on (DEL, the C1 controls, bidirectional
    # overrides) goes out escaped.
    return json.dumps(to_jsonable(document), ensure_ascii=False, allow_nan=False).translate(JSON_ESCAPES)


# A value that does not apply (element B of a single-element meter) against one the
# meter should have delivered but whose read failed: the second is not a success.
NOT_APPLICABLE = "n/a"
FAILED = "failed"


def fmt_number(value: float | int | None, digits: int | None = None, *, none: str = NOT_APPLICABLE) -> str:
    if value is None:
        return none
    if digits is None:
        return repr(float(value)) if isinstance(value, float) else str(value)
    return f"{value:.{digits}f}"


def payload_text(payload: bytes) -> str:
    """Raw bytes as people read them: hex digits and the length, ``0aff  (2 bytes)``."""
    size = len(payload)
    return f"{payload.hex() or '(empty)'}  ({size} byte{'s' if size != 1 else ''})"


def with_unit(value, unit: str, digits: int | None = None) -> str:
    text = fmt_number(value, digits)
    return text if value is None or not unit else f"{text} {unit}"


def table(rows: Sequence[Sequence[str]], *, indent: int = 0, right: Iterable[int] = ()) -> list[str]:
    """Aligned columns, two spaces apart; column indices in ``right`` are right-aligned
    (numbers). Cells are plain text: nothing in them is read as markup."""
    from rich.console import Console
    from rich.table import Table
    from rich.text import Text

    rows = [[str(c) for c in row] for row in rows]
    if not rows:
        return []
    width = max(len(r) for r in rows)
    right = set(right)
    grid = Table(box=None, show_header=False, show_edge=False, pad_edge=False, padding=(0, 1))
    for i in range(width):
        grid.add_column(justify="right" if i in right else "left", no_wrap=True)
    for r in rows:
        grid.add_row(*(Text(c) for c in r + [""] * (width - len(r))))
    console = Console(file=io.StringIO(), width=1 << 16, color_system=None, markup=False, emoji=False,
                      highlight=False, legacy_windows=False)
    with console.capture() as captured:
        console.print(grid)
    return [" " * indent + line.rstrip() for line in captured.get().splitlines()]


def value_lines(serial: str, what: str, value: str) -> list[str]:
    """One value of one meter as text: ``HX1000001  clock  2025-03-01T12:00:05+00:00``."""
    return table([[serial, what, value]])


def register_digits(hardware: str | None) -> int:
    return meters.scale_for(hardware).decimals


def label(key: str) -> str:
    return key.replace("_", " ")


def register_rows(values: Mapping[str, float | None], digits: int, prefix: str = "", *,
                  none: str = NOT_APPLICABLE) -> list[list[str]]:
    rows = []
    for key, value in values.items():
        unit = meters.REGISTER_UNITS.get(key, "")
        text = fmt_number(value, digits, none=none)
        rows.append([prefix, label(key), text, unit if value is not None else ""])
    return rows


def flatten(value, prefix: str = "") -> list[tuple[str, str]]:
    """Dotted key/value pairs of a JSON-ready value, for showing records as text."""
    out: list[tuple[str, str]] = []
    if isinstance(value, dict):
        if set(value) == {"name", "value"}:
            # A flag set with no flag raised has no name: show the bare number.
            text = str(value["value"]) if value["name"] is None else f"{value['name']} ({value['value']})"
            out.append((prefix, text))
            return out
        if not value:
            out.append((prefix, "{}"))
        for k, v in value.items():
            out.extend(flatten(v, f"{prefix}.{k}" if prefix else str(k)))
    elif isinstance(value, list):
        if not value:
            out.append((prefix, "[]"))
        for i, v in enumerate(value):
            out.extend(flatten(v, f"{prefix}[{i}]"))
    else:
        out.append((prefix, "n/a" if value is None else str(value)))
    return out


def record_lines(record, indent: int = 2) -> list[str]:
    return table(flatten(to_jsonable(record)), indent=indent)


def csq_dbm(csq: int | None) -> int | None:
    """Received signal strength for a modem CSQ value (0..31; 99 means unknown)."""
    if csq is None or not 0 <= csq <= 31:
        return None
    return -113 + 2 * csq


SPARK_BARS = "▁▂▃▄▅▆▇█"
GAP = " "


def sparkline(values: Sequence[float | int | None]) -> str:
    """One bar per value, scaled from zero (or the lowest value, if below) to the highest;
    None (no data) is a gap."""
    known = [v for v in values if v is not None]
    if not known:
        return GAP * len(values)
    low = min(0, min(known))
    span = max(known) - low
    top = len(SPARK_BARS) - 1
    return "".join(GAP if v is None else SPARK_BARS[round((v - low) / span * top) if span else 0] for v in values)


def load_curve(intervals, start: _dt.datetime, end: _dt.datetime) -> list[str]:
    """One sparkline row per quantity over the interval slots from ``start`` to ``end``;
    a slot the meter flagged missing or did not send at all shows as a gap."""
    length = getattr(intervals, "interval_length", None)
    if not isinstance(length, int) or length <= 0:
        return []
    by_time = {}
    for interval in intervals:
        when = getattr(interval, "time", None)
        if isinstance(when, _dt.datetime):
            by_time[when] = interval
    first = -(-int(start.timestamp()) // length) * length  # the first slot starting in the window
    slots = [by_time.get(_dt.datetime.fromtimestamp(t, UTC)) for t in range(first, int(end.timestamp()) + 1, length)]
    if not slots:
        return []
    gaps = sum(1 for s in slots if s is None or getattr(s, "missing", False))
    rows = []
    for i, name in enumerate(meters.THREE_PHASE_QUANTITIES):
        values = [None if s is None or getattr(s, "missing", False) else s.values[i] for s in slots]
        rows.append([label(name), f"│{sparkline(values)}│"])
    rows[0].append(f"{gaps} gap{'s' if gaps != 1 else ''}" if gaps else "")
    return table(rows, indent=2)
