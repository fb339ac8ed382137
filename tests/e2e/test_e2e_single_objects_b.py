"""Settings, three-phase serial/totals/voltages and OBIS objects, end to end: the real client
over gRPC against the simulator's default fleet."""

from __future__ import annotations

import datetime as dt
import logging

import pytest

from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from norvo_halvex.mediator.simulator import Fault
from quarn_frame_protocol.quarn_message import QuarnMessage

SINGLE = ["HX1000001", "HX1000002"]
THREE = {"HX3000001": ("P1.ax", 1000), "HX3000002": ("P1.cx", 10000)}
ALL = SINGLE + list(THREE)
CORE_LOGGER = "norvo_halvex.mediator.api_core"
TOTALS = ["active_import", "active_export", "reactive_import", "reactive_export", "apparent_import", "apparent_export"]
FROZEN = dt.datetime(2025, 6, 1, 12, 7, tzinfo=dt.UTC)


@pytest.fixture
def frozen(fleet):
    fleet.freeze_time(FROZEN)
    return FROZEN.timestamp()


def entries(caplog, level):
    return [r.event_dict for r in caplog.records if r.name == CORE_LOGGER and r.levelno == level]


# ---- settings --------------------------------------------------------------------------------


@pytest.mark.parametrize("serial", ALL)
def test_daylight_flag_round_trip(api, fleet, serial):
    for enabled in (False, True, False):
        api.daylight_savings_correction_enabled_write(serial, enabled)
        assert fleet.meters[serial].daylight_savings_correction == int(enabled)
        assert api.daylight_savings_correction_enabled(serial) is enabled


@pytest.mark.parametrize("serial", ALL)
@pytest.mark.parametrize(
    "read, kind",
    [("backlight", QuarnMessage.BacklightSettingType), ("load_switch", QuarnMessage.LoadSwitchSettingType)],
)
def test_enum_setting_round_trip(api, fleet, serial, read, kind):
    for member in list(kind)[::-1]:
        getattr(api, read + "_write")(serial, member)
        assert getattr(fleet.meters[serial], read) == member.value
        got = getattr(api, read)(serial)
        assert got == member and type(got) is kind


def test_setting_read_is_logged(api, simulator, caplog):
    caplog.set_level(logging.INFO)
    api.backlight("HX1000002")
    assert entries(caplog, logging.INFO)[-1] == {
        "event": "received backlight setting",
        "mediator_address": simulator.address,
        "backlight_setting": QuarnMessage.BacklightSettingType.auto,
        "serial": "HX1000002",
    }


def test_refused_setting_value_sends_nothing(api, fleet):
    fleet.set_fault("HX1000001", Fault("connection_failure", operations=["write"]))
    with pytest.raises(ValueError):
        api.backlight_write("HX1000001", type("S", (), {"value": 300})())
    assert fleet.fault_calls("HX1000001") == 0
    with pytest.raises(MediatorClientException) as info:  # the fault itself is live
        api.backlight_write("HX1000001", QuarnMessage.BacklightSettingType.on)
    assert info.value.code == "HALVEX_CONNECTION_FAILURE"
    assert fleet.meters["HX1000001"].backlight == 2


# ---- three-phase serial and totals -----------------------------------------------------------


@pytest.mark.parametrize("serial", THREE)
def test_three_phase_serial(api, serial):
    assert api.three_phase_serial(serial) == serial


@pytest.mark.parametrize("serial", THREE)
def test_three_phase_totals_are_scaled_by_meter_type(api, fleet, frozen, caplog, serial):
    caplog.set_level(logging.INFO)
    hardware, divisor = THREE[serial]
    meter = fleet.meters[serial]
    result = api.three_phase_read(serial, hardware)
    assert result == {k: meter.total(k, frozen) / divisor for k in TOTALS}
    assert list(result) == TOTALS
    assert result["active_import"] > 0
    [info] = entries(caplog, logging.INFO)
    assert info["event"] == "reads: " + str(result) and info["serial"] == serial


def test_three_phase_totals_with_hardware_lookup(api, fleet, frozen):
    result = api.three_phase_read("HX3000002", None)
    assert result["active_import"] == fleet.meters["HX3000002"].total("active_import", frozen) / 10000


