"""Data records through SendMessage: interval frames, profile logs, event log."""

import datetime as dt

import grpc
import pytest

from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.simulator import Fault
from quarn_frame_protocol.generated.quarn_profile_log_request import QuarnProfileLogRequest
from quarn_frame_protocol.generated.quarn_profile_three_phase_intervals_request import (
    QuarnProfileThreePhaseIntervalsRequest as IntervalsRequest,
)
from quarn_frame_protocol.quarn_data import QuarnData
from quarn_frame_protocol.quarn_event_log_response import QuarnEventLogResponse
from quarn_frame_protocol.quarn_profile_log_1_response import quarn_decode_profile_log_1_response
from quarn_frame_protocol.quarn_profile_log_2_response import quarn_decode_profile_log_2_response
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import (
    IntervalStatus,
    QuarnProfileThreePhaseIntervalsResponseBlock as Block,
)
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_frame import (
    QuarnProfileThreePhaseIntervalsResponseFrame as Frame,
)
from quarn_frame_protocol.stream import BytesIO, KaitaiStream

from support.records import data_record, event_log_request

Format = QuarnData.RecordFormat
NOW = dt.datetime(2025, 6, 14, 18, 5, tzinfo=dt.UTC)
DAY = int(dt.datetime(2025, 6, 13, tzinfo=dt.UTC).timestamp())
HOUR = 3600


@pytest.fixture
def fleet(fleet):
    fleet.freeze_time(NOW)
    return fleet


def intervals_request(start, end, profile=IntervalsRequest.ProfileNumber.profile_0):
    message = IntervalsRequest(profile_number=profile, start_time=start, end_time=end, trailing_fixed=b"\xff" * 4)
    return data_record(Format.three_phase_profile_intervals, message.to_bytes())


def read_block(client, serial, start, end):
    reply = client.send_message(serial, intervals_request(start, end))
    frame = Frame(len(reply), KaitaiStream(BytesIO(reply)))
    frame._read()
    block = Block(len(frame.frame_data), KaitaiStream(BytesIO(frame.frame_data)))
    block._read()
    return block


def starts(block):
    return [block.interval_start(i) for i in range(len(block.intervals))]


@pytest.mark.parametrize(
    ("start", "end", "expected_first", "expected_count"),
    [
        (DAY, DAY + 4 * HOUR, DAY, 9),  # both ends aligned: both included
        (DAY + 60, DAY + 4 * HOUR, DAY + 1800, 8),  # unaligned start rounds up
        (DAY, DAY + 4 * HOUR - 1, DAY, 8),  # unaligned end rounds down
        (DAY + 20 * HOUR, DAY + 23 * HOUR + 1800, DAY + 20 * HOUR, 8),  # last frame of a day window
        (DAY, DAY, DAY, 1),
        (DAY + 10, DAY + 20, DAY + 1800, 0),  # no interval starts inside
        (DAY + 4 * HOUR, DAY, DAY + 4 * HOUR, 0),  # reversed window
    ],
)
def test_frame_window_is_inclusive_of_aligned_ends(mediator_client, start, end, expected_first, expected_count):
    block = read_block(mediator_client, "HX3000001", start, end)
    assert block.interval_length == 1800
    assert len(block.intervals) == expected_count
    if expected_count:
        assert block.start_time == expected_first
        assert all(s % 1800 == 0 and start <= s <= end for s in starts(block))


def test_consecutive_frames_share_their_boundary_interval_and_agree_with_totals(fleet, mediator_client):
    frames = [read_block(mediator_client, "HX3000002", DAY + i * 4 * HOUR, DAY + (i + 1) * 4 * HOUR) for i in range(6)]
    for earlier, later in zip(frames, frames[1:]):
        assert starts(earlier)[-1] == starts(later)[0]
        assert earlier.intervals[-1].values == later.intervals[0].values
    # The intervals of the day, summed, are what the totals advanced by.
    meter = fleet.meters["HX3000002"]
    day_intervals = [iv for f in frames for iv in f.intervals[:-1]]
    assert len(day_intervals) == 48
    for index, name in ((0, "active_import"), (2, "reactive_import"), (4, "apparent_import")):
        assert sum(iv.values[index] for iv in day_intervals) == meter.total(name, DAY + 24 * HOUR) - meter.total(name, DAY)
    assert all(iv.status == 0 for iv in day_intervals)


def test_intervals_are_deterministic_across_fleets(simulator, mediator_client):
    from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient
    from norvo_halvex.mediator.simulator import Fleet, start_simulator

    first = read_block(mediator_client, "HX3000001", DAY, DAY + 4 * HOUR)
    with start_simulator(Fleet.default()) as other, HalvexMediatorGrpcClient(other.address) as client:
        second = read_block(client, "HX3000001", DAY, DAY + 4 * HOUR)
    assert [iv.values for iv in first.intervals] == [iv.values for iv in second.intervals]


def test_missing_intervals_only_where_asked(fleet, mediator_client):
    meter = fleet.meters["HX3000001"]
    meter.missing_intervals = {DAY + 1800}
    block = read_block(mediator_client, "HX3000001", DAY, DAY + 2 * HOUR)
    statuses = [int(iv.status) for iv in block.intervals]
    assert statuses == [0, IntervalStatus.missing, 0, 0, 0]
    assert block.intervals[1].values == [0] * 6



