"""Writes through the transport client change the simulated meter's state."""

import datetime as dt

import grpc
import pytest

from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum as O
from quarn_frame_protocol.util import quarn_encode_datetime_to_time_rec, quarn_obis_triplet_to_decimal

Backlight = QuarnMessage.BacklightSettingType
LoadSwitch = QuarnMessage.LoadSwitchSettingType


@pytest.mark.parametrize(
    ("object_id", "value", "field", "expected"),
    [
        (O.backlight, Backlight.off, "setting", Backlight.off),
        (O.backlight, Backlight.on, "setting", Backlight.on),
        (O.load_switch, LoadSwitch.disconnected, "setting", LoadSwitch.disconnected),
        (O.load_switch, LoadSwitch.armed, "setting", LoadSwitch.armed),
        (O.daylight_savings_correction_flag, 0, "enabled_flag", 0),
    ],
)
@pytest.mark.parametrize("serial", ["HX1000002", "HX3000001"])
def test_setting_writes_are_read_back(mediator_client, serial, object_id, value, field, expected):
    assert mediator_client.write_element(serial, object_id, bytes([value])) is None
    assert getattr(mediator_client.read_element(serial, object_id), field) == expected
    # Other meters keep their own settings.
    assert getattr(mediator_client.read_element("HX1000001", object_id), field) != expected


def test_clock_write_sets_an_offset_that_keeps_running(fleet, mediator_client):
    real = dt.datetime(2025, 3, 30, 0, 59, 0, tzinfo=dt.UTC)
    fleet.freeze_time(real)
    target = dt.datetime(2031, 12, 31, 23, 59, 58, tzinfo=dt.UTC)
    mediator_client.write_element("HX1000001", O.time, quarn_encode_datetime_to_time_rec(target))
    fleet.freeze_time(real + dt.timedelta(seconds=3))
    rec = mediator_client.read_element("HX1000001", O.time)
    got = dt.datetime(2000 + rec.year, rec.month, rec.date, rec.hour, rec.minute, rec.second, tzinfo=dt.UTC)
    assert got == dt.datetime(2032, 1, 1, 0, 0, 1, tzinfo=dt.UTC)
    assert rec.day_of_week == got.weekday()
    # The neighbour's clock is untouched.
    other = mediator_client.read_element("HX1000002", O.time)
    assert (other.year, other.month, other.date, other.minute) == (25, 3, 30, 59)


def test_obis_write_replaces_and_creates(mediator_client):
    existing = quarn_obis_triplet_to_decimal("96.1.0")
    new = quarn_obis_triplet_to_decimal("0.0.96")
    mediator_client.write_element("HX1000001", existing, b"\x0a\xff\x10")
    mediator_client.write_element("HX1000001", new, b"")
    assert mediator_client.read_element("HX1000001", existing).payload == b"\x0a\xff\x10"
    assert mediator_client.read_element("HX1000001", new).payload == b""
    with pytest.raises(grpc.RpcError) as info:
        mediator_client.read_element("HX1000002", new)
    assert info.value.code() is grpc.StatusCode.NOT_FOUND


@pytest.mark.parametrize(
    ("serial", "object_id", "payload", "code", "fragment"),
    [
        ("HX1000001", O.backlight, b"\x07", grpc.StatusCode.INVALID_ARGUMENT, "backlight setting 7"),
        ("HX1000001", O.load_switch, b"\x01\x01", grpc.StatusCode.INVALID_ARGUMENT, "load_switch"),
        ("HX1000001", O.daylight_savings_correction_flag, b"\x02", grpc.StatusCode.INVALID_ARGUMENT, "0 or 1"),
        ("HX1000001", O.time, bytes([25, 2, 30, 0, 0, 0, 0]), grpc.StatusCode.INVALID_ARGUMENT, "not a valid date-time"),
        ("HX1000001", O.time, b"\x19\x02", grpc.StatusCode.INVALID_ARGUMENT, "time"),
        ("HX1000001", O.read_element_a, bytes(16), grpc.StatusCode.PERMISSION_DENIED, "read-only"),
        ("HX3000001", O.serial, b"HX0", grpc.StatusCode.PERMISSION_DENIED, "read-only"),
        ("HX1000001", O.read_element_b, bytes(16), grpc.StatusCode.NOT_FOUND, "no element B"),
        ("HX0000000", O.backlight, b"\x01", grpc.StatusCode.NOT_FOUND, "HX0000000"),
    ],
)
def test_refused_writes_change_nothing(mediator_client, fleet, serial, object_id, payload, code, fragment):
    meter = fleet.get(serial)
    before = None if meter is None else (meter.backlight, meter.load_switch, meter.daylight_savings_correction, meter.clock_offset)
    with pytest.raises(grpc.RpcError) as info:
        mediator_client.write_element(serial, object_id, payload)
    assert info.value.code() is code
    assert fragment in info.value.details()
    if meter is not None:
        assert (meter.backlight, meter.load_switch, meter.daylight_savings_correction, meter.clock_offset) == before
