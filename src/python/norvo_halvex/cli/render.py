"""Turning API results into JSON values and aligned, unit-carrying text."""

from __future__ import annotations

import dataclasses
import datetime as _dt
import enum
import json
import math
from collections.abc import Iterable, Mapping, Sequence

from norvo_halvex import meters

UTC = _dt.timezone.utc

# The register names and units are the domain's (values are kWh / kvarh / kVAh).
REGISTER_UNITS = meters.REGISTER_UNITS
ELEMENT_KEYS = meters.ELEMENT_REGISTERS
THREE_PHASE_KEYS = meters.THREE_PHASE_QUANTITIES

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
    return json.dumps(to_jsonable(document), ensure_ascii=False, allow_nan=False)


def fmt_number(value: float | int | None, digits: int | None = None) -> str:
    if value is None:
        return "n/a"
    if digits is None:
        return repr(float(value)) if isinstance(value, float) else str(value)
    return f"{value:.{digits}f}"


def with_unit(value, unit: str, digits: int | None = None) -> str:
    text = fmt_number(value, digits)
    return text if value is None or not unit else f"{text} {unit}"


def table(rows: Sequence[Sequence[str]], *, indent: int = 0, right: Iterable[int] = ()) -> list[str]:
    """Aligned columns; column indices in ``right`` are right-aligned (numbers)."""
    rows = [[str(c) for c in row] for row in rows]
    if not rows:
        return []
    width = max(len(r) for r in rows)
    for r in rows:
        r.extend([""] * (width - len(r)))
    sizes = [max(len(r[i]) for r in rows) for i in range(width)]
    right = set(right)
    out = []
    for r in rows:
        cells = [c.rjust(sizes[i]) if i in right else c.ljust(sizes[i]) for i, c in enumerate(r)]
        out.append(" " * indent + "  ".join(cells).rstrip())
    return out


def register_digits(hardware: str | None) -> int:
    return meters.scale_for(hardware).decimals


def label(key: str) -> str:
    return key.replace("_", " ")


def register_rows(values: Mapping[str, float | None], digits: int, prefix: str = "") -> list[list[str]]:
    rows = []
    for key, value in values.items():
        unit = REGISTER_UNITS.get(key, "")
        text = fmt_number(value, digits)
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
