"""Records as the core, the transport and the simulator use them."""

import datetime

import pytest

from quarn_frame_protocol.elements import decode_element, encode_element, record_type_for
from quarn_frame_protocol.errors import QuarnCodecError
from quarn_frame_protocol.generated.quarn_event_log_request import QuarnEventLogRequest
from quarn_frame_protocol.generated.quarn_profile_log_request import QuarnProfileLogRequest
from quarn_frame_protocol.generated.quarn_profile_three_phase_intervals_request import (
    QuarnProfileThreePhaseIntervalsRequest,
)
from quarn_frame_protocol.quarn_data import QuarnData
from quarn_frame_protocol.quarn_event_log_response import EventCode, QuarnEventLogResponse
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum
from quarn_frame_protocol.quarn_profile_log_1_response import quarn_decode_profile_log_1_response
from quarn_frame_protocol.quarn_profile_log_2_response import (
    QuarnProfileLog2Response,
    quarn_decode_profile_log_2_response,
)
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import (
    IntervalStatus,
    QuarnProfileThreePhaseIntervalsResponseBlock as Block,
)
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_frame import (
    QuarnProfileThreePhaseIntervalsResponseFrame as Frame,
)
from quarn_frame_protocol.stream import BytesIO, KaitaiStream
from quarn_frame_protocol.util import quarn_encode_object_id, quarn_obis_triplet_to_decimal

ProfileNumber = QuarnProfileThreePhaseIntervalsRequest.ProfileNumber
T0 = 1711843200  # 2024-03-31T00:00:00Z


def write(record, size):
    """What the C++ core does: _write into a zero-filled buffer, then to_byte_array."""
    io = KaitaiStream(BytesIO(bytearray(size)))
    record._write(io)
    return io.to_byte_array()


def stream(data):
    return KaitaiStream(BytesIO(data))


def interval_request(profile=ProfileNumber.profile_0, trailing=bytearray.fromhex("ffffffff")):
    r = QuarnProfileThreePhaseIntervalsRequest()
    r.profile_number = profile
    r.start_time = T0
    r.end_time = T0 + 4 * 3600
    r.trailing_fixed = trailing
    return r


def data_record(fmt, message):
    d = QuarnData(len(message))
    d.format = fmt
    d.message = message
    return write(d, len(message) + 1)


# ---------------------------------------------------------------- requests as the core builds them


def test_event_log_request_as_the_core_builds_it():
    r = QuarnEventLogRequest()
    r.object_id = quarn_encode_object_id(QuarnMessage.ObjectIdType.event_log)
    r.log_idx = 3
    message = write(r, 4)
    assert type(message) is bytes and message == bytes.fromhex("01f00300")
    record = data_record(QuarnData.RecordFormat.event_log, message)
    assert type(record) is bytes and record == bytes.fromhex("0401f00300")


@pytest.mark.parametrize(
    "fmt, first",
    [(QuarnData.RecordFormat.profile_log_1, 0x01), (QuarnData.RecordFormat.profile_log_2, 0x02)],
)
def test_profile_log_request_is_five_bytes(fmt, first):
    r = QuarnProfileLogRequest()
    r.timestamp = T0
    message = write(r, 4)
    assert message == bytes.fromhex("80a70866")
    assert data_record(fmt, message) == bytes([first]) + message


@pytest.mark.parametrize("trailing", [bytearray.fromhex("ffffffff"), b"\xff" * 4])
def test_interval_request_is_thirteen_then_fourteen_bytes(trailing):
    message = write(interval_request(trailing=trailing), 13)
    assert message == bytes.fromhex("0080a70866c0df0866ffffffff")
    record = data_record(QuarnData.RecordFormat.three_phase_profile_intervals, message)
    assert len(record) == 14 and record[0] == 3 and record[1:] == message


def test_requests_read_back():
    parsed = QuarnProfileThreePhaseIntervalsRequest(stream(write(interval_request(ProfileNumber.reset), 13)))
    parsed._read()
    assert parsed.profile_number is ProfileNumber.reset
    assert (parsed.start_time, parsed.end_time) == (T0, T0 + 4 * 3600)
    d = QuarnData(4, stream(bytes.fromhex("0401f00300")))
    d._read()
    assert d.format is QuarnData.RecordFormat.event_log and d.message == bytes.fromhex("01f00300")


