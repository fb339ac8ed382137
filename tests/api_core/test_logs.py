"""Profile logs (_profile_log, profile_log_1, profile_log_2) and the event log."""

from __future__ import annotations

import datetime as dt

import pytest

from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from quarn_frame_protocol.errors import QuarnCodecError
from quarn_frame_protocol.quarn_data import QuarnData
from quarn_frame_protocol.quarn_event_log_response import EventCode, QuarnEventLogResponse
from quarn_frame_protocol.quarn_profile_log_1_response import QuarnProfileLog1Response
from quarn_frame_protocol.quarn_profile_log_2_response import QuarnProfileLog2Response

from support.leaks import assert_no_leaks

UTC = dt.timezone.utc
T0 = dt.datetime(2024, 3, 31, tzinfo=UTC)  # 0x6608a780
SERIAL = (("serial", "HX1"),)

LOG1_REPLY = QuarnProfileLog1Response(
    timestamp=1711843200, status=0, import_active=1, export_active=2, import_reactive=3, export_reactive=4
).to_bytes()
EVENTS = [QuarnEventLogResponse.Event(time=1711843200 + i, code=EventCode.power_up, detail=i) for i in range(2)]
EVENT_REPLY = QuarnEventLogResponse(log_idx=3, events=EVENTS).to_bytes()


def element(n):
    return QuarnProfileLog2Response.ElementValues(
        import_active=n, export_active=n + 1, import_reactive=n + 2, export_reactive=n + 3
    )


def log2_reply(twin: bool) -> bytes:
    rec = QuarnProfileLog2Response(twin, timestamp=1711843200, status=0, element_a=element(10))
    rec.element_b = element(20) if twin else None
    return rec.to_bytes()


# ---------------------------------------------------------------------------------------------
# profile logs


@pytest.mark.parametrize(
    "method, fmt, reply",
    [("profile_log_1", "01", LOG1_REPLY), ("profile_log_2", "02", log2_reply(False))],
)
def test_profile_log_request_reply_and_log_lines(core, client, method, fmt, reply):
    core.transport.replies["send_message"] = reply
    args = (False,) if method == "profile_log_2" else ()
    decoded = getattr(client, method)("HX1", T0, *args)

    request = bytes.fromhex(fmt + "80a70866")
    assert core.transport.calls == [("send_message", ("HX1", request))]
    assert decoded.import_active == 1 if method == "profile_log_1" else decoded.element_a.import_active == 10
    fields = SERIAL if method == "profile_log_1" else (("is_twin_element", False),) + SERIAL
    assert core.entries == [
        ("debug", f"profile log request [{request.hex()}]", SERIAL),
        ("debug", f"{method} response [{decoded}]", fields),
    ]


@pytest.mark.parametrize("flag, twin", [(1, True), (0, False), ("", False), ([0], True), (None, False)])
def test_profile_log_2_hands_the_decoder_a_boolean(core, client, flag, twin):
    core.transport.replies["send_message"] = log2_reply(twin)
    seen = []
    real = core.module.quarn_decode_profile_log_2_response
    core.set("quarn_decode_profile_log_2_response", lambda f, data: seen.append(f) or real(f, data))
    decoded = client.profile_log_2("HX1", T0, flag)
    assert seen == [twin] and type(seen[0]) is bool
    assert (decoded.element_b is not None) is twin
    assert core.entries[-1].fields == (("is_twin_element", twin), ("serial", "HX1"))


def test_profile_log_2_twin_flag_error_sends_nothing(core, client):
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        client.profile_log_2("HX1", T0, Bad())
    assert core.transport.calls == [] and core.entries == []


def test_public_logs_go_through_profile_log_on_the_object(core, client):
    calls = []
    client._profile_log = lambda serial, ts, fmt: calls.append((serial, ts, fmt)) or LOG1_REPLY
    client.profile_log_1("HX1", T0)
    assert calls == [("HX1", T0, QuarnData.RecordFormat.profile_log_1)]
    assert type(calls[0][2]) is QuarnData.RecordFormat and core.transport.calls == []


