"""Element payloads: which record each meter object carries, and their encoding."""

from ._record import BYTES_LIKE, QuarnRecord
from .errors import QuarnCodecError
from .quarn_message import QuarnMessage, _object_label
from .stream import BytesIO, KaitaiStream


def record_type_for(object_id):
    """The record class of an object (``QuarnMessage.RawPayloadRec`` for unknown identifiers)."""
    return QuarnMessage.record_type_for(object_id)


def decode_element(object_id, payload):
    """The record held in an element payload; bytes that do not parse raise QuarnCodecError."""
    if not isinstance(payload, BYTES_LIKE):
        raise TypeError(f"element payload must be bytes, got {type(payload).__name__}")
    message = QuarnMessage(object_id, KaitaiStream(BytesIO(bytes(payload))))
    try:
        message._read()
    except QuarnCodecError as exc:
        raise QuarnCodecError(
            f"cannot decode the payload of object {_object_label(object_id)}: {exc}", exc.record
        ) from exc
    return message.body


def encode_element(record):
    """The payload bytes of an element record."""
    if not isinstance(record, QuarnRecord):
        raise TypeError(f"expected a Quarn record (e.g. QuarnMessage.SerialRec), got {type(record).__name__}")
    return record.to_bytes()
