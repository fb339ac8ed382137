"""Data records exchanged through SendMessage: event log, profile logs, interval frames.

A request is a ``QuarnData`` record (record format byte + message); the reply is the
response record's bytes. Everything answered is a pure function of the meter, the
request and the time, so a test with a frozen fleet clock sees the same bytes every run.
"""

from __future__ import annotations

import random

from norvo_halvex.mediator.simulator.energy import INTERVAL_SECONDS
from norvo_halvex.mediator.simulator.errors import invalid, not_found
from norvo_halvex.mediator.simulator.faults import Fault, FaultKind
from norvo_halvex.mediator.simulator.model import SimulatedMeter
from quarn_frame_protocol.errors import QuarnCodecError
from quarn_frame_protocol.generated.quarn_event_log_request import QuarnEventLogRequest
from quarn_frame_protocol.generated.quarn_profile_log_request import QuarnProfileLogRequest
from quarn_frame_protocol.generated.quarn_profile_three_phase_intervals_request import (
    QuarnProfileThreePhaseIntervalsRequest,
)
from quarn_frame_protocol.quarn_data import QuarnData
from quarn_frame_protocol.quarn_event_log_response import EventCode, QuarnEventLogResponse
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_profile_log_1_response import ProfileStatus, QuarnProfileLog1Response
from quarn_frame_protocol.quarn_profile_log_2_response import QuarnProfileLog2Response
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import (
    IntervalStatus,
    QuarnProfileThreePhaseIntervalsResponseBlock,
)
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_frame import (
    QuarnProfileThreePhaseIntervalsResponseFrame,
)
from quarn_frame_protocol.stream import BytesIO, KaitaiStream
from quarn_frame_protocol.util import quarn_encode_object_id

__all__ = ["handle", "is_interval_request", "malformed", "events", "interval_block", "EVENT_LOG_PAGES", "MAX_INTERVALS_PER_FRAME"]

_Format = QuarnData.RecordFormat
_Profile = QuarnProfileThreePhaseIntervalsRequest.ProfileNumber
_Block = QuarnProfileThreePhaseIntervalsResponseBlock

#: Event log pages 0 (newest) .. 15.
EVENT_LOG_PAGES = 16
#: Longest window one frame answers: one week of 30-minute intervals (the core asks for 4 hours).
MAX_INTERVALS_PER_FRAME = 7 * 48 + 1

#: Reply of the malformed-reply fault: too short for every response record.
GARBAGE = b"\xde\xad"


def malformed(reply: bytes) -> bytes:
    return GARBAGE


def _parse(make, data: bytes, what: str):
    try:
        record = make(KaitaiStream(BytesIO(data)))
        record._read()
    except QuarnCodecError as e:
        raise invalid(f"malformed {what}: {e}") from None
    return record


def _encode(record) -> bytes:
    return record.to_bytes()


def is_interval_request(data: bytes) -> bool:
    """Whether ``data`` asks for an interval frame (by its record format byte)."""
    return bool(data) and data[0] == _Format.three_phase_profile_intervals


def handle(meter: SimulatedMeter, data: bytes, now: float, distortion: Fault | None = None) -> bytes:
    """The meter's reply to one data record, at real time ``now``; ``distortion`` is an
    interval fault that changes the block of an interval frame."""
    if len(data) < 2:
        raise invalid(
            f"meter {meter.serial}: a data record is a record format byte followed by the message; "
            f"got {len(data)} byte(s)"
        )
    record = _parse(lambda io: QuarnData(len(data) - 1, io), data, "data record")
    fmt = record.format
    handler = _HANDLERS.get(fmt)
    if handler is None:
        known = ", ".join(f"{f.name}={f.value}" for f in _Format)
        raise invalid(f"meter {meter.serial}: unknown record format {int(fmt)} (known: {known})")
    size = _MESSAGE_SIZES[fmt]
    if len(record.message) != size:
        raise invalid(
            f"meter {meter.serial}: a {fmt.name} message is {size} bytes, got {len(record.message)} "
            f"(data record {data.hex()})"
        )
    if fmt == _Format.three_phase_profile_intervals:
        return _intervals(meter, record.message, now, distortion)
    return handler(meter, record.message, now)