def test_a_missing_reply_reaches_the_decoder(core, client):
    core.transport.replies["send_message"] = None
    assert client._profile_log("HX1", T0, QuarnData.RecordFormat.profile_log_1) is None
    with pytest.raises(QuarnCodecError, match="no reply"):
        client.profile_log_1("HX1", T0)


@pytest.mark.parametrize("reply", ["0102", bytearray(b"\x01"), 5])
def test_profile_log_result_must_be_bytes(core, client, reply):
    client._send_message = lambda serial, message: reply  # an override bypasses the primitive's own check
    with pytest.raises(TypeError, match=f"Expected bytes, got {type(reply).__name__}"):
        client._profile_log("HX1", T0, QuarnData.RecordFormat.profile_log_2)


# ---------------------------------------------------------------------------------------------
# event log


@pytest.mark.parametrize("idx, sent", [(3, 3), (True, 1), (2.9, 2), (15, 15), (0, 0)])
def test_event_log_request_lines_and_record(core, client, idx, sent):
    core.transport.replies["send_message"] = EVENT_REPLY
    data = client.event_log("HX1", idx)
    request = bytes([4, 0x01, 0xF0, sent, 0])
    assert core.transport.calls == [("send_message", ("HX1", request))]
    assert isinstance(data, QuarnEventLogResponse) and [e.detail for e in data.events] == [0, 1]
    assert core.entries == [
        ("info", f"event log request [{request.hex()}]", SERIAL),
        ("info", f"event log response [{EVENT_REPLY.hex()}]", SERIAL),
        ("info", f"event logs [{data}]", SERIAL),
    ]


@pytest.mark.parametrize("idx", [16, -1, 2**70])
def test_refused_index_sends_nothing(core, client, idx):
    with pytest.raises(ValueError, match="out of range"):
        client.event_log("HX1", idx)
    assert core.transport.calls == [] and core.entries == []


def test_validation_is_looked_up_at_call_time(core, client):
    seen = []
    core.set("valid_event_log_idx", lambda idx: seen.append(idx) or False)  # its result is ignored
    core.transport.replies["send_message"] = EVENT_REPLY
    client.event_log("HX1", 2.0)
    assert seen == [2] and type(seen[0]) is int


@pytest.mark.parametrize(
    "reply, error, lines",
    [
        (None, AttributeError, 1),
        (b"\x03\x02\x00", QuarnCodecError, 2),
        (HalvexConnectionFailure("down"), HalvexConnectionFailure, 1),
    ],
    ids=["none", "short", "transport"],
)
def test_event_log_failures_stop_the_lines(core, client, reply, error, lines):
    core.transport.replies["send_message"] = reply
    with pytest.raises(error):
        client.event_log("HX1", 3)
    assert [e.message.split(" [")[0] for e in core.entries] == ["event log request", "event log response"][:lines]


def test_log_requests_and_their_failures_do_not_leak(core, client):
    serial = "HX1" + "0" * 3  # a fresh, non-interned object

    def work():
        core.transport.replies["send_message"] = LOG1_REPLY
        client.profile_log_1(serial, T0)
        core.transport.replies["send_message"] = log2_reply(True)
        client.profile_log_2(serial, T0, 1)
        core.transport.replies["send_message"] = EVENT_REPLY
        client.event_log(serial, 3)
        core.transport.replies["send_message"] = None
        for idx in (16, "x", 3):
            try:
                client.event_log(serial, idx)
            except (ValueError, TypeError, AttributeError):
                pass
        core.transport.calls.clear()
        core.log.entries.clear()

    # The warm-up runs fill the codec's and datetime's caches.
    assert_no_leaks(work, (serial,), warm_runs=1000, runs=1000)
