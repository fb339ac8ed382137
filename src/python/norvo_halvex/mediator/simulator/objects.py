"""Element objects of a simulated meter: which kinds hold which objects, their records,
and what writes do.

Every meter holds the identity, clock, signal-quality and settings objects and its OBIS
store. Single-phase meters add the single-phase instantaneous values and element A
(twin-element meters also element B); three-phase meters add the three-phase serial,
hardware configuration, six totals and three phase voltages.

Answers for objects a meter does not hold: NOT_FOUND (this includes element B on a
single-element meter, and an OBIS object not in the store); identifiers that are neither
an object nor an OBIS object: INVALID_ARGUMENT; writes to objects that are not
writable: PERMISSION_DENIED; write payloads the meter would refuse: INVALID_ARGUMENT.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Callable
from enum import IntEnum

import grpc

from norvo_halvex.mediator.simulator.errors import SimulatorError, invalid, not_found
from norvo_halvex.mediator.simulator.model import MeterKind, SimulatedMeter
from norvo_halvex.meters import THREE_PHASE_TOTALS, is_obis_object_id, obis_object_id
from norvo_halvex.meters import describe_object_id as describe
from quarn_frame_protocol.elements import decode_element, encode_element
from quarn_frame_protocol.errors import QuarnCodecError
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum as O
from quarn_frame_protocol.util import quarn_encode_datetime_to_time_rec

__all__ = ["read", "write", "describe", "malformed", "objects_of", "parse_object_id", "setting_value"]

_M = QuarnMessage

_COMMON = frozenset(
    {
        O.serial,
        O.hardware_version,
        O.firmware_version,
        O.time,
        O.csq_net_op,
        O.daylight_savings_correction_flag,
        O.backlight,
        O.load_switch,
    }
)
_SINGLE_PHASE = _COMMON | {
    O.instantaneous_voltage,
    O.instantaneous_active_power,
    O.element_a_instantaneous_active_power_import,
    O.read_element_a,
}
_TWIN = _SINGLE_PHASE | {O.element_b_instantaneous_active_power_import, O.read_element_b}
_TOTALS = {object_id: quantity for quantity, object_id in THREE_PHASE_TOTALS.items()}
_PHASES = {
    O.three_phase_instantaneous_voltage_l1: 1,
    O.three_phase_instantaneous_voltage_l2: 2,
    O.three_phase_instantaneous_voltage_l3: 3,
}
_THREE_PHASE = _COMMON | {O.three_phase_serial, O.three_phase_hardware_configuration} | set(_TOTALS) | set(_PHASES)

_BY_KIND = {
    MeterKind.SINGLE_ELEMENT: frozenset(_SINGLE_PHASE),
    MeterKind.TWIN_ELEMENT: frozenset(_TWIN),
    MeterKind.THREE_PHASE_AX: frozenset(_THREE_PHASE),
    MeterKind.THREE_PHASE_CX: frozenset(_THREE_PHASE),
}

_SETTING_TYPES: dict[str, type[IntEnum]] = {
    "backlight": _M.BacklightSettingType,
    "load_switch": _M.LoadSwitchSettingType,
}


def objects_of(kind: MeterKind) -> frozenset[O]:
    """The element objects (not OBIS) a meter of ``kind`` answers."""
    return _BY_KIND[MeterKind(kind)]


def parse_object_id(text: str) -> int:
    """An object named in a fleet file: an ``ObjectIdEnum`` name, an OBIS code "C.D.E",
    or a number ("0x0121", "289")."""
    text = text.strip()
    if text in O.__members__:
        return int(O[text])
    if text.count(".") == 2:
        return obis_object_id(text)
    try:
        return int(text, 0)
    except ValueError:
        raise ValueError(
            f"unknown object {text!r}: use an object name such as 'read_element_a', an OBIS code "
            f"such as '1.8.0', or a number"
        ) from None


def setting_value(name: str, value) -> int:
    """A backlight or load-switch setting from a fleet file: member name or number."""
    enum_cls = _SETTING_TYPES[name]
    if isinstance(value, str) and value in enum_cls.__members__:
        return int(enum_cls[value])
    if isinstance(value, int) and not isinstance(value, bool) and value in {m.value for m in enum_cls}:
        return int(value)
    raise ValueError(f"'{name}' must be one of {', '.join(enum_cls.__members__)} (or their numbers), got {value!r}")


# -- reads -----------------------------------------------------------------------------------


def _check_held(meter: SimulatedMeter, object_id: int) -> O:
    try:
        member = O(object_id)
    except ValueError:
        raise invalid(
            f"meter {meter.serial}: object identifier 0x{object_id:x} is neither a known meter object "
            f"nor an OBIS object (0x01CCDDEE)"
        ) from None
    if member not in _BY_KIND[meter.kind]:
        if member in (O.read_element_b, O.element_b_instantaneous_active_power_import):
            hint = "it is a single-element meter and has no element B"
        elif meter.kind.is_three_phase:
            hint = "three-phase meters do not hold single-phase objects"
        else:
            hint = "single-phase meters do not hold three-phase objects"
        raise not_found(f"meter {meter.serial} ({meter.kind.value}) has no {describe(object_id)}: {hint}")
    return member


def read(meter: SimulatedMeter, object_id: int, now: float) -> bytes:
    """The encoded record of one object, as the meter answers it at real time ``now``."""
    if is_obis_object_id(object_id):
        payload = meter.obis_read(object_id)
        if payload is None:
            raise not_found(
                f"meter {meter.serial} has no {describe(object_id)}; write it first or read another OBIS code"
            )
        return encode_element(_M.RawPayloadRec(payload=payload))
    member = _check_held(meter, object_id)
    if member is O.time:
        try:
            return quarn_encode_datetime_to_time_rec(meter.clock_datetime(now))
        except (ValueError, OverflowError, OSError) as e:
            raise SimulatorError(
                grpc.StatusCode.FAILED_PRECONDITION,
                f"meter {meter.serial}: clock offset {meter.clock_offset:.0f} s puts the clock out of range: {e}",
            ) from None
    return encode_element(_READERS[member](meter, member, now))


def _element_registers(meter: SimulatedMeter, member: O, now: float):
    values = meter.element_registers("A" if member is O.read_element_a else "B", now)
    return _M.ElementRegistersRec(**values)


def _voltage(meter: SimulatedMeter, member: O, now: float):
    rec = _M.InstantaneousVoltageRec()
    rec.voltage_raw = meter.voltage_decivolts(1, now)
    return rec


_READERS: dict[O, Callable[[SimulatedMeter, O, float], object]] = {
    O.serial: lambda m, o, now: _M.SerialRec(serial=m.serial),
    O.three_phase_serial: lambda m, o, now: _M.SerialRec(serial=m.serial),
    O.hardware_version: lambda m, o, now: _M.HardwareVersionRec(hardware=m.hardware),
    O.firmware_version: lambda m, o, now: _M.FirmwareVersionRec(version_bytes=m.firmware),
    O.csq_net_op: lambda m, o, now: _M.CsqRec(csq=m.csq),
    O.instantaneous_voltage: _voltage,
    O.instantaneous_active_power: lambda m, o, now: _M.ActivePowerRec(power=m.power_watts(None, now)),
    O.element_a_instantaneous_active_power_import: lambda m, o, now: _M.ActivePowerRec(power=m.power_watts("A", now)),
    O.element_b_instantaneous_active_power_import: lambda m, o, now: _M.ActivePowerRec(power=m.power_watts("B", now)),
    O.read_element_a: _element_registers,
    O.read_element_b: _element_registers,
    O.daylight_savings_correction_flag: lambda m, o, now: _M.DaylightSavingsCorrectionFlagRec(
        enabled_flag=m.daylight_savings_correction
    ),
    O.backlight: lambda m, o, now: _M.BacklightSettingRec(setting=m.backlight),
    O.load_switch: lambda m, o, now: _M.LoadSwitchSettingRec(setting=m.load_switch),
    O.three_phase_hardware_configuration: lambda m, o, now: _M.ThreePhaseHardwareConfigurationRec(
        meter_type=m.kind.meter_type
    ),
    **{t: (lambda m, o, now: _M.U4leValueRec(value=m.total(_TOTALS[o], now))) for t in _TOTALS},
    **{p: (lambda m, o, now: _M.ThreePhaseVoltageRec(voltage=m.voltage_decivolts(_PHASES[o], now))) for p in _PHASES},
}


def malformed(object_id: int, payload: bytes) -> bytes:
    """A payload the client cannot decode: one byte too many, and not ASCII, so both the
    fixed-size records and the text records refuse it. (Firmware and OBIS payloads take
    any bytes; for them this is merely a wrong answer.)"""
    return payload + b"\xff"


# -- writes ----------------------------------------------------------------------------------

_WRITABLE = (O.time, O.daylight_savings_correction_flag, O.backlight, O.load_switch)


def write(meter: SimulatedMeter, object_id: int, payload: bytes, now: float) -> None:
    if is_obis_object_id(object_id):
        meter.obis_write(object_id, payload)
        return
    member = _check_held(meter, object_id)
    if member not in _WRITABLE:
        raise SimulatorError(
            grpc.StatusCode.PERMISSION_DENIED,
            f"meter {meter.serial}: {describe(object_id)} is read-only; writable objects are "
            f"{', '.join(o.name for o in _WRITABLE)} and OBIS objects",
        )
    try:
        record = decode_element(member, payload)
    except QuarnCodecError as e:
        raise invalid(f"meter {meter.serial}: payload for {describe(object_id)} refused ({payload.hex()}): {e}") from None

    if member is O.time:
        try:
            when = _dt.datetime(
                2000 + record.year, record.month, record.date, record.hour, record.minute, record.second,
                tzinfo=_dt.UTC,
            )
        except ValueError as e:
            raise invalid(f"meter {meter.serial}: time payload {payload.hex()} is not a valid date-time: {e}") from None
        meter.set_clock(when, now)
    elif member is O.daylight_savings_correction_flag:
        if record.enabled_flag not in (0, 1):
            raise invalid(
                f"meter {meter.serial}: daylight savings correction flag must be 0 or 1, got {record.enabled_flag}"
            )
        with meter.lock:
            meter.daylight_savings_correction = record.enabled_flag
    else:
        name = member.name
        enum_cls = _SETTING_TYPES[name]
        if not isinstance(record.setting, enum_cls):
            raise invalid(
                f"meter {meter.serial}: {name} setting {int(record.setting)} is not one of "
                f"{', '.join(f'{m.name}={m.value}' for m in enum_cls)}"
            )
        with meter.lock:
            setattr(meter, name, int(record.setting))