# -- event log -------------------------------------------------------------------------------

_DAY = 86400


def _event_log(meter: SimulatedMeter, message: bytes, now: float) -> bytes:
    request = _parse(QuarnEventLogRequest, message, "event log request")
    expected = quarn_encode_object_id(QuarnMessage.ObjectIdType.event_log)
    if request.object_id != expected:
        raise not_found(
            f"meter {meter.serial}: event log request names object 0x{request.object_id:04x}; "
            f"the event log is object 0x{int(expected):04x}"
        )
    if request.log_idx >= EVENT_LOG_PAGES:
        raise invalid(
            f"meter {meter.serial}: event log index {request.log_idx} out of range 0..{EVENT_LOG_PAGES - 1}"
        )
    response = QuarnEventLogResponse()
    response.log_idx = request.log_idx
    response.events = events(meter, request.log_idx, now)
    return _encode(response)


def events(meter: SimulatedMeter, page: int, now: float) -> list:
    """Page ``page`` of the event log: the events of one day, ``page`` days before the
    meter's today, oldest first."""
    day = int(meter.clock(now)) // _DAY * _DAY - page * _DAY
    rng = random.Random(f"halvex-sim:{meter.serial}:events:{day}")
    codes = [EventCode.power_down, EventCode.terminal_cover_opened, EventCode.communication_error, EventCode.clock_set]
    if meter.kind.is_three_phase:
        codes += [EventCode.overvoltage, EventCode.undervoltage]
    else:
        codes += [EventCode.load_switch_opened, EventCode.reverse_energy_flow]
    out = []
    t = day
    for _ in range(rng.randint(1, 6)):
        t += rng.randrange(600, 14400)
        if t >= day + _DAY:
            break
        code = rng.choice(codes)
        if code is EventCode.power_down:
            outage = rng.randrange(5, 3600)
            out.append(QuarnEventLogResponse.Event(time=t, code=code, detail=outage))
            t += outage
            out.append(QuarnEventLogResponse.Event(time=t, code=EventCode.power_up, detail=0))
        elif code is EventCode.terminal_cover_opened:
            out.append(QuarnEventLogResponse.Event(time=t, code=code, detail=0))
            t += rng.randrange(60, 900)
            out.append(QuarnEventLogResponse.Event(time=t, code=EventCode.terminal_cover_closed, detail=0))
        elif code is EventCode.load_switch_opened:
            out.append(QuarnEventLogResponse.Event(time=t, code=code, detail=0))
            t += rng.randrange(60, 7200)
            out.append(QuarnEventLogResponse.Event(time=t, code=EventCode.load_switch_closed, detail=0))
        elif code in (EventCode.overvoltage, EventCode.undervoltage):
            out.append(QuarnEventLogResponse.Event(time=t, code=code, detail=rng.randint(1, 3)))
        else:
            out.append(QuarnEventLogResponse.Event(time=t, code=code, detail=rng.randrange(0, 100)))
    return [e for e in out if e.time < day + _DAY]


# -- profile logs ----------------------------------------------------------------------------


def _record_time(meter: SimulatedMeter, requested: int, now: float) -> int:
    """Profile records are taken every 30 minutes; the meter answers the last one at or
    before the requested time, and has none from the future."""
    latest = int(meter.clock(now))
    t = min(requested, latest)
    return t - t % INTERVAL_SECONDS


def _registers(profile, at: int) -> dict[str, int]:
    return {
        "import_active": profile.register("active_import", at),
        "export_active": profile.register("active_export", at),
        "import_reactive": profile.register("reactive_import", at),
        "export_reactive": profile.register("reactive_export", at),
    }


def _profile_log_1(meter: SimulatedMeter, message: bytes, now: float) -> bytes:
    request = _parse(QuarnProfileLogRequest, message, "profile log 1 request")
    at = _record_time(meter, request.timestamp, now)
    response = QuarnProfileLog1Response(
        timestamp=at, status=ProfileStatus(0), **_registers(meter.energy_a, at)
    )
    return _encode(response)


