"""The compiled client over gRPC against the simulator: identity, clock, readings, register reads.

Readings are compared with what the transport client reads directly from the same meter at the
same (frozen) simulator time, so the test checks the core's conversions, not the simulator's data.
"""

from __future__ import annotations

import datetime as dt
import logging

import pytest

from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from norvo_halvex.mediator.simulator import Fault
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum

UTC = dt.timezone.utc
FROZEN = dt.datetime(2025, 6, 4, 13, 47, 12, tzinfo=UTC)

# serial -> (hardware string, firmware version, twin element)
SINGLE_PHASE = {
    "HX1000001": ("P0.se", "4.12", False),
    "HX1000002": ("P0.te", "4.12", True),
    "HX1000003": ("P0.se1", "5.07", False),  # NUL-padded hardware text
    "HX1000004": ("P0.te2", "4.12", True),
}
# serial -> (hardware string, firmware version, meter type, divisor of the totals)
THREE_PHASE = {
    "HX3000001": ("P1.ax", "4.12", QuarnMessage.ThreePhaseMeterType.ax_whole_current, 1000),
    "HX3000002": ("P1.cx", "4.12", QuarnMessage.ThreePhaseMeterType.cx_ct_operated, 10000),
    "HX3000003": ("P1.ax", "11.02", QuarnMessage.ThreePhaseMeterType.ax_whole_current, 1000),
    "HX3000004": ("P1.cx", "11.02", QuarnMessage.ThreePhaseMeterType.cx_ct_operated, 10000),
}
ALL = {**{s: v[:2] for s, v in SINGLE_PHASE.items()}, **{s: v[:2] for s, v in THREE_PHASE.items()}}
TOTALS = [("active_import", "three_phase_total_active_import"), ("active_export", "three_phase_total_active_export"),
          ("reactive_import", "three_phase_total_reactive_import"),
          ("reactive_export", "three_phase_total_reactive_export"),
          ("apparent_import", "three_phase_total_apparent_import"),
          ("apparent_export", "three_phase_total_apparent_export")]
REGISTER_KEYS = ["import_active", "export_active", "import_reactive", "export_reactive"]


@pytest.fixture
def frozen(fleet):
    fleet.freeze_time(FROZEN)
    return fleet


def registers(mediator_client, serial, object_id):
    rec = mediator_client.read_element(serial, object_id)
    return {k: getattr(rec, k) / 1000 for k in REGISTER_KEYS}


def test_fleet_is_the_one_described_here(fleet):
    assert sorted(fleet.meters) == sorted(ALL)


@pytest.mark.parametrize("serial", ALL)
def test_identity(api, serial):
    hardware, firmware = ALL[serial]
    assert api.serial_read(serial) == serial
    assert api.hardware(serial) == hardware
    assert api._hardware_cache == {serial: hardware}
    assert api.firmware_version(serial) == firmware


@pytest.mark.parametrize("serial", THREE_PHASE)
def test_three_phase_configuration(api, serial):
    rec = api.three_phase_hardware_configuration(serial)
    assert rec.meter_type == THREE_PHASE[serial][2]


@pytest.mark.parametrize("serial", ALL)
def test_clock_read_then_write(api, fleet, serial):
    fleet.meters[serial].clock_offset = -7200.0
    behind = dt.datetime.now(UTC) - api.clock_time_read(serial)
    assert dt.timedelta(seconds=7190) < behind < dt.timedelta(seconds=7210)

    assert api.clock_time_write(serial) is None
    read_back = api.clock_time_read(serial)
    assert read_back.tzinfo is UTC
    assert abs(read_back - dt.datetime.now(UTC)) < dt.timedelta(seconds=5)


@pytest.mark.parametrize("serial", ALL)
def test_csq(api, frozen, mediator_client, serial):
    result = api.csq(serial)
    assert type(result) is int and result == mediator_client.read_element(serial, ObjectIdEnum.csq_net_op).csq


@pytest.mark.parametrize("serial", SINGLE_PHASE)
def test_voltage_and_powers(api, frozen, mediator_client, serial):
    voltage = api.instantaneous_voltage(serial)
    assert type(voltage) is float
    assert voltage == mediator_client.read_element(serial, ObjectIdEnum.instantaneous_voltage).voltage
    objects = [("instantaneous_active_power", ObjectIdEnum.instantaneous_active_power),
               ("instantaneous_active_power_element_a", ObjectIdEnum.element_a_instantaneous_active_power_import)]
    if SINGLE_PHASE[serial][2]:
        objects.append(("instantaneous_active_power_element_b", ObjectIdEnum.element_b_instantaneous_active_power_import))
    for method, object_id in objects:
        kw = getattr(api, method)(serial)
        assert type(kw) is float and kw == mediator_client.read_element(serial, object_id).power / 1000, method


def test_element_b_of_a_single_element_meter_is_not_found(api):
    with pytest.raises(MediatorClientException) as info:
        api.instantaneous_active_power_element_b("HX1000001")
    assert info.value.code == "NOT_FOUND"


@pytest.mark.parametrize("serial", SINGLE_PHASE)
def test_read_single_phase(api, frozen, mediator_client, serial):
    element_a = registers(mediator_client, serial, ObjectIdEnum.read_element_a)
    element_b = registers(mediator_client, serial, ObjectIdEnum.read_element_b) if SINGLE_PHASE[serial][2] else None
    result = api.read(serial)
    assert result == (element_a, element_b)
    assert list(result[0]) == REGISTER_KEYS


@pytest.mark.parametrize("serial", THREE_PHASE)
def test_read_three_phase(api, frozen, mediator_client, serial):
    divisor = THREE_PHASE[serial][3]
    expected = {key: mediator_client.read_element(serial, getattr(ObjectIdEnum, name)).value / divisor
                for key, name in TOTALS}
    result = api.read(serial)
    assert result == expected and list(result) == [k for k, _ in TOTALS]


def test_failures_reach_the_caller_and_are_not_cached(api, fleet):
    fleet.set_fault("HX1000002", Fault("connection_failure", details="no answer", object_ids=["hardware_version"]))
    with pytest.raises(MediatorClientException) as info:
        api.read("HX1000002")
    assert info.value.code == "HALVEX_CONNECTION_FAILURE" and "no answer" in info.value.message
    assert api._hardware_cache == {}
    fleet.clear_fault("HX1000002")
    assert api.hardware("HX1000002") == "P0.te"

    with pytest.raises(MediatorClientException) as info:
        api.csq("HX9999999")
    assert info.value.code == "NOT_FOUND"


def test_element_b_failure_fails_the_read(api, fleet):
    fleet.set_fault("HX1000004", Fault("end_of_stream", object_ids=["read_element_b"]))
    with pytest.raises(MediatorClientException) as info:
        api.read("HX1000004")
    assert info.value.code == "HALVEX_EOF_ERROR"
    assert api._hardware_cache == {"HX1000004": "P0.te2"}


def test_log_lines_are_rendered(api, simulator, caplog):
    with caplog.at_level(logging.INFO):
        api.hardware("HX1000003")
        api.csq("HX1000003")
    lines = [r.getMessage() for r in caplog.records if r.name == "norvo_halvex.mediator.api_core"]
    assert lines == [f"hardware mediator_address={simulator.address} hardware=P0.se1 serial=HX1000003",
                     f"received csq mediator_address={simulator.address} csq=17 serial=HX1000003"]