def test_three_phase_totals_with_some_failing(api, fleet, frozen, caplog):
    caplog.set_level(logging.INFO)
    failing = ["three_phase_total_reactive_import", "three_phase_total_apparent_export"]
    fleet.set_fault("HX3000001", Fault("end_of_stream", object_ids=failing))
    result = api.three_phase_read("HX3000001", "P1.ax")
    meter = fleet.meters["HX3000001"]
    assert result == {
        k: None if k in ("reactive_import", "apparent_export") else meter.total(k, frozen) / 1000 for k in TOTALS
    }
    errors = entries(caplog, logging.ERROR)
    assert [e["event"].split(". Exception: ")[0] for e in errors] == [f"Failed to read element {n}" for n in failing]
    assert all("HALVEX_EOF_ERROR" in e["event"] and e["serial"] == "HX3000001" for e in errors)
    assert all("mediator_address" not in e for e in errors)


# ---- phase voltages --------------------------------------------------------------------------


def expected_voltages(meter, now):
    return tuple(meter.voltage_decivolts(phase, now) / 10.0 for phase in (1, 2, 3))


@pytest.mark.parametrize("serial", THREE)
def test_phase_voltages(api, fleet, frozen, caplog, serial):
    caplog.set_level(logging.INFO)
    result = api.three_phase_instantaneous_voltage(serial)
    assert result == expected_voltages(fleet.meters[serial], frozen)
    assert all(200 < v < 260 for v in result)
    assert entries(caplog, logging.INFO)[-1]["event"] == f"voltages [{result}]"
    assert entries(caplog, logging.WARNING) == []


@pytest.mark.parametrize("serial", THREE)
def test_phase_voltage_l2_end_of_stream(api, fleet, frozen, caplog, serial):
    caplog.set_level(logging.INFO)
    fleet.set_fault(serial, Fault("end_of_stream", object_ids=["three_phase_instantaneous_voltage_l2"]))
    v1, _, v3 = expected_voltages(fleet.meters[serial], frozen)
    assert api.three_phase_instantaneous_voltage(serial) == (v1, None, v3)
    [warning] = entries(caplog, logging.WARNING)
    assert warning["event"].startswith("3p v2 failed - setting to None (e=HALVEX_EOF_ERROR: ")
    assert warning["event"].endswith(")") and warning["serial"] == serial
    assert fleet.fault_calls(serial) == 1


@pytest.mark.parametrize(
    "fault, code",
    [(Fault("connection_failure"), "HALVEX_CONNECTION_FAILURE"), (Fault(status="DEADLINE_EXCEEDED"), "DEADLINE_EXCEEDED")],
    ids=["connection", "grpc"],
)
def test_phase_voltage_l3_other_failures_fail_the_call(api, fleet, fault, code):
    limited = Fault(fault.kind, status=fault.status, object_ids=["three_phase_instantaneous_voltage_l3"])
    fleet.set_fault("HX3000001", limited)
    with pytest.raises(MediatorClientException) as info:
        api.three_phase_instantaneous_voltage("HX3000001")
    assert info.value.code == code


# ---- OBIS ------------------------------------------------------------------------------------


@pytest.mark.parametrize("serial", ALL)
def test_obis_round_trip(api, fleet, caplog, serial):
    caplog.set_level(logging.INFO)
    assert api.obis_read(serial, "96.1.0") == serial.encode()
    api.obis_write(serial, "1.8.0", "0A ff 10")
    assert api.obis_read(serial, "1.8.0") == b"\x0a\xff\x10"
    info = entries(caplog, logging.INFO)[-1]
    assert (info["event"], info["obis"], info["result"], info["serial"]) == ("obis_read", "1.8.0", "0aff10", serial)
    api.obis_write(serial, "1.8.0", "")
    assert api.obis_read(serial, "1.8.0") == b""


def test_obis_bad_input_sends_nothing(api, fleet):
    fleet.set_fault("HX1000001", Fault("connection_failure", operations=["write"]))
    with pytest.raises(ValueError, match="non-hexadecimal"):
        api.obis_write("HX1000001", "1.8.0", "abc")
    with pytest.raises(ValueError, match="invalid OBIS code"):
        api.obis_write("HX1000001", "1.8", "zz")
    assert fleet.fault_calls("HX1000001") == 0
    with pytest.raises(MediatorClientException) as info:
        api.obis_read("HX1000001", "7.7.7")
    assert info.value.code == "NOT_FOUND"