def _profile_log_2(meter: SimulatedMeter, message: bytes, now: float) -> bytes:
    request = _parse(QuarnProfileLogRequest, message, "profile log 2 request")
    at = _record_time(meter, request.timestamp, now)
    twin = meter.energy_b is not None
    response = QuarnProfileLog2Response(twin)
    response.timestamp = at
    response.status = ProfileStatus(0)
    response.element_a = QuarnProfileLog2Response.ElementValues(**_registers(meter.energy_a, at))
    response.element_b = QuarnProfileLog2Response.ElementValues(**_registers(meter.energy_b, at)) if twin else None
    return _encode(response)


# -- three-phase interval frames -----------------------------------------------------------


def _intervals(meter: SimulatedMeter, message: bytes, now: float, distortion: Fault | None = None) -> bytes:
    request = _parse(QuarnProfileThreePhaseIntervalsRequest, message, "three-phase interval request")
    if not meter.kind.is_three_phase:
        raise not_found(
            f"meter {meter.serial} ({meter.kind.value}) is single-phase and keeps no three-phase interval profile"
        )
    profile = request.profile_number
    if profile == _Profile.reset:
        # Acknowledged with an empty frame; the caller does not parse it.
        return _encode(QuarnProfileThreePhaseIntervalsResponseFrame(profile_number=profile, frame_data=b""))
    if profile != _Profile.profile_0:
        raise invalid(f"meter {meter.serial}: unknown interval profile number {int(profile)}")
    block = interval_block(meter, request.start_time, request.end_time, now, distortion)
    return _encode(QuarnProfileThreePhaseIntervalsResponseFrame(profile_number=profile, frame_data=_encode(block)))


def interval_block(meter: SimulatedMeter, start: int, end: int, now: float, distortion: Fault | None = None) -> _Block:
    """The block for window [start, end]: every interval whose start t is aligned to 30
    minutes with start <= t <= end, as far as the meter's clock has completed it (see the
    meter's ``future_intervals``); ``distortion`` breaks the block as that interval fault says."""
    first = -(-start // INTERVAL_SECONDS) * INTERVAL_SECONDS
    count = 0 if end < first else (end - first) // INTERVAL_SECONDS + 1
    if count > MAX_INTERVALS_PER_FRAME:
        raise invalid(
            f"meter {meter.serial}: interval window {start}..{end} spans {count} intervals; "
            f"one frame carries at most {MAX_INTERVALS_PER_FRAME} (ask for shorter windows)"
        )
    while count and not meter.interval_answered(first + (count - 1) * INTERVAL_SECONDS, now):
        count -= 1
    kind = distortion.kind if distortion is not None else None
    if kind is FaultKind.DUPLICATED_INTERVALS:
        first -= INTERVAL_SECONDS
    elif kind is FaultKind.TOO_MANY_INTERVALS:
        count = 2 * max(count, 1)
    block = _Block()
    block.start_time = first + (distortion.seconds if kind is FaultKind.SHIFTED_INTERVALS else 0)
    block.interval_length = distortion.seconds if kind is FaultKind.WRONG_INTERVAL_LENGTH else INTERVAL_SECONDS
    intervals = []
    for i in range(count):
        t = first + i * INTERVAL_SECONDS
        interval = _Block.Interval()
        if meter.interval_missing(t, now):
            interval.status = IntervalStatus.missing
            interval.values = [0] * _Block.VALUES_PER_INTERVAL
        else:
            interval.status = IntervalStatus(0)
            interval.values = meter.energy_a.intervals(t)
        intervals.append(interval)
    block.intervals = intervals
    return block


_HANDLERS = {
    _Format.event_log: _event_log,
    _Format.profile_log_1: _profile_log_1,
    _Format.profile_log_2: _profile_log_2,
    _Format.three_phase_profile_intervals: _intervals,
}
_MESSAGE_SIZES = {
    _Format.event_log: 4,
    _Format.profile_log_1: 4,
    _Format.profile_log_2: 4,
    _Format.three_phase_profile_intervals: 13,
}
