"""The expected interface of HalvexMediatorAPI, written out independently of the C++ table."""

from __future__ import annotations

import logging

SERIAL = ("serial", "str")

# (name, ((parameter, annotation), ...) after self, return annotation, defaults or None)
METHODS: list[tuple[str, tuple[tuple[str, str], ...], str, tuple | None]] = [
    ("__init__", (("mediator_address", "str | None"), ("logging_level", "str | int")), "None",
     ("0.0.0.0:50051", logging.INFO)),
    ("serial_read", (SERIAL,), "str", None),
    ("hardware", (SERIAL,), "str", None),
    ("firmware_version", (SERIAL,), "str", None),
    ("clock_time_read", (SERIAL,), "datetime.datetime", None),
    ("clock_time_write", (SERIAL,), "None", None),
    ("csq", (SERIAL,), "int", None),
    ("instantaneous_voltage", (SERIAL,), "float", None),
    ("instantaneous_active_power", (SERIAL,), "float", None),
    ("instantaneous_active_power_element_a", (SERIAL,), "float", None),
    ("instantaneous_active_power_element_b", (SERIAL,), "float", None),
    ("read", (SERIAL,), "Tuple[Dict[str, float], Dict[str, float] | None] | Dict[str, float | None]", None),
    ("read_element_a", (SERIAL,), "Dict[str, float]", None),
    ("read_element_b", (SERIAL,), "Dict[str, float]", None),
    ("daylight_savings_correction_enabled", (SERIAL,), "bool", None),
    ("daylight_savings_correction_enabled_write", (SERIAL, ("enabled", "bool")), "None", None),
    ("backlight", (SERIAL,), "QuarnMessage.BacklightSettingType", None),
    ("backlight_write", (SERIAL, ("setting", "QuarnMessage.BacklightSettingType")), "None", None),
    ("load_switch", (SERIAL,), "QuarnMessage.LoadSwitchSettingType", None),
    ("load_switch_write", (SERIAL, ("setting", "QuarnMessage.LoadSwitchSettingType")), "None", None),
    ("three_phase_serial", (SERIAL,), "str", None),
    ("three_phase_read", (SERIAL, ("hardware", "str | None")), "Dict[str, float | None]", None),
    ("three_phase_instantaneous_voltage", (SERIAL,), "tuple[float, float | None, float | None]", None),
    ("three_phase_hardware_configuration", (SERIAL,), "QuarnMessage.ThreePhaseHardwareConfigurationRec", None),
    ("profile_log_1", (SERIAL, ("timestamp", "datetime.datetime")), "QuarnProfileLog1Response", None),
    ("profile_log_2", (SERIAL, ("timestamp", "datetime.datetime"), ("is_twin_element", "bool")),
     "QuarnProfileLog2Response", None),
    ("_profile_log", (SERIAL, ("timestamp", "datetime.datetime"), ("format", "QuarnData.RecordFormat")), "bytes",
     None),
    ("three_phase_intervals",
     (SERIAL, ("day", "datetime.datetime | None"), ("start_time", "datetime.datetime | None"),
      ("end_time", "datetime.datetime | None"), ("csv", "str | None"), ("include_statuses", "bool")),
     "ThreePhaseIntervals", (None, False)),
    ("event_log", (SERIAL, ("log_idx", "int")), "QuarnEventLogResponse", None),
    ("obis_read", (SERIAL, ("obis", "str")), "bytes", None),
    ("obis_write", (SERIAL, ("obis", "str"), ("payload_hex", "str")), "None", None),
    ("_read_element", (SERIAL, ("object_id", "ObjectIdEnum | int")), "Any", None),
    ("_write_element", (SERIAL, ("object_id", "ObjectIdEnum | int"), ("payload", "bytes")), "None", None),
    ("_send_message", (SERIAL, ("message", "bytes")), "bytes", None),
    ("_three_phase_intervals_read",
     (SERIAL, ("start_time", "datetime.datetime"), ("end_time", "datetime.datetime"),
      ("profile", "QuarnProfileThreePhaseIntervalsRequest.ProfileNumber")),
     "QuarnProfileThreePhaseIntervalsResponseBlock | None", None),
    ("_safe_read_element", (SERIAL, ("element_id", "ObjectIdEnum | int")), "Any", None),
    ("_scale_value", (("rec", "QuarnMessage.U4leValueRec | None"), ("hardware", "str")), "float | None", None),
    ("_scale_10k_value", (("rec", "QuarnMessage.U4leValueRec | None"),), "float | None", None),
    ("_scale_kilo_value", (("rec", "QuarnMessage.U4leValueRec | None"),), "float | None", None),
]

METHOD_NAMES = [m[0] for m in METHODS]

# Which parameters the binding tests, and how: exact type (None allowed?) or conversion.
CHECKED = {"str": ("str", False), "str | None": ("str", True), "bytes": ("bytes", False)}
CONVERTED = {("event_log", "log_idx"): "int", ("profile_log_2", "is_twin_element"): "bool",
             ("three_phase_intervals", "include_statuses"): "bool"}


def checked_params(name: str, params) -> list[tuple[int, str, str, bool]]:
    """(index after self, parameter, expected type name, None allowed) of the type-tested ones."""
    out = []
    for i, (pname, annotation) in enumerate(params):
        if annotation in CHECKED and (name, pname) not in CONVERTED:
            out.append((i, pname, *CHECKED[annotation]))
    return out


def valid_value(annotation: str):
    """An argument every entry check accepts."""
    return {"str": "HX1", "bytes": b"\x01", "str | None": None, "int": 3}.get(annotation, 0)


def valid_args(params) -> list:
    return [valid_value(a) for _, a in params]