@pytest.mark.parametrize(
    "mutate, error, text",
    [
        (lambda r: delattr(r, "log_idx"), QuarnCodecError, "field 'log_idx' is not set"),
        (lambda r: setattr(r, "log_idx", None), QuarnCodecError, "field 'log_idx' is not set"),
        (lambda r: setattr(r, "log_idx", 70000), QuarnCodecError, "must be 0..65535, got 70000"),
        (lambda r: setattr(r, "log_idx", -1), QuarnCodecError, "must be 0..65535"),
        (lambda r: setattr(r, "log_idx", "3"), TypeError, "field 'log_idx' must be an integer, got str"),
        (lambda r: setattr(r, "log_idx", 3.0), TypeError, "must be an integer, got float"),
    ],
)
def test_bad_fields_fail_before_anything_is_written(mutate, error, text):
    r = QuarnEventLogRequest()
    r.object_id = 0xF001
    r.log_idx = 3
    mutate(r)
    buffer = bytearray(4)
    with pytest.raises(error, match=text) as info:
        r._write(KaitaiStream(BytesIO(buffer)))
    assert "QuarnEventLogRequest" in str(info.value)
    assert buffer == bytearray(4)


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda: interval_request(trailing=b"\xff\xff\xff\x00"), "trailing_fixed must be ff ff ff ff"),
        (lambda: interval_request(trailing=b"\xff" * 5), "exactly 4 byte"),
        (lambda: interval_request(profile=QuarnData.RecordFormat.event_log), "takes a .*ProfileNumber member"),
    ],
)
def test_interval_request_refuses_bad_values(build, text):
    with pytest.raises((QuarnCodecError, TypeError), match=text):
        write(build(), 13)


def test_quarn_data_message_must_match_its_length():
    d = QuarnData(13)
    d.format = QuarnData.RecordFormat.three_phase_profile_intervals
    d.message = b"\x00" * 4
    with pytest.raises(QuarnCodecError, match="'message' must be exactly 13 byte"):
        write(d, 14)


@pytest.mark.parametrize("size, text", [(3, "buffer is too small"), (6, "exactly 4 byte")])
def test_buffer_must_fit_the_record_exactly(size, text):
    r = QuarnEventLogRequest(object_id=0xF001, log_idx=1)
    with pytest.raises(QuarnCodecError, match=text):
        write(r, size)


# ---------------------------------------------------------------- element payloads


ELEMENT_SAMPLES = [
    (ObjectIdEnum.serial, QuarnMessage.SerialRec(serial="HX1000001"), b"HX1000001"),
    (ObjectIdEnum.three_phase_serial, QuarnMessage.SerialRec(serial=""), b""),
    (ObjectIdEnum.hardware_version, QuarnMessage.HardwareVersionRec(hardware="HXS-100\x00\x00"), b"HXS-100\x00\x00"),
    (ObjectIdEnum.firmware_version, QuarnMessage.FirmwareVersionRec(version_bytes=b"0213"), b"0213"),
    (ObjectIdEnum.time, QuarnMessage.TimeRec(year=24, month=3, date=31, hour=1, minute=2, second=3,
                                             day_of_week=6), bytes.fromhex("18031f01020306")),
    (ObjectIdEnum.csq_net_op, QuarnMessage.CsqRec(csq=17), b"\x11"),
    (ObjectIdEnum.instantaneous_voltage, QuarnMessage.InstantaneousVoltageRec(voltage_raw=2301), b"\xfd\x08"),
    (ObjectIdEnum.element_b_instantaneous_active_power_import, QuarnMessage.ActivePowerRec(power=-1500),
     (-1500).to_bytes(4, "little", signed=True)),
    (ObjectIdEnum.read_element_a, QuarnMessage.ElementRegistersRec(import_active=1234, export_active=0,
     import_reactive=500, export_reactive=0xFFFFFFFF), bytes.fromhex("d2040000 00000000 f4010000 ffffffff")),
    (ObjectIdEnum.daylight_savings_correction_flag, QuarnMessage.DaylightSavingsCorrectionFlagRec(enabled_flag=1),
     b"\x01"),
    (ObjectIdEnum.backlight, QuarnMessage.BacklightSettingRec(setting=QuarnMessage.BacklightSettingType.auto), b"\x02"),
    (ObjectIdEnum.load_switch, QuarnMessage.LoadSwitchSettingRec(setting=QuarnMessage.LoadSwitchSettingType.connected),
     b"\x01"),
    (ObjectIdEnum.three_phase_hardware_configuration, QuarnMessage.ThreePhaseHardwareConfigurationRec(
        meter_type=QuarnMessage.ThreePhaseMeterType.cx_ct_operated), b"\x02"),
    (ObjectIdEnum.three_phase_total_apparent_export, QuarnMessage.U4leValueRec(value=0x01020304), b"\x04\x03\x02\x01"),
    (ObjectIdEnum.three_phase_instantaneous_voltage_l3, QuarnMessage.ThreePhaseVoltageRec(voltage=2301), b"\xfd\x08"),
    (quarn_obis_triplet_to_decimal("1.8.0"), QuarnMessage.RawPayloadRec(b"\x01\xab"), b"\x01\xab"),
]


