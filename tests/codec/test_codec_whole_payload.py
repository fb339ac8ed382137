"""The four records that are one whole payload: each reads, checks and writes its one field."""

from __future__ import annotations

import pytest

from quarn_frame_protocol.errors import QuarnCodecError
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.stream import BytesIO, KaitaiStream

M = QuarnMessage
RECORDS = [
    (M.SerialRec, "serial", "HX3000001", b"HX3000001"),
    (M.HardwareVersionRec, "hardware", "HXS-110\x00\x00", b"HXS-110\x00\x00"),
    (M.FirmwareVersionRec, "version_bytes", b"\x00\xff12", b"\x00\xff12"),
    (M.RawPayloadRec, "payload", b"", b""),
]


@pytest.mark.parametrize("cls, field, value, wire", RECORDS, ids=[r[0].__name__ for r in RECORDS])
def test_round_trip_of_the_whole_payload(cls, field, value, wire):
    rec = cls(**{field: value})
    io = KaitaiStream(BytesIO(bytearray(rec._wire_size())))
    rec._write(io)
    assert bytes(io.to_byte_array()) == wire
    back = cls(KaitaiStream(BytesIO(wire)))
    back._read()
    assert getattr(back, field) == value and type(getattr(back, field)) is type(value)
    assert cls._fields == (field,)


@pytest.mark.parametrize(
    "cls, field, bad, error",
    [
        (M.SerialRec, "serial", b"HX1", TypeError),
        (M.HardwareVersionRec, "hardware", "HX\u00e9", QuarnCodecError),
        (M.FirmwareVersionRec, "version_bytes", "0213", TypeError),
        (M.RawPayloadRec, "payload", [1, 2], TypeError),
    ],
)
def test_a_field_of_the_wrong_kind_is_refused_before_writing(cls, field, bad, error):
    rec = cls(**{field: bad})
    with pytest.raises(error, match=f"{cls.__name__}.*'{field}'"):
        rec._write(KaitaiStream(BytesIO(bytearray(8))))


@pytest.mark.parametrize("cls", [M.SerialRec, M.HardwareVersionRec])
def test_text_records_refuse_bytes_that_are_not_ascii(cls):
    with pytest.raises(QuarnCodecError, match="not ASCII"):
        cls(KaitaiStream(BytesIO(b"HX\xff")))._read()
