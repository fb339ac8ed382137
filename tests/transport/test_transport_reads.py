"""Element reads through the transport client against the simulator over loopback."""

import datetime as dt

import grpc
import pytest

from norvo_halvex.mediator.simulator.model import MeterKind
from norvo_halvex.mediator.simulator.objects import objects_of
from norvo_halvex.util.meters import single_phase_hardware_str_to_registry_str
from quarn_frame_protocol.elements import record_type_for
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum as O
from quarn_frame_protocol.util import quarn_obis_triplet_to_decimal

FROZEN = dt.datetime(2025, 6, 14, 10, 17, 42, tzinfo=dt.UTC)
TOTALS = {
    O.three_phase_total_active_import: "active_import",
    O.three_phase_total_active_export: "active_export",
    O.three_phase_total_reactive_import: "reactive_import",
    O.three_phase_total_reactive_export: "reactive_export",
    O.three_phase_total_apparent_import: "apparent_import",
    O.three_phase_total_apparent_export: "apparent_export",
}
DEFAULT_KINDS = {
    "HX1000001": MeterKind.SINGLE_ELEMENT,
    "HX1000002": MeterKind.TWIN_ELEMENT,
    "HX3000001": MeterKind.THREE_PHASE_AX,
    "HX3000002": MeterKind.THREE_PHASE_CX,
}


@pytest.fixture
def fleet(fleet):
    fleet.freeze_time(FROZEN)
    return fleet


@pytest.mark.parametrize("serial", sorted(DEFAULT_KINDS))
def test_every_object_of_every_kind_decodes_to_its_record(serial, fleet, mediator_client):
    meter = fleet.meters[serial]
    assert meter.kind is DEFAULT_KINDS[serial]
    now = FROZEN.timestamp()
    for object_id in sorted(objects_of(meter.kind)):
        rec = mediator_client.read_element(serial, object_id)
        assert type(rec) is record_type_for(object_id), object_id.name
        match object_id:
            case O.serial | O.three_phase_serial:
                assert rec.serial == serial
            case O.hardware_version if meter.kind.is_three_phase:
                assert rec.hardware == ""
            case O.hardware_version:
                assert single_phase_hardware_str_to_registry_str[rec.hardware.replace("\0", "").strip()]
            case O.time:
                assert (2000 + rec.year, rec.month, rec.date, rec.hour, rec.minute, rec.second) == (
                    2025, 6, 14, 10, 17, 42,
                )
            case O.three_phase_hardware_configuration:
                expected = {
                    MeterKind.THREE_PHASE_AX: QuarnMessage.ThreePhaseMeterType.ax_whole_current,
                    MeterKind.THREE_PHASE_CX: QuarnMessage.ThreePhaseMeterType.cx_ct_operated,
                }[meter.kind]
                assert rec.meter_type is expected
            case _ if object_id in TOTALS:
                assert rec.value == meter.total(TOTALS[object_id], now)
            case O.read_element_a | O.read_element_b:
                element = "A" if object_id is O.read_element_a else "B"
                assert rec.as_dict() == meter.element_registers(element, now)
            case O.three_phase_instantaneous_voltage_l1 | O.three_phase_instantaneous_voltage_l2 | O.three_phase_instantaneous_voltage_l3:
                assert 2000 <= rec.voltage <= 2600  # 0.1 V
            case O.instantaneous_voltage:
                assert 200.0 <= rec.voltage <= 260.0


def test_plain_int_object_id_reads_like_the_enum_member(mediator_client):
    by_member = mediator_client.read_element("HX1000002", O.read_element_b)
    by_int = mediator_client.read_element("HX1000002", int(O.read_element_b))
    assert by_int.as_dict() == by_member.as_dict()


def test_cx_totals_are_in_tenths_of_wh():
    # Same load on an AX and a CX meter: the CX meter counts ten times as many units.
    from norvo_halvex.mediator.simulator import Fleet, SimulatedMeter

    twins = Fleet(
        [
            SimulatedMeter("AX", MeterKind.THREE_PHASE_AX, load_watts=9000),
            SimulatedMeter("CX", MeterKind.THREE_PHASE_CX, load_watts=9000),
        ]
    )
    start = 1_750_000_000 - 1_750_000_000 % 1800
    ax, cx = twins.meters["AX"], twins.meters["CX"]
    delta_ax = ax.total("active_import", start + 86400) - ax.total("active_import", start)
    delta_cx = cx.total("active_import", start + 86400) - cx.total("active_import", start)
    assert delta_ax > 0
    assert 9 * delta_ax < delta_cx < 11 * delta_ax


@pytest.mark.parametrize(
    ("serial", "object_id", "code", "fragments"),
    [
        ("HX9999999", O.serial, grpc.StatusCode.NOT_FOUND, ["HX9999999", "unknown meter serial"]),
        ("HX1000001", O.read_element_b, grpc.StatusCode.NOT_FOUND, ["HX1000001", "read_element_b", "no element B"]),
        ("HX1000001", O.three_phase_total_active_import, grpc.StatusCode.NOT_FOUND, ["HX1000001", "three_phase_total_active_import"]),
        ("HX3000001", O.read_element_a, grpc.StatusCode.NOT_FOUND, ["HX3000001", "read_element_a"]),
        ("HX3000001", 0x7777, grpc.StatusCode.INVALID_ARGUMENT, ["HX3000001", "0x7777"]),
        ("HX1000001", quarn_obis_triplet_to_decimal("1.99.7"), grpc.StatusCode.NOT_FOUND, ["HX1000001", "1.99.7"]),
    ],
)
def test_unknown_meters_and_objects_are_clear_grpc_errors(mediator_client, serial, object_id, code, fragments):
    with pytest.raises(grpc.RpcError) as info:
        mediator_client.read_element(serial, object_id)
    assert info.value.code() is code
    for fragment in fragments:
        assert fragment in info.value.details()


def test_obis_defaults_are_raw_payloads(mediator_client):
    rec = mediator_client.read_element("HX3000002", quarn_obis_triplet_to_decimal("96.1.0"))
    assert type(rec) is QuarnMessage.RawPayloadRec
    assert rec.payload == b"HX3000002"


def test_registers_advance_with_time(fleet, mediator_client):
    before = mediator_client.read_element("HX3000002", O.three_phase_total_active_import).value
    fleet.freeze_time(FROZEN + dt.timedelta(hours=24))
    after = mediator_client.read_element("HX3000002", O.three_phase_total_active_import).value
    assert after > before