@pytest.mark.parametrize(
    "future, answered, missing",
    [("withheld", 4, 0), ("missing", 9, 5), ("answered", 9, 0)],
)
def test_intervals_not_over_by_the_meters_clock(fleet, mediator_client, future, answered, missing):
    """At 18:05 by the meter's clock, 16:00 to 17:30 are over and 18:00 is still running: a
    meter withholds the rest; the options answer it flagged missing, or with data."""
    fleet.meters["HX3000001"].future_intervals = future
    today = DAY + 24 * HOUR
    block = read_block(mediator_client, "HX3000001", today + 16 * HOUR, today + 20 * HOUR)
    flagged = [s for s, iv in zip(starts(block), block.intervals) if iv.status & IntervalStatus.missing]
    assert (len(block.intervals), len(flagged)) == (answered, missing)
    assert flagged == list(range(today + 18 * HOUR, today + 20 * HOUR + 1, 1800))[:missing]


def test_reset_is_acknowledged_with_an_empty_frame(mediator_client):
    reply = mediator_client.send_message("HX3000002", intervals_request(DAY, DAY + HOUR, IntervalsRequest.ProfileNumber.reset))
    frame = Frame(len(reply), KaitaiStream(BytesIO(reply)))
    frame._read()
    assert frame.profile_number is IntervalsRequest.ProfileNumber.reset
    assert frame.frame_data == b""


def test_fault_after_two_frames_breaks_the_third(fleet, mediator_client):
    fleet.set_fault("HX3000001", Fault("connection_failure", operations=["message"], after=2))
    read_block(mediator_client, "HX3000001", DAY, DAY + 4 * HOUR)
    read_block(mediator_client, "HX3000001", DAY + 4 * HOUR, DAY + 8 * HOUR)
    with pytest.raises(HalvexConnectionFailure, match="HX3000001"):
        read_block(mediator_client, "HX3000001", DAY + 8 * HOUR, DAY + 12 * HOUR)


def read_events(client, serial, idx):
    reply = client.send_message(serial, event_log_request(idx))
    response = QuarnEventLogResponse(KaitaiStream(BytesIO(reply)))
    response._read()
    return response


def test_event_log_pages_are_days_oldest_first_and_repeatable(fleet, mediator_client):
    today = int(NOW.timestamp()) // 86400 * 86400
    pages = [read_events(mediator_client, "HX3000001", idx) for idx in range(16)]
    for idx, page in enumerate(pages):
        assert page.log_idx == idx
        times = [e.time for e in page.events]
        assert times == sorted(times)
        assert all(today - idx * 86400 <= t < today - (idx - 1) * 86400 for t in times)
    assert sum(len(p.events) for p in pages) > 16
    assert str(read_events(mediator_client, "HX3000001", 5)) == str(pages[5])
    assert str(read_events(mediator_client, "HX1000001", 5)) != str(pages[5])


@pytest.mark.parametrize(
    ("serial", "message", "code", "fragment"),
    [
        ("HX1000001", event_log_request(16), grpc.StatusCode.INVALID_ARGUMENT, "event log index 16"),
        ("HX1000001", event_log_request(0, object_id=0x1234), grpc.StatusCode.NOT_FOUND, "0x1234"),
        ("HX1000001", intervals_request(DAY, DAY + HOUR), grpc.StatusCode.NOT_FOUND, "single-phase"),
        ("HX3000001", intervals_request(DAY, DAY + 8 * 86400), grpc.StatusCode.INVALID_ARGUMENT, "at most"),
        ("HX3000001", intervals_request(DAY, DAY)[:-1] + b"\x00", grpc.StatusCode.INVALID_ARGUMENT, "trailing_fixed"),
        ("HX3000001", data_record(Format.profile_log_1, b"\x00" * 13), grpc.StatusCode.INVALID_ARGUMENT, "4 bytes"),
        ("HX3000001", b"\x07\x00\x00\x00\x00", grpc.StatusCode.INVALID_ARGUMENT, "unknown record format 7"),
        ("HX3000001", b"\x04", grpc.StatusCode.INVALID_ARGUMENT, "record format byte followed by the message"),
        ("HX0", event_log_request(0), grpc.StatusCode.NOT_FOUND, "HX0"),
    ],
)
def test_refused_data_records(mediator_client, serial, message, code, fragment):
    with pytest.raises(grpc.RpcError) as info:
        mediator_client.send_message(serial, message)
    assert info.value.code() is code
    assert fragment in info.value.details()


@pytest.mark.parametrize(("serial", "twin"), [("HX1000002", True), ("HX1000001", False), ("HX3000001", False)])
def test_profile_logs_answer_the_last_record_at_or_before(fleet, mediator_client, serial, twin):
    asked = DAY + 10 * HOUR + 1799
    message = QuarnProfileLogRequest(timestamp=asked).to_bytes()
    log1 = quarn_decode_profile_log_1_response(mediator_client.send_message(serial, data_record(Format.profile_log_1, message)))
    log2 = quarn_decode_profile_log_2_response(twin, mediator_client.send_message(serial, data_record(Format.profile_log_2, message)))
    meter = fleet.meters[serial]
    assert log1.timestamp == log2.timestamp == DAY + 10 * HOUR
    assert log1.import_active == log2.element_a.import_active == meter.energy_a.register("active_import", DAY + 10 * HOUR)
    assert (log2.element_b is not None) is twin
    # The meter has no record from its own future: it answers its latest one.
    future = QuarnProfileLogRequest(timestamp=int(NOW.timestamp()) + 86400).to_bytes()
    latest = quarn_decode_profile_log_1_response(mediator_client.send_message(serial, data_record(Format.profile_log_1, future)))
    assert latest.timestamp == int(NOW.timestamp()) // 1800 * 1800
