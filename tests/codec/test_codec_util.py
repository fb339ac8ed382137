"""Time, identifier, firmware and OBIS helpers."""

import datetime
import zoneinfo

import pytest

from quarn_frame_protocol.elements import decode_element
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum
from quarn_frame_protocol.util import (
    quarn_datetime_to_epoch_seconds,
    quarn_encode_datetime_to_time_rec,
    quarn_encode_object_id,
    quarn_format_firmware_version,
    quarn_obis_triplet_to_decimal,
)

UTC = datetime.timezone.utc


@pytest.mark.parametrize(
    "dt, seconds",
    [
        (datetime.datetime(1970, 1, 1, tzinfo=UTC), 0),
        (datetime.datetime(2024, 3, 31, tzinfo=UTC), 1711843200),
        (datetime.datetime(2024, 3, 31, 0, 0, 0, 999999, tzinfo=UTC), 1711843200),
        (datetime.datetime(2024, 3, 31, 2, tzinfo=datetime.timezone(datetime.timedelta(hours=2))), 1711843200),
        (datetime.datetime(2024, 7, 1, 2, tzinfo=zoneinfo.ZoneInfo("Europe/Berlin")), 1719792000),
        (datetime.datetime(2106, 2, 7, 6, 28, 15, tzinfo=UTC), 0xFFFFFFFF),
    ],
)
def test_epoch_seconds_are_exact(dt, seconds):
    result = quarn_datetime_to_epoch_seconds(dt)
    assert type(result) is int and result == seconds


@pytest.mark.parametrize(
    "dt",
    [datetime.datetime(1969, 12, 31, 23, 59, 59, tzinfo=UTC), datetime.datetime(2106, 2, 7, 6, 28, 16, tzinfo=UTC)],
)
def test_epoch_seconds_out_of_range(dt):
    with pytest.raises(ValueError, match="cannot be sent to a meter"):
        quarn_datetime_to_epoch_seconds(dt)


@pytest.mark.parametrize("helper", [quarn_datetime_to_epoch_seconds, quarn_encode_datetime_to_time_rec])
def test_naive_date_times_are_refused(helper):
    with pytest.raises(ValueError, match="a time zone is required"):
        helper(datetime.datetime(2024, 3, 31))
    with pytest.raises(TypeError, match="must be a datetime.datetime, got date"):
        helper(datetime.date(2024, 3, 31))


def test_time_payload_reads_back_as_the_same_utc_time():
    local = datetime.datetime(2024, 3, 31, 3, 2, 3, 500000, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))
    payload = quarn_encode_datetime_to_time_rec(local)
    assert type(payload) is bytes and payload == bytes.fromhex("18031f01020306")
    rec = decode_element(ObjectIdEnum.time, payload)
    back = datetime.datetime(2000 + rec.year, rec.month, rec.date, rec.hour, rec.minute, rec.second, tzinfo=UTC)
    assert back == local.replace(microsecond=0)


@pytest.mark.parametrize("year", [1999, 2256])
def test_time_payload_years_outside_the_meter_clock(year):
    with pytest.raises(ValueError, match="years 2000..2255"):
        quarn_encode_datetime_to_time_rec(datetime.datetime(year, 6, 1, tzinfo=UTC))


def test_encode_object_id():
    assert quarn_encode_object_id(QuarnMessage.ObjectIdType.event_log) == 0xF001
    ids = {quarn_encode_object_id(t) for t in QuarnMessage.ObjectIdType}
    assert len(ids) == len(QuarnMessage.ObjectIdType) and not ids & set(ObjectIdEnum)
    with pytest.raises(ValueError, match="not a QuarnMessage.ObjectIdType"):
        quarn_encode_object_id(77)
    with pytest.raises(TypeError, match="ObjectIdType member"):
        quarn_encode_object_id("event_log")


@pytest.mark.parametrize(
    "text, version",
    [("0213", "2.13"), ("1000", "10.00"), ("0000", "0.00"), ("R2.1", "R2.1"), ("\x01\x02\x03\x04", "01020304")],
)
def test_firmware_version_text(text, version):
    assert quarn_format_firmware_version(text) == version


@pytest.mark.parametrize("text, error", [("213", ValueError), ("02130", ValueError), (b"0213", TypeError)])
def test_firmware_version_needs_four_characters(text, error):
    with pytest.raises(error, match="4 characters"):
        quarn_format_firmware_version(text)


@pytest.mark.parametrize(
    "text, object_id",
    [("1.8.0", 0x01010800), ("0.0.0", 0x01000000), ("255.255.255", 0x01FFFFFF), ("001.008.000", 0x01010800),
     ("96.1.0", 0x01600100)],
)
def test_obis_triplets(text, object_id):
    assert quarn_obis_triplet_to_decimal(text) == object_id


@pytest.mark.parametrize(
    "text",
    ["", "1.8", "1.8.0.1", " 1.8.0", "1.8.0\n", "1..0", "1.8.256", "1.8.-1", "a.b.c", "1-0:1.8.0*255",
     "+1.8.0", "1.8.0000", "\u0661.8.0", "1,8,0"],
)
def test_obis_rejects_anything_else(text):
    with pytest.raises(ValueError, match=r'expected an OBIS triplet "C.D.E" of three decimal numbers 0..255'):
        quarn_obis_triplet_to_decimal(text)


@pytest.mark.parametrize("value", [None, 180, b"1.8.0"])
def test_obis_needs_text(value):
    with pytest.raises(TypeError, match="OBIS code must be text"):
        quarn_obis_triplet_to_decimal(value)