@pytest.mark.parametrize("object_id, record, payload", ELEMENT_SAMPLES, ids=lambda v: getattr(v, "name", None))
def test_element_records_encode_and_decode(object_id, record, payload):
    assert type(record) is record_type_for(object_id)
    encoded = encode_element(record)
    assert type(encoded) is bytes and encoded == payload
    decoded = decode_element(object_id, payload)
    assert type(decoded) is type(record)
    assert decoded.as_dict() == record.as_dict()


def test_every_object_id_has_a_record_type_and_unknown_ids_are_raw():
    assert all(record_type_for(o) is not QuarnMessage.RawPayloadRec for o in ObjectIdEnum)
    assert record_type_for(0x7777) is QuarnMessage.RawPayloadRec
    assert decode_element(0x01FFFFFF, b"").payload == b""


def test_values_the_core_reads():
    assert decode_element(ObjectIdEnum.instantaneous_voltage, (2301).to_bytes(2, "little")).voltage == 2301 / 10
    setting = decode_element(ObjectIdEnum.backlight, b"\x01").setting
    assert setting is QuarnMessage.BacklightSettingType.on and setting.value == 1
    # Unknown enumeration values come back as plain integers instead of failing.
    assert decode_element(ObjectIdEnum.three_phase_hardware_configuration, b"\x09").meter_type == 9
    assert decode_element(ObjectIdEnum.load_switch, b"\xfe").setting == 254


def test_voltage_can_be_set_in_volts():
    r = QuarnMessage.InstantaneousVoltageRec()
    r.voltage = 230.1
    assert r.voltage_raw == 2301 and encode_element(r) == b"\xfd\x08"


@pytest.mark.parametrize(
    "object_id, payload, text",
    [
        (ObjectIdEnum.time, b"\x18\x03", "TimeRec: data too short: the record is 7 byte"),
        (ObjectIdEnum.csq_net_op, b"\x11\x00", "CsqRec: 1 unexpected byte"),
        (ObjectIdEnum.serial, b"HX\xff1", "SerialRec: text is not ASCII: byte 0xff at offset 2"),
        (ObjectIdEnum.read_element_b, b"", "ElementRegistersRec: data too short"),
    ],
)
def test_element_payloads_that_do_not_parse(object_id, payload, text):
    with pytest.raises(QuarnCodecError, match=text) as info:
        decode_element(object_id, payload)
    assert ObjectIdEnum(object_id).name in str(info.value)


def test_element_encoding_refuses_bad_records():
    with pytest.raises(QuarnCodecError, match="'serial' is not set"):
        encode_element(QuarnMessage.SerialRec())
    with pytest.raises(QuarnCodecError, match="must be ASCII text"):
        encode_element(QuarnMessage.SerialRec(serial="HX\u00e91"))
    with pytest.raises(TypeError, match="takes a .*BacklightSettingType member"):
        encode_element(QuarnMessage.BacklightSettingRec(setting=QuarnMessage.LoadSwitchSettingType.armed))
    with pytest.raises(TypeError, match="has no field 'serail'"):
        QuarnMessage.SerialRec(serail="X")
    with pytest.raises(TypeError, match="payload must be bytes"):
        decode_element(ObjectIdEnum.serial, None)


