"""clock_time_read and clock_time_write."""

from __future__ import annotations

import datetime as dt
from types import SimpleNamespace
from zoneinfo import ZoneInfo

import pytest

from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum
from quarn_frame_protocol.util import quarn_encode_datetime_to_time_rec

TIME = ("read_element", ObjectIdEnum.time)


def time_rec(year, month, date, hour=0, minute=0, second=0, **extra):
    return SimpleNamespace(year=year, month=month, date=date, hour=hour, minute=minute, second=second, **extra)


@pytest.mark.parametrize(
    "rec, expected",
    [(time_rec(24, 3, 31, 1, 2, 3, day_of_week=6), dt.datetime(2024, 3, 31, 1, 2, 3, tzinfo=dt.timezone.utc)),
     (time_rec(0, 1, 1), dt.datetime(2000, 1, 1, tzinfo=dt.timezone.utc)),
     (time_rec(255, 12, 31, 23, 59, 59), dt.datetime(2255, 12, 31, 23, 59, 59, tzinfo=dt.timezone.utc)),
     (time_rec(24, 2, 29), dt.datetime(2024, 2, 29, tzinfo=dt.timezone.utc))],
)
def test_clock_read(core, client, rec, expected):
    core.transport.replies[TIME] = rec
    result = client.clock_time_read("HX1")
    assert result == expected and result.tzinfo is dt.timezone.utc and result.microsecond == 0
    assert result == expected.astimezone(ZoneInfo("Pacific/Auckland"))
    assert core.transport.calls == [("read_element", ("HX1", ObjectIdEnum.time))]
    assert core.entries == [("info", "received time", (("time", expected.isoformat()), ("serial", "HX1")))]


def test_clock_read_log_text(core, client):
    core.transport.replies[TIME] = time_rec(24, 3, 31, 1, 2, 3)
    client.clock_time_read("HX1")
    assert core.entries[0].fields[0] == ("time", "2024-03-31T01:02:03+00:00")


@pytest.mark.parametrize(
    "rec, error",
    [(time_rec(24, 2, 30), ValueError), (time_rec(23, 2, 29), ValueError), (time_rec(24, 0, 1), ValueError),
     (time_rec(24, 13, 1), ValueError), (time_rec(24, 1, 1, hour=24), ValueError),
     (time_rec(24, 1, 1, second=60), ValueError), (time_rec(24, 1.0, 1), TypeError),
     (time_rec(None, 1, 1), TypeError), (SimpleNamespace(year=24, month=1, day=1, hour=0, minute=0, second=0),
                                         AttributeError)],
)
def test_clock_read_rejects_bad_records_without_logging(core, client, rec, error):
    core.transport.replies[TIME] = rec
    with pytest.raises(error):
        client.clock_time_read("HX1")
    assert core.entries == []


def test_clock_read_failure_propagates(core, client):
    core.transport.replies[TIME] = core.module.HalvexEOFError("eof")
    with pytest.raises(MediatorClientException):
        client.clock_time_read("HX1")
    assert core.entries == []


def test_clock_write_sends_current_utc_time(core, client):
    encoded = []

    def encode(when):
        encoded.append(when)
        return quarn_encode_datetime_to_time_rec(when)

    core.set("quarn_encode_datetime_to_time_rec", encode)
    before = dt.datetime.now(dt.timezone.utc)
    assert client.clock_time_write("HX1") is None
    after = dt.datetime.now(dt.timezone.utc)

    [when] = encoded
    assert when.tzinfo is dt.timezone.utc and before <= when <= after
    assert core.transport.calls == [("write_element", ("HX1", ObjectIdEnum.time, quarn_encode_datetime_to_time_rec(when)))]
    assert core.entries == []


def test_clock_write_takes_now_from_the_module_datetime(core, client):
    fixed = dt.datetime(2031, 5, 6, 7, 8, 9, 123456, tzinfo=dt.timezone.utc)
    asked = []

    class FakeDatetime:
        @staticmethod
        def now(tz=None):
            asked.append(tz)
            return fixed

    core.set("datetime", SimpleNamespace(datetime=FakeDatetime, timezone=dt.timezone))
    client.clock_time_write("HX1")
    assert asked == [dt.timezone.utc]
    assert core.transport.calls[0][1][2] == quarn_encode_datetime_to_time_rec(fixed)


@pytest.mark.parametrize("payload", ["1803", bytearray(b"\x18\x03"), None])
def test_clock_write_payload_must_be_bytes(core, client, payload):
    core.set("quarn_encode_datetime_to_time_rec", lambda when: payload)
    with pytest.raises(TypeError, match="Argument 'payload' has incorrect type"):
        client.clock_time_write("HX1")
    assert core.transport.calls == []


def test_clock_write_failure_propagates(core, client):
    core.transport.replies[("write_element", ObjectIdEnum.time)] = core.module.HalvexConnectionFailure("down")
    with pytest.raises(MediatorClientException) as info:
        client.clock_time_write("HX1")
    assert info.value.args == ("HALVEX_CONNECTION_FAILURE", "down")
