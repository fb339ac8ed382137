"""Properties over arbitrary data: any bytes parse or fail with QuarnCodecError, and whatever
parses (or is built from valid field values) writes back to the same bytes."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quarn_frame_protocol.elements import decode_element, encode_element
from quarn_frame_protocol.errors import QuarnCodecError
from quarn_frame_protocol.generated.quarn_event_log_request import QuarnEventLogRequest
from quarn_frame_protocol.generated.quarn_profile_log_request import QuarnProfileLogRequest
from quarn_frame_protocol.generated.quarn_profile_three_phase_intervals_request import (
    QuarnProfileThreePhaseIntervalsRequest,
)
from quarn_frame_protocol.quarn_data import QuarnData
from quarn_frame_protocol.quarn_event_log_response import QuarnEventLogResponse
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum
from quarn_frame_protocol.quarn_profile_log_1_response import (
    QuarnProfileLog1Response,
    quarn_decode_profile_log_1_response,
)
from quarn_frame_protocol.quarn_profile_log_2_response import (
    QuarnProfileLog2Response,
    quarn_decode_profile_log_2_response,
)
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import (
    QuarnProfileThreePhaseIntervalsResponseBlock as Block,
)
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_frame import (
    QuarnProfileThreePhaseIntervalsResponseFrame as Frame,
)
from quarn_frame_protocol.stream import BytesIO, KaitaiStream


def _read(record):
    record._read()
    return record


def _s(data):
    return KaitaiStream(BytesIO(data))


PARSERS = {
    "data": lambda b: _read(QuarnData(max(len(b) - 1, 0), _s(b))),
    "event_log_request": lambda b: _read(QuarnEventLogRequest(_s(b))),
    "profile_log_request": lambda b: _read(QuarnProfileLogRequest(_s(b))),
    "interval_request": lambda b: _read(QuarnProfileThreePhaseIntervalsRequest(_s(b))),
    "frame": lambda b: _read(Frame(len(b), _s(b))),
    "block": lambda b: _read(Block(len(b), _s(b))),
    "event_log_response": lambda b: _read(QuarnEventLogResponse(_s(b))),
    "profile_log_1": quarn_decode_profile_log_1_response,
    "profile_log_2_single": lambda b: quarn_decode_profile_log_2_response(False, b),
    "profile_log_2_twin": lambda b: quarn_decode_profile_log_2_response(True, b),
}
PARSERS.update({f"element_{o.name}": (lambda o: lambda b: decode_element(o, b))(o) for o in ObjectIdEnum})


@pytest.mark.parametrize("name", sorted(PARSERS))
@settings(max_examples=60, deadline=None)
@given(data=st.binary(max_size=80))
def test_any_bytes_parse_or_raise_codec_error_and_parsed_bytes_write_back(name, data):
    try:
        record = PARSERS[name](data)
    except QuarnCodecError as exc:
        assert str(exc)
        return
    assert record.to_bytes() == data
    assert str(record)


def test_frames_with_valid_checksums_round_trip():
    # Random bytes almost never carry a valid checksum; build frames around random blocks instead.
    @settings(max_examples=50, deadline=None)
    @given(st.binary(max_size=300))
    def check(frame_data):
        reply = Frame(frame_data=frame_data, profile_number=0).to_bytes()
        parsed = _read(Frame(len(reply), _s(reply)))
        assert parsed.frame_data == frame_data and parsed.to_bytes() == reply

    check()


u1 = st.integers(0, 0xFF)
u2 = st.integers(0, 0xFFFF)
u4 = st.integers(0, 0xFFFFFFFF)
ascii_text = st.text(st.characters(max_codepoint=0x7F), max_size=20)

intervals = st.builds(Block.Interval, status=u1, values=st.lists(u4, min_size=6, max_size=6))
element_values = st.builds(QuarnProfileLog2Response.ElementValues, import_active=u4, export_active=u4,
                           import_reactive=u4, export_reactive=u4)

ROUND_TRIPS = {
    "serial": (st.builds(QuarnMessage.SerialRec, serial=ascii_text), lambda b: decode_element(ObjectIdEnum.serial, b)),
    "hardware": (st.builds(QuarnMessage.HardwareVersionRec, hardware=ascii_text),
                 lambda b: decode_element(ObjectIdEnum.hardware_version, b)),
    "time": (st.builds(QuarnMessage.TimeRec, year=u1, month=u1, date=u1, hour=u1, minute=u1, second=u1,
                       day_of_week=u1), lambda b: decode_element(ObjectIdEnum.time, b)),
    "power": (st.builds(QuarnMessage.ActivePowerRec, power=st.integers(-(2**31), 2**31 - 1)),
              lambda b: decode_element(ObjectIdEnum.instantaneous_active_power, b)),
    "registers": (st.builds(QuarnMessage.ElementRegistersRec, import_active=u4, export_active=u4,
                            import_reactive=u4, export_reactive=u4),
                  lambda b: decode_element(ObjectIdEnum.read_element_a, b)),
    "raw": (st.builds(QuarnMessage.RawPayloadRec, payload=st.binary(max_size=40)),
            lambda b: decode_element(0x01010800, b)),
    "interval_request": (
        st.builds(QuarnProfileThreePhaseIntervalsRequest, profile_number=u1, start_time=u4, end_time=u4,
                  trailing_fixed=st.just(b"\xff" * 4)),
        PARSERS["interval_request"]),
    "event_log_response": (
        st.builds(QuarnEventLogResponse, log_idx=u1, events=st.lists(
            st.builds(QuarnEventLogResponse.Event, time=u4, code=u2, detail=u2), max_size=5)),
        PARSERS["event_log_response"]),
    "block": (st.builds(Block, start_time=u4, interval_length=st.integers(1, 0xFFFF),
                        intervals=st.lists(intervals, max_size=5)), PARSERS["block"]),
    "profile_log_1": (st.builds(QuarnProfileLog1Response, timestamp=u4, status=u1, import_active=u4,
                                export_active=u4, import_reactive=u4, export_reactive=u4),
                      PARSERS["profile_log_1"]),
    "profile_log_2_twin": (st.builds(QuarnProfileLog2Response, st.just(True), timestamp=u4, status=u1,
                                     element_a=element_values, element_b=element_values),
                           PARSERS["profile_log_2_twin"]),
}


ELEMENT_ROUND_TRIPS = {"serial", "hardware", "time", "power", "registers", "raw"}


@pytest.mark.parametrize("name", sorted(ROUND_TRIPS))
@settings(max_examples=40, deadline=None)
@given(data=st.data())
def test_valid_field_values_round_trip(name, data):
    strategy, parse = ROUND_TRIPS[name]
    record = data.draw(strategy)
    encoded = encode_element(record) if name in ELEMENT_ROUND_TRIPS else record.to_bytes()
    parsed = parse(encoded)
    assert parsed.as_dict() == record.as_dict()
    assert parsed.to_bytes() == encoded
