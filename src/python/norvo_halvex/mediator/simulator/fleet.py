"""The fleet of simulated meters, its faults and its time source."""

from __future__ import annotations

import datetime as _dt
import json
import os
import threading
import time
from collections.abc import Callable, Iterable, Mapping
from typing import Any

from norvo_halvex.mediator.simulator.faults import Fault, FaultAction, FaultState, Operation
from norvo_halvex.mediator.simulator.model import MeterKind, SimulatedMeter, obis_id

__all__ = ["Fleet", "FleetError"]


class FleetError(ValueError):
    """A fleet description that cannot be used; the text says where and why."""


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
    "fault",
}
_TOP_FIELDS = {"meters", "generate"}


class Fleet:
    """Simulated meters by serial, with per-serial faults.

    ``time_source`` returns real UTC as epoch seconds (``time.time`` by default); meter
    clocks, registers and instantaneous values follow it. ``freeze_time`` pins it,
    which makes every answer of the simulator exactly reproducible.
    """

    def __init__(
        self,
        meters: Iterable[SimulatedMeter] = (),
        *,
        time_source: Callable[[], float] = time.time,
    ) -> None:
        self._meters: dict[str, SimulatedMeter] = {}
        self._faults: dict[str, FaultState] = {}
        self._lock = threading.Lock()
        self.time_source = time_source
        for meter in meters:
            self.add(meter)

    # -- construction -------------------------------------------------------------------

    @classmethod
    def default(cls) -> Fleet:
        """Eight meters, two of each kind. The first four serials are the documented ones."""
        return cls(
            [
                SimulatedMeter("HX1000001", MeterKind.SINGLE_ELEMENT, hardware="HXS-100"),
                SimulatedMeter("HX1000002", MeterKind.TWIN_ELEMENT, hardware="HXT-200", solar_watts=3000),
                SimulatedMeter("HX3000001", MeterKind.THREE_PHASE_AX, solar_watts=5000),
                SimulatedMeter("HX3000002", MeterKind.THREE_PHASE_CX),
                # NUL-padded hardware text, as some firmware reports it.
                SimulatedMeter("HX1000003", MeterKind.SINGLE_ELEMENT, hardware="HXS-110\x00\x00\x00", firmware=b"0507"),
                SimulatedMeter("HX1000004", MeterKind.TWIN_ELEMENT, hardware="HXT-220", load_b_watts=2500),
                SimulatedMeter("HX3000003", MeterKind.THREE_PHASE_AX, load_watts=11000, firmware=b"1102"),
                SimulatedMeter("HX3000004", MeterKind.THREE_PHASE_CX, load_watts=20000, firmware=b"1102"),
            ]
        )

    @classmethod
    def generate(
        cls,
        count: int,
        *,
        prefix: str = "HXG",
        kinds: Iterable[MeterKind | str] = tuple(MeterKind),
        fault: Fault | None = None,
    ) -> Fleet:
        """``count`` synthetic meters ``<prefix>000000``, ``<prefix>000001``, ... cycling
        through ``kinds``; ``fault`` (for example ``Fault(latency=0.05)``) is set on each."""
        fleet = cls()
        fleet.add_generated(count, prefix=prefix, kinds=kinds, fault=fault)
        return fleet

    def add_generated(
        self,
        count: int,
        *,
        prefix: str = "HXG",
        kinds: Iterable[MeterKind | str] = tuple(MeterKind),
        fault: Fault | None = None,
    ) -> list[str]:
        if isinstance(count, bool) or not isinstance(count, int) or count < 0:
            raise FleetError(f"meter count must be a whole number >= 0, got {count!r}")
        kinds = [MeterKind(k) for k in kinds]
        if not kinds:
            raise FleetError("kinds must name at least one meter kind")
        serials = []
        for i in range(count):
            kind = kinds[i % len(kinds)]
            meter = SimulatedMeter(f"{prefix}{i:06d}", kind, load_watts=None)
            self.add(meter)
            if fault is not None:
                self.set_fault(meter.serial, fault)
            serials.append(meter.serial)
        return serials

    @classmethod
    def from_json(cls, path: str | os.PathLike[str]) -> Fleet:
        """Loads a fleet file (format in docs/simulator.md). Raises FleetError naming the
        file and the offending entry."""
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
        except OSError as e:
            raise FleetError(f"cannot read fleet file {os.fspath(path)}: {e.strerror or e}") from e
        except json.JSONDecodeError as e:
            raise FleetError(f"fleet file {os.fspath(path)} is not valid JSON: {e}") from e
        try:
            return cls.from_dict(data)
        except FleetError as e:
            raise FleetError(f"fleet file {os.fspath(path)}: {e}") from e

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Fleet:
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
        fleet = cls()
        for i, entry in enumerate(meters):
            where = f"meters[{i}]"
            if isinstance(entry, Mapping) and isinstance(entry.get("serial"), str):
                where += f" ({entry['serial']})"
            try:
                meter, fault = _meter_from_dict(entry)
                fleet.add(meter)
            except (ValueError, TypeError, KeyError) as e:
                raise FleetError(f"{where}: {e}") from None
            if fault is not None:
                fleet.set_fault(meter.serial, fault)
        if "generate" in data:
            try:
                _generate_from_dict(fleet, data["generate"])
            except (ValueError, TypeError) as e:
                raise FleetError(f"generate: {e}") from None
        return fleet

    # -- meters -------------------------------------------------------------------------

    @property
    def meters(self) -> Mapping[str, SimulatedMeter]:
        """Serial -> meter (a read-only view)."""
        return _ReadOnly(self._meters)

    def add(self, meter: SimulatedMeter) -> None:
        with self._lock:
            if meter.serial in self._meters:
                raise FleetError(f"duplicate meter serial {meter.serial!r}")
            # Copy-on-write: lookups from server threads never see a half-updated dict.
            self._meters = {**self._meters, meter.serial: meter}

    def __getitem__(self, serial: str) -> SimulatedMeter:
        return self._meters[serial]

    def get(self, serial: str) -> SimulatedMeter | None:
        return self._meters.get(serial)

    def __len__(self) -> int:
        return len(self._meters)

    def __iter__(self):
        return iter(self._meters.values())

    # -- time ---------------------------------------------------------------------------

    def now(self) -> float:
        return self.time_source()

    def freeze_time(self, at: _dt.datetime | float) -> None:
        """Pins real UTC for the whole fleet (a datetime with time zone, or epoch seconds)."""
        if isinstance(at, _dt.datetime):
            if at.tzinfo is None:
                raise ValueError("freeze_time needs an aware datetime (tzinfo=datetime.UTC)")
            at = at.timestamp()
        value = float(at)
        self.time_source = lambda: value

    # -- faults -------------------------------------------------------------------------

    def set_fault(self, serial: str, fault: Fault) -> None:
        """Installs ``fault`` on meter ``serial`` (replacing any earlier one, counters reset)."""
        if not isinstance(fault, Fault):
            raise TypeError(f"fault must be a Fault, got {type(fault).__name__}")
        with self._lock:
            if serial not in self._meters:
                raise KeyError(f"no meter {serial!r} in the fleet")
            self._faults = {**self._faults, serial: FaultState(fault)}

    def clear_fault(self, serial: str) -> None:
        with self._lock:
            if serial in self._faults:
                faults = dict(self._faults)
                del faults[serial]
                self._faults = faults

    def clear_faults(self) -> None:
        with self._lock:
            self._faults = {}

    def fault(self, serial: str) -> Fault | None:
        state = self._faults.get(serial)
        return state.fault if state else None

    def fault_calls(self, serial: str) -> int:
        """How many calls the meter's current fault has matched so far."""
        state = self._faults.get(serial)
        return state.calls if state else 0

    def decide(self, serial: str, operation: Operation, object_id: int | None) -> FaultAction | None:
        state = self._faults.get(serial)
        if state is None:
            return None
        return state.decide(operation, object_id)


class _ReadOnly(Mapping):
    __slots__ = ("_d",)

    def __init__(self, d):
        self._d = d

    def __getitem__(self, key):
        return self._d[key]

    def __iter__(self):
        return iter(self._d)

    def __len__(self):
        return len(self._d)

    def __repr__(self):
        return f"{{{', '.join(f'{k!r}: <{v.kind.value}>' for k, v in self._d.items())}}}"


# -- JSON entries ----------------------------------------------------------------------------


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
    if "missing_future_intervals" in entry:
        value = entry["missing_future_intervals"]
        if not isinstance(value, bool):
            raise ValueError(f"'missing_future_intervals' must be true or false, got {value!r}")
        kwargs["missing_future_intervals"] = value
    meter = SimulatedMeter(serial, kind, **kwargs)
    fault = None
    if entry.get("fault") is not None:
        try:
            fault = Fault.from_dict(entry["fault"])
        except (ValueError, TypeError) as e:
            raise ValueError(f"fault: {e}") from None
    return meter, fault


def _generate_from_dict(fleet: Fleet, generate: Any) -> None:
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
            key = obis_id(code)
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