# ---------------------------------------------------------------- replies


def make_block(statuses=(0, IntervalStatus.missing)):
    blk = Block()
    blk.start_time = T0
    blk.interval_length = 1800
    blk.intervals = [
        Block.Interval(status=s, values=[i * 10 + k for k in range(6)]) for i, s in enumerate(statuses)
    ]
    return blk


def make_reply(block_bytes, profile=ProfileNumber.profile_0):
    frame = Frame()
    frame.profile_number = profile
    frame.frame_data = block_bytes
    return frame.to_bytes()


def test_interval_frame_and_block_as_the_core_reads_them():
    reply = make_reply(make_block().to_bytes())
    f = Frame(len(reply), stream(reply))
    f._read()
    assert f.profile_number is ProfileNumber.profile_0 and len(f.frame_data) == 8 + 2 * 25
    blk = Block(len(f.frame_data), stream(f.frame_data))
    blk._read()
    assert (blk.start_time, blk.interval_length) == (T0, 1800)
    assert [iv.values for iv in blk.intervals] == [[0, 1, 2, 3, 4, 5], [10, 11, 12, 13, 14, 15]]
    assert [bool(iv.status & IntervalStatus.missing) for iv in blk.intervals] == [False, True]
    assert blk.interval_start(1) == T0 + 1800


def test_empty_block_and_reset_acknowledgement():
    reply = make_reply(b"", ProfileNumber.reset)
    assert len(reply) == 5
    f = Frame(len(reply), stream(reply))
    f._read()
    assert f.frame_data == b"" and f.profile_number is ProfileNumber.reset
    blk = Block(None, stream(make_block(statuses=()).to_bytes()))
    blk._read()
    assert blk.intervals == []


@pytest.mark.parametrize(
    "corrupt, text",
    [
        (lambda r: r[:-1], "reply is 62 byte"),
        (lambda r: r + b"\x00", "reply is 64 byte"),
        (lambda r: r[:10] + bytes([r[10] ^ 1]) + r[11:], "checksum mismatch"),
        (lambda r: r[:3], "reply is 3 byte"),
        (lambda r: b"", "data too short"),
    ],
)
def test_corrupted_frames_are_refused(corrupt, text):
    reply = corrupt(make_reply(make_block().to_bytes()))
    with pytest.raises(QuarnCodecError, match=text):
        Frame(len(reply), stream(reply))._read()


@pytest.mark.parametrize(
    "data, text",
    [
        (make_block().to_bytes()[:-3], "declares 2 interval"),
        (make_block().to_bytes()[:6] + b"\x00\x00" + make_block().to_bytes()[8:], "declares 0 interval"),
        (bytes(4) + b"\x00\x00\x01\x00" + bytes(25), "interval_length is 0"),
    ],
)
def test_inconsistent_blocks_are_refused(data, text):
    with pytest.raises(QuarnCodecError, match=text):
        Block(len(data), stream(data))._read()


def test_event_log_response():
    events = [QuarnEventLogResponse.Event(time=T0 + i, code=code, detail=i) for i, code in
              enumerate([EventCode.power_down, EventCode.power_up, 999])]
    data = QuarnEventLogResponse(log_idx=3, events=events).to_bytes()
    assert data[:2] == b"\x03\x03" and len(data) == 2 + 3 * 8
    parsed = QuarnEventLogResponse(stream(data))
    parsed._read()
    assert parsed.log_idx == 3
    assert [e.code for e in parsed.events] == [EventCode.power_down, EventCode.power_up, 999]
    with pytest.raises(QuarnCodecError, match=r"QuarnEventLogResponse.Event: data too short: the record is 8 byte\(s\), got 7 at offset 18"):
        QuarnEventLogResponse(stream(data[:-1]))._read()
    with pytest.raises(QuarnCodecError, match="QuarnEventLogResponse: 2 unexpected byte"):
        QuarnEventLogResponse(stream(data + b"\x00\x00"))._read()


