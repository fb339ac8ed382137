"""Interval frames (_three_phase_intervals_read) and the window download (three_phase_intervals)."""

from __future__ import annotations

import datetime as dt
import logging
from types import SimpleNamespace

import pytest

from norvo_halvex.log import HalvexBoundLogger, get_logger
from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from quarn_frame_protocol import _text
from quarn_frame_protocol.errors import QuarnCodecError
from quarn_frame_protocol.generated.quarn_profile_three_phase_intervals_request import (
    QuarnProfileThreePhaseIntervalsRequest,
)
from quarn_frame_protocol.quarn_data import QuarnData
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import (
    QuarnProfileThreePhaseIntervalsResponseBlock as Block,
)
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_frame import (
    QuarnProfileThreePhaseIntervalsResponseFrame as Frame,
)
from quarn_frame_protocol.stream import BytesIO, KaitaiStream

from support.leaks import assert_no_leaks

ProfileNumber = QuarnProfileThreePhaseIntervalsRequest.ProfileNumber
UTC = dt.timezone.utc
T0 = dt.datetime(2024, 3, 31, tzinfo=UTC)
H = dt.timedelta(hours=1)
STEP = 1800
CX = QuarnMessage.ThreePhaseMeterType.cx_ct_operated


def parse_request(message: bytes) -> QuarnProfileThreePhaseIntervalsRequest:
    data = QuarnData(13, KaitaiStream(BytesIO(message)))
    data._read()
    assert data.format == QuarnData.RecordFormat.three_phase_profile_intervals
    request = QuarnProfileThreePhaseIntervalsRequest(KaitaiStream(BytesIO(data.message)))
    request._read()
    return request


