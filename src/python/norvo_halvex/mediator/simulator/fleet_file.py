"""Fleet files: the JSON description of a simulated fleet (format in docs/simulator.md).

``load_fleet_file(Fleet, path)`` and ``fleet_from_dict(Fleet, data)`` build a fleet and raise
``FleetError`` naming the file, the entry and what is wrong with it.
"""

from __future__ import annotations

import datetime as _dt
import json
import os
from collections.abc import Mapping
from typing import Any, TypeVar

from norvo_halvex.mediator.simulator.errors import FleetError
from norvo_halvex.mediator.simulator.faults import Fault
from norvo_halvex.mediator.simulator.model import FUTURE_INTERVALS, MeterKind, SimulatedMeter
from norvo_halvex.meters import obis_object_id

__all__ = ["fleet_from_dict", "load_fleet_file"]

F = TypeVar("F")

_METER_FIELDS = {
    "serial",
    "kind",
    "hardware",
    "firmware",
    "clock_offset_seconds",
    "daylight_savings_correction",
    "backlight",
    "load_switch",
    "csq",
    "load_watts",
    "solar_watts",
    "load_b_watts",
    "obis",
    "missing_intervals",
    "missing_future_intervals",
    "future_intervals",
    "fault",
}
_TOP_FIELDS = {"meters", "generate"}


def load_fleet_file(fleet_cls: type[F], path: str | os.PathLike[str]) -> F:
    """The fleet described by the JSON file ``path``, as a ``fleet_cls``."""
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except OSError as e:
        raise FleetError(f"cannot read fleet file {os.fspath(path)}: {e.strerror or e}") from e
    except json.JSONDecodeError as e:
        raise FleetError(f"fleet file {os.fspath(path)} is not valid JSON: {e}") from e
    try:
        return fleet_from_dict(fleet_cls, data)
    except FleetError as e:
        raise FleetError(f"fleet file {os.fspath(path)}: {e}") from e


def fleet_from_dict(fleet_cls: type[F], data: Mapping[str, Any]) -> F:
    """The fleet described by ``data`` (a parsed fleet file), as a ``fleet_cls``."""
    if not isinstance(data, Mapping):
        raise FleetError(f"the fleet must be a JSON object with a 'meters' list, got {type(data).__name__}")
    unknown = sorted(set(data) - _TOP_FIELDS)
    if unknown:
        raise FleetError(f"unknown top-level key(s) {', '.join(unknown)}; known: meters, generate")
    meters = data.get("meters", [])
    if not isinstance(meters, list):
        raise FleetError(f"'meters' must be a list, got {type(meters).__name__}")
    if not meters and "generate" not in data:
        raise FleetError("the fleet has no meters: give a 'meters' list or 'generate'")
    fleet = fleet_cls()
    for i, entry in enumerate(meters):
        where, named = f"meters[{i}]", ""
        if isinstance(entry, Mapping) and isinstance(entry.get("serial"), str):
            where += f" ({entry['serial']})"
            named = f"meter {entry['serial']}: "  # said once, in ``where``
        try:
            meter, fault = _meter_from_dict(entry)
            fleet.add(meter)
        except (ValueError, TypeError, KeyError) as e:
            raise FleetError(f"{where}: {str(e).removeprefix(named) if named else e}") from None
        if fault is not None:
            fleet.set_fault(meter.serial, fault)
    if "generate" in data:
        try:
            _generate_from_dict(fleet, data["generate"])
        except (ValueError, TypeError) as e:
            raise FleetError(f"generate: {e}") from None
    return fleet


def _meter_from_dict(entry: Any) -> tuple[SimulatedMeter, Fault | None]:
    if not isinstance(entry, Mapping):
        raise ValueError(f"each meter must be an object, got {type(entry).__name__}")
    unknown = sorted(set(entry) - _METER_FIELDS)
    if unknown:
        raise ValueError(f"unknown key(s) {', '.join(unknown)}; known: {', '.join(sorted(_METER_FIELDS))}")
    for required in ("serial", "kind"):
        if required not in entry:
            raise ValueError(f"missing '{required}'")
    serial = entry["serial"]
    if not isinstance(serial, str) or not serial.strip():
        raise ValueError(f"'serial' must be non-empty text, got {serial!r}")
    try:
        kind = MeterKind(entry["kind"])
    except ValueError:
        raise ValueError(
            f"unknown kind {entry['kind']!r}; expected one of {', '.join(k.value for k in MeterKind)}"
        ) from None

    kwargs: dict[str, Any] = {}
    if "hardware" in entry:
        kwargs["hardware"] = _text(entry, "hardware")
    if "firmware" in entry:
        kwargs["firmware"] = _firmware(entry["firmware"])
    if "clock_offset_seconds" in entry:
        kwargs["clock_offset"] = float(_number(entry, "clock_offset_seconds"))
    for name in ("load_watts", "solar_watts", "load_b_watts", "csq"):
        if name in entry:
            value = _number(entry, name)
            if not isinstance(value, int) or value < 0:
                raise ValueError(f"'{name}' must be a whole number >= 0, got {value!r}")
            kwargs[name] = value
    if "daylight_savings_correction" in entry:
        value = entry["daylight_savings_correction"]
        if not isinstance(value, (bool, int)):
            raise ValueError(f"'daylight_savings_correction' must be true/false or 0..255, got {value!r}")
        kwargs["daylight_savings_correction"] = int(value)
    for name in ("backlight", "load_switch"):
        if name in entry:
            from norvo_halvex.mediator.simulator.objects import setting_value

            kwargs[name] = setting_value(name, entry[name])
    if "obis" in entry:
        kwargs["obis"] = _obis(entry["obis"])
    if "missing_intervals" in entry:
        kwargs["missing_intervals"] = _instants(entry["missing_intervals"])
    if "missing_future_intervals" in entry:  # the older spelling of future_intervals: "missing"
        value = entry["missing_future_intervals"]
        if not isinstance(value, bool):
            raise ValueError(f"'missing_future_intervals' must be true or false, got {value!r}")
        if value:
            kwargs["future_intervals"] = "missing"
    if "future_intervals" in entry:
        value = entry["future_intervals"]
        if value not in FUTURE_INTERVALS or kwargs.get("future_intervals", value) != value:
            raise ValueError(f"'future_intervals' must be one of {', '.join(FUTURE_INTERVALS)} "
                             f"(and agree with 'missing_future_intervals'), got {value!r}")
        kwargs["future_intervals"] = value
    meter = SimulatedMeter(serial, kind, **kwargs)
    fault = None
    if entry.get("fault") is not None:
        try:
            fault = Fault.from_dict(entry["fault"])
        except (ValueError, TypeError) as e:
            raise ValueError(f"fault: {e}") from None
    return meter, fault