def profile_log_2_bytes(twin):
    values = QuarnProfileLog2Response.ElementValues
    rec = QuarnProfileLog2Response(twin, timestamp=T0, status=0,
                                   element_a=values(import_active=1, export_active=2, import_reactive=3,
                                                    export_reactive=4))
    if twin:
        rec.element_b = values(import_active=5, export_active=6, import_reactive=7, export_reactive=8)
    return rec.to_bytes()


def test_profile_logs():
    data = bytes.fromhex("80a70866") + b"\x01" + b"".join(v.to_bytes(4, "little") for v in (10, 20, 30, 40))
    p1 = quarn_decode_profile_log_1_response(data)
    assert (p1.timestamp, p1.import_active, p1.export_reactive) == (T0, 10, 40)
    twin = quarn_decode_profile_log_2_response(True, profile_log_2_bytes(True))
    assert twin.element_b.import_active == 5 and twin.element_a.export_reactive == 4
    single = quarn_decode_profile_log_2_response(0, profile_log_2_bytes(False))
    assert single.element_b is None and single.element_a.import_active == 1


@pytest.mark.parametrize(
    "decode, text",
    [
        (lambda: quarn_decode_profile_log_1_response(None), "no reply to decode"),
        (lambda: quarn_decode_profile_log_2_response(True, None), "no reply to decode"),
        (lambda: quarn_decode_profile_log_1_response(bytes(20)), "the record is 21 byte"),
        (lambda: quarn_decode_profile_log_2_response(False, profile_log_2_bytes(True)),
         "single-element reply is 21 bytes, got 37 .*twin-element flag"),
        (lambda: quarn_decode_profile_log_2_response(True, profile_log_2_bytes(False)),
         "twin-element reply is 37 bytes, got 21"),
    ],
)
def test_profile_log_replies_that_do_not_decode(decode, text):
    with pytest.raises(QuarnCodecError, match=text):
        decode()


# ---------------------------------------------------------------- text forms


@pytest.mark.parametrize(
    "record, text",
    [
        (QuarnEventLogRequest(object_id=0xF001, log_idx=3), "QuarnEventLogRequest(object_id=0xf001, log_idx=3)"),
        (QuarnEventLogRequest(log_idx=3), "QuarnEventLogRequest(object_id=<unset>, log_idx=3)"),
        (QuarnMessage.ThreePhaseHardwareConfigurationRec(meter_type=1),
         "ThreePhaseHardwareConfigurationRec(meter_type=ThreePhaseMeterType.ax_whole_current)"),
        (QuarnMessage.HardwareVersionRec(hardware="HXT\x00"), "HardwareVersionRec(hardware='HXT\\x00')"),
        (QuarnMessage.InstantaneousVoltageRec(voltage_raw=2301),
         "InstantaneousVoltageRec(voltage_raw=2301, voltage=230.1)"),
        (QuarnEventLogResponse(log_idx=3, events=[QuarnEventLogResponse.Event(time=T0, code=2, detail=0)]),
         "QuarnEventLogResponse(log_idx=3, events=[Event(time=1711843200 (2024-03-31T00:00:00Z), "
         "code=EventCode.power_down, detail=0)])"),
        (Block.Interval(status=IntervalStatus.missing | IntervalStatus.partial | 0x80, values=[0] * 6),
         "Interval(status=missing|partial|0x80, values=[0, 0, 0, 0, 0, 0])"),
        (QuarnData(2, format=9, message=b"\x00\x01"), "QuarnData(message_len=2, format=9, message=b'\\x00\\x01')"),
    ],
)
def test_text_forms(record, text):
    assert str(record) == text


def test_text_form_of_a_parsed_frame_shortens_long_data():
    reply = make_reply(make_block().to_bytes())
    f = Frame(len(reply), stream(reply))
    f._read()
    assert str(f).startswith("QuarnProfileThreePhaseIntervalsResponseFrame(length=63, "
                             "profile_number=ProfileNumber.profile_0, data_len=58, frame_data=<58 bytes: 80a70866")