def meter(serial: str, message: bytes) -> bytes:
    """A meter answering every aligned interval start in [start, end], values from the time."""
    request = parse_request(message)
    first = -(-request.start_time // STEP) * STEP
    starts = range(first, request.end_time + 1, STEP)
    intervals = [Block.Interval(status=0, values=[t // STEP % 1000 + k for k in range(6)]) for t in starts]
    block = Block(start_time=first, interval_length=STEP, intervals=intervals)
    return Frame(profile_number=request.profile_number, frame_data=block.to_bytes()).to_bytes()


def windows(core) -> list[tuple[dt.datetime, dt.datetime]]:
    out = []
    for operation, (_, message) in core.transport.calls:
        assert operation == "send_message" and len(message) == 14
        request = parse_request(message)
        assert request.profile_number == ProfileNumber.profile_0
        out.append(
            (dt.datetime.fromtimestamp(request.start_time, UTC), dt.datetime.fromtimestamp(request.end_time, UTC))
        )
    return out


# ---------------------------------------------------------------------------------------------
# one frame


def test_frame_request_bytes_log_lines_and_block(core, client):
    core.transport.replies["send_message"] = meter
    block = client._three_phase_intervals_read("HX3", T0, T0 + 4 * H, ProfileNumber.profile_0)

    request = bytes.fromhex("0300 80a70866 c0df0866 ffffffff")
    assert core.transport.calls == [("send_message", ("HX3", request))]
    reply = meter("HX3", request)
    assert [(e.level, e.fields) for e in core.entries] == [("debug", (("serial", "HX3"),))] * 4
    assert [e.message for e in core.entries] == [
        f"three phase intervals frame request [{request.hex()}]",
        f"three phase intervals frame response [{reply.hex()}]",
        f"three phase intervals frame [{_parsed(Frame, reply)}]",
        f"three phase intervals block [{block}]",
    ]
    assert isinstance(block, Block)
    assert (block.start_time, block.interval_length, len(block.intervals)) == (int(T0.timestamp()), STEP, 9)


def _parsed(cls, data):
    rec = cls(len(data), KaitaiStream(BytesIO(data)))
    rec._read()
    return rec


def test_reset_sends_the_request_and_parses_nothing(core, client):
    core.transport.replies["send_message"] = b"\x00"  # not a frame: must not be parsed
    assert client._three_phase_intervals_read("HX3", T0, T0 + H, ProfileNumber.reset) is None
    (_, (_, message)), = core.transport.calls
    assert message[:2] == b"\x03\xff" and message[-4:] == b"\xff" * 4
    assert [e.message for e in core.entries] == [
        f"three phase intervals frame request [{message.hex()}]",
        "three phase intervals frame response [00]",
    ]


def test_a_reversed_window_is_sent_unchecked(core, client):
    core.transport.replies["send_message"] = meter
    block = client._three_phase_intervals_read("HX3", T0 + H, T0, ProfileNumber.profile_0)
    assert windows(core) == [(T0 + H, T0)]
    assert block.intervals == []


@pytest.mark.parametrize(
    "reply, error, lines",
    [
        (None, AttributeError, 1),  # no hexadecimal form: fails on the response line
        ("0300", TypeError, 1),  # refused by _send_message
        (b"\x00\x00\x00\x00\x00", QuarnCodecError, 2),  # checksum does not match
    ],
    ids=["none", "str", "corrupt"],
)
def test_bad_replies_propagate(core, client, reply, error, lines):
    core.transport.replies["send_message"] = reply
    with pytest.raises(error):
        client._three_phase_intervals_read("HX3", T0, T0 + H, ProfileNumber.profile_0)
    assert len(core.entries) == lines


def test_a_block_that_does_not_fill_its_frame_is_refused(core, client):
    block = Block(start_time=0, interval_length=STEP, intervals=[]).to_bytes() + b"\x00"
    core.transport.replies["send_message"] = Frame(profile_number=0, frame_data=block).to_bytes()
    with pytest.raises(QuarnCodecError):
        client._three_phase_intervals_read("HX3", T0, T0 + H, ProfileNumber.profile_0)
    assert len(core.entries) == 3  # request, response, frame; no block line


# ---------------------------------------------------------------------------------------------
# lines nobody sees


class CountingForms(dict):
    """The codec's table of text functions, counting the texts made per record type."""

    def __init__(self):
        super().__init__()
        self.made: dict[type, int] = {}

    def get(self, cls, default=None):
        self.made[cls] = self.made.get(cls, 0) + 1
        return super().get(cls, default)


class SubclassedLogger(HalvexBoundLogger):
    pass


class OwnBlock(Block):
    pass


def _real_log(kind):
    log = get_logger("norvo_halvex.test_unseen_lines", __file__).bind(mediator_address="x")
    if kind == "subclass":
        log = SubclassedLogger(log._logger, context=log._context)
    elif kind == "debug on the instance":
        log.debug = log.debug
    elif kind == "level test on the instance":
        logger = logging.Logger("own")
        logger.isEnabledFor = logger.isEnabledFor
        log = HalvexBoundLogger(logger)
    return log


@pytest.mark.parametrize(
    "kind, level, made",
    [
        ("plain", logging.INFO, 0),  # the logger's own debug() at a level that drops the lines
        ("plain", logging.DEBUG, 2),
        ("subclass", logging.INFO, 2),
        ("debug on the instance", logging.INFO, 2),
        ("level test on the instance", logging.INFO, 2),
        ("str in the module", logging.INFO, 2),
        ("block of another type", logging.INFO, 1),  # the frame's text is still left out
    ],
)
def test_record_texts_are_left_out_only_where_nobody_can_tell(core, client, monkeypatch, caplog, kind, level,
                                                               made):
    core.transport.replies["send_message"] = meter
    client.log = _real_log(kind)
    forms = CountingForms()
    monkeypatch.setattr(_text, "_TEXT_FUNCTIONS", forms)
    strs = []
    if kind == "str in the module":
        core.set("str", lambda value: strs.append(value) or "shown")
    if kind == "block of another type":
        core.set("QuarnProfileThreePhaseIntervalsResponseBlock", OwnBlock)
    logging.getLogger().setLevel(level)
    with caplog.at_level(level):
        block = client._three_phase_intervals_read("HX3", T0, T0 + 4 * H, ProfileNumber.profile_0)
    texts = sum(forms.made.get(cls, 0) for cls in (Frame, Block, OwnBlock)) + len(strs)
    assert texts == made
    lines = [r.getMessage() for r in caplog.records if r.name in ("norvo_halvex.test_unseen_lines", "own")]
    if level == logging.DEBUG:
        assert [line.split(" [")[0] for line in lines] == [
            "three phase intervals frame request", "three phase intervals frame response",
            "three phase intervals frame", "three phase intervals block"]
        assert lines[3] == f"three phase intervals block [{block}] mediator_address=x serial=HX3"
    else:
        assert lines == []


# ---------------------------------------------------------------------------------------------
# the download


@pytest.fixture
def downloader(core, client):
    """The client with a three-phase meter behind it and the hardware read stubbed on the object."""
    core.transport.replies["send_message"] = meter
    hardware_calls = []

    def hardware(serial):
        hardware_calls.append(serial)
        return SimpleNamespace(meter_type=CX)

    client.three_phase_hardware_configuration = hardware
    client.hardware_calls = hardware_calls
    return client


@pytest.mark.parametrize(
    "start, end, expected",
    [
        (T0, T0 + 4 * H, [(0, 4 * H)]),
        (T0, T0 + 4 * H + dt.timedelta(seconds=1), [(0, 4 * H), (4 * H, 4 * H + dt.timedelta(seconds=1))]),
        (T0, T0 + 10 * H, [(0, 4 * H), (4 * H, 8 * H), (8 * H, 10 * H)]),
        (T0, T0 + 24 * H, [(i * 4 * H, (i + 1) * 4 * H) for i in range(6)]),
        (T0 + dt.timedelta(minutes=7), T0 + H, [(dt.timedelta(minutes=7), H)]),
    ],
    ids=["4h", "4h+1s", "10h", "24h", "short"],
)
def test_explicit_windows_are_cut_into_frames(core, downloader, start, end, expected):
    exported = []
    core.set("export_three_phase_intervals_to_csv", lambda *args: exported.append(args))
    result = downloader.three_phase_intervals("HX3", None, start, end)
    offset = lambda d: T0 + d if isinstance(d, dt.timedelta) else T0  # noqa: E731
    assert windows(core) == [(offset(a), offset(b)) for a, b in expected]
    # Shared boundary intervals come once, in time order.
    times = [iv.time for iv in result]
    assert times == sorted(set(times))
    assert times[0] == start + (-start.minute % 30) * dt.timedelta(minutes=1) and times[-1] <= end
    assert exported == [(result, None, CX, False)]
    assert downloader.hardware_calls == ["HX3"]


@pytest.mark.parametrize(
    "day",
    [dt.date(2024, 3, 31), dt.datetime(2024, 3, 31, 17, 45, tzinfo=dt.timezone(dt.timedelta(hours=-9)))],
    ids=["date", "datetime"],
)
def test_a_day_is_six_frames_to_half_past_eleven_utc(core, downloader, day):
    core.set("export_three_phase_intervals_to_csv", lambda *args: None)
    # The explicit window is ignored without any check, even when it is invalid.
    result = downloader.three_phase_intervals("HX3", day, T0 + H, T0)
    bounds = [T0 + i * 4 * H for i in range(6)] + [T0 + dt.timedelta(hours=23, minutes=30)]
    assert windows(core) == list(zip(bounds, bounds[1:]))
    assert len(result) == 48 and result.start == T0


def test_frames_go_through_the_object_and_share_their_boundaries(core, downloader):
    core.set("export_three_phase_intervals_to_csv", lambda *args: None)
    seen = []
    real = downloader._three_phase_intervals_read

    def frame(serial, start, end, profile):
        seen.append((start, end, profile))
        return real(serial, start, end, profile)

    downloader._three_phase_intervals_read = frame
    downloader.three_phase_intervals("HX3", None, T0, T0 + 9 * H)
    assert [p for *_, p in seen] == [ProfileNumber.profile_0] * 3
    assert all(a[1] is b[0] for a, b in zip(seen, seen[1:]))  # each frame starts where the last ended
    assert seen[-1][1] == T0 + 9 * H


@pytest.mark.parametrize(
    "csv, statuses, line",
    [
        ("out.csv", 1, "wrote intervals to [out.csv]"),
        (None, 0, "wrote intervals to stdout"),
        ("", [], "wrote intervals to stdout"),
    ],
)
def test_export_call_and_log_lines(core, downloader, csv, statuses, line):
    exported = []
    core.set("export_three_phase_intervals_to_csv", lambda *args: exported.append(args))
    result = downloader.three_phase_intervals("HX3", None, T0, T0 + H, csv, statuses)
    assert exported == [(result, csv, CX, bool(statuses))]
    assert type(exported[0][3]) is bool
    info = [(e.message, e.fields) for e in core.log.at("info")]
    assert info == [("meter type = cx_ct_operated", (("serial", "HX3"),)), (line, (("serial", "HX3"),))]


NAIVE = dt.datetime(2024, 3, 31)


@pytest.mark.parametrize(
    "start, end, error, text",
    [
        (None, T0, Exception, "start_time and end_time must be provided"),
        (T0, None, Exception, "start_time and end_time must be provided"),
        (T0, T0, Exception, "start_time must come before end_time"),
        (T0 + H, T0, Exception, "start_time must come before end_time"),
        (T0, T0 + 24 * H + dt.timedelta(seconds=1), Exception, "max range between start_time and end_time is 24 hours"),
        (NAIVE, T0, TypeError, "compare offset-naive and offset-aware"),
    ],
)
def test_window_errors_contact_no_meter(core, downloader, start, end, error, text):
    with pytest.raises(Exception) as info:
        downloader.three_phase_intervals("HX3", None, start, end, "out.csv")
    assert type(info.value) is error and text in str(info.value)
    assert core.transport.calls == [] and downloader.hardware_calls == [] and core.entries == []


def test_a_failing_frame_discards_the_download(core, downloader):
    failure = HalvexConnectionFailure("meter gone")

    def third_fails(serial, message):
        if len(core.transport.calls) == 3:
            raise failure
        return meter(serial, message)

    core.transport.replies["send_message"] = third_fails
    combined, exported = [], []
    core.set("blocks_to_intervals_rec", lambda blocks: combined.append(blocks))
    core.set("export_three_phase_intervals_to_csv", lambda *args: exported.append(args))
    with pytest.raises(HalvexConnectionFailure) as info:
        downloader.three_phase_intervals("HX3", None, T0, T0 + 24 * H, "out.csv")
    assert info.value is failure
    assert len(core.transport.calls) == 3 and combined == [] and exported == []
    assert not any(e.message.startswith("wrote") for e in core.entries)


def test_the_collection_is_what_the_utility_made(core, downloader):
    made = object()
    exported = []
    core.set("blocks_to_intervals_rec", lambda blocks: (made, blocks)[0] if len(blocks) == 2 else None)
    core.set("export_three_phase_intervals_to_csv", lambda *args: exported.append(args[0]))
    assert downloader.three_phase_intervals("HX3", None, T0, T0 + 5 * H) is made
    assert exported == [made]


@pytest.mark.slow
def test_downloads_and_their_failures_do_not_leak(core, downloader):
    core.set("export_three_phase_intervals_to_csv", lambda *args: None)
    downloader.three_phase_hardware_configuration = lambda serial: SimpleNamespace(meter_type=CX)  # keeps no serial
    serial = "HX3" + "0" * 3  # a fresh, non-interned object

    def work():
        core.transport.replies["send_message"] = meter
        downloader.three_phase_intervals(serial, None, T0, T0 + 4 * H)  # one frame
        downloader.three_phase_intervals(serial, dt.date(2024, 3, 31), None, None, "x.csv", 1)  # six
        downloader._three_phase_intervals_read(serial, T0, T0 + H, ProfileNumber.reset)
        core.transport.replies["send_message"] = b"\x00" * 5
        failures = [(None, T0, None), (T0, T0, None), (T0, T0 + 25 * H, None), (NAIVE, T0, None), (None, T0, T0 + H)]
        for day, start, end in failures:
            try:
                downloader.three_phase_intervals(serial, day, start, end)
            except (Exception, QuarnCodecError):
                pass
        core.transport.calls.clear()
        core.log.entries.clear()

    # The warm-up runs fill the codec's and datetime's caches.
    assert_no_leaks(work, (serial,), warm_runs=100, runs=400)