def _generate_from_dict(fleet: Any, generate: Any) -> None:
    if isinstance(generate, int) and not isinstance(generate, bool):
        fleet.add_generated(generate)
        return
    if not isinstance(generate, Mapping):
        raise ValueError(f"must be a meter count or an object with 'count', got {generate!r}")
    known = {"count", "prefix", "kinds", "fault"}
    unknown = sorted(set(generate) - known)
    if unknown:
        raise ValueError(f"unknown key(s) {', '.join(unknown)}; known: {', '.join(sorted(known))}")
    if "count" not in generate:
        raise ValueError("missing 'count'")
    kinds = generate.get("kinds", [k.value for k in MeterKind])
    if isinstance(kinds, str) or not isinstance(kinds, list):
        raise ValueError(f"'kinds' must be a list of meter kinds, got {kinds!r}")
    for k in kinds:
        if k not in {m.value for m in MeterKind}:
            raise ValueError(f"unknown kind {k!r}; expected one of {', '.join(m.value for m in MeterKind)}")
    fault = Fault.from_dict(generate["fault"]) if generate.get("fault") is not None else None
    fleet.add_generated(generate["count"], prefix=generate.get("prefix", "HXG"), kinds=kinds, fault=fault)


def _text(entry: Mapping, name: str) -> str:
    value = entry[name]
    if not isinstance(value, str):
        raise ValueError(f"'{name}' must be text, got {value!r}")
    return value


def _number(entry: Mapping, name: str) -> int | float:
    value = entry[name]
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"'{name}' must be a number, got {value!r}")
    return value


def _firmware(value: Any) -> bytes:
    """Four ASCII characters ("0412"), or "hex:..." for raw version bytes."""
    if not isinstance(value, str):
        raise ValueError(f"'firmware' must be text such as \"0412\" or \"hex:01ab02\", got {value!r}")
    if value.startswith("hex:"):
        try:
            return bytes.fromhex(value[4:])
        except ValueError:
            raise ValueError(f"'firmware' {value!r}: the part after 'hex:' is not hexadecimal") from None
    try:
        return value.encode("ascii")
    except UnicodeEncodeError:
        raise ValueError(f"'firmware' must be ASCII, got {value!r}") from None


def _obis(value: Any) -> dict[int, bytes]:
    if not isinstance(value, Mapping):
        raise ValueError(f"'obis' must map OBIS codes to hexadecimal payloads, got {type(value).__name__}")
    out = {}
    for code, payload in value.items():
        try:
            key = obis_object_id(code.strip() if isinstance(code, str) else code)
        except ValueError as e:
            raise ValueError(f"obis: {e}") from None
        if not isinstance(payload, str):
            raise ValueError(f"obis {code}: payload must be hexadecimal text, got {payload!r}")
        try:
            out[key] = bytes.fromhex(payload)
        except ValueError:
            raise ValueError(f"obis {code}: payload {payload!r} is not hexadecimal") from None
    return out


def _instants(value: Any) -> set[int]:
    """Epoch seconds or ISO 8601 texts with a time zone."""
    if not isinstance(value, list):
        raise ValueError(f"'missing_intervals' must be a list, got {type(value).__name__}")
    out = set()
    for item in value:
        if isinstance(item, bool):
            raise ValueError(f"missing_intervals: not an instant: {item!r}")
        if isinstance(item, (int, float)):
            out.add(int(item))
        elif isinstance(item, str):
            try:
                parsed = _dt.datetime.fromisoformat(item)
            except ValueError:
                raise ValueError(f"missing_intervals: {item!r} is not an ISO 8601 date-time") from None
            if parsed.tzinfo is None:
                raise ValueError(f"missing_intervals: {item!r} needs a time zone, e.g. {item}Z")
            out.add(int(parsed.timestamp()))
        else:
            raise ValueError(f"missing_intervals: not an instant: {item!r}")
    return out
