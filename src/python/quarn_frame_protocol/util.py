"""Conversions the client needs around the records: times, object identifiers, OBIS codes."""

import datetime

from .obis import OBIS_OBJECT_BASE, obis_object_id
from .quarn_message import QuarnMessage
from .stream import BytesIO, KaitaiStream

_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
_ONE_SECOND = datetime.timedelta(seconds=1)
_U32_MAX = 0xFFFFFFFF

# Log objects addressed inside data records live in this page of the identifier space,
# away from ObjectIdEnum's values and the OBIS identifiers.
LOG_OBJECT_PAGE = 0xF000

__all__ = [
    "LOG_OBJECT_PAGE",
    "OBIS_OBJECT_BASE",
    "quarn_datetime_to_epoch_seconds",
    "quarn_encode_datetime_to_time_rec",
    "quarn_encode_object_id",
    "quarn_format_firmware_version",
    "quarn_obis_triplet_to_decimal",
]


def _aware(dt, what):
    if not isinstance(dt, datetime.datetime):
        raise TypeError(f"{what} must be a datetime.datetime, got {type(dt).__name__}")
    if dt.utcoffset() is None:
        raise ValueError(
            f"a time zone is required: {what} {dt.isoformat()} is a naive date-time; "
            f"give it one, e.g. tzinfo=datetime.timezone.utc"
        )
    return dt


def quarn_datetime_to_epoch_seconds(dt):
    """Whole seconds since 1970-01-01 UTC (fractions dropped) of an aware date-time, as the
    meter's u32 time fields hold them."""
    _aware(dt, "the date-time")
    seconds = (dt - _EPOCH) // _ONE_SECOND
    if not 0 <= seconds <= _U32_MAX:
        raise ValueError(
            f"{dt.isoformat()} cannot be sent to a meter: its times run from "
            f"1970-01-01T00:00:00+00:00 to 2106-02-07T06:28:15+00:00"
        )
    return seconds


def quarn_encode_datetime_to_time_rec(dt):
    """The clock payload (``QuarnMessage.TimeRec``, 7 bytes) for an aware date-time, in UTC."""
    _aware(dt, "the clock time")
    utc = dt.astimezone(datetime.timezone.utc)
    if not 2000 <= utc.year <= 2255:
        raise ValueError(f"the meter clock holds the years 2000..2255, got {utc.year} ({utc.isoformat()})")
    rec = QuarnMessage.TimeRec()
    rec.year = utc.year - 2000
    rec.month = utc.month
    rec.date = utc.day
    rec.hour = utc.hour
    rec.minute = utc.minute
    rec.second = utc.second
    rec.day_of_week = utc.weekday()
    io = KaitaiStream(BytesIO(bytearray(rec._SIZE)))
    rec._write(io)
    return bytes(io.to_byte_array())


def quarn_encode_object_id(object_type):
    """``object_id`` of a log object (a ``QuarnMessage.ObjectIdType`` member) in data records."""
    if isinstance(object_type, bool) or not isinstance(object_type, int):
        raise TypeError(f"expected a QuarnMessage.ObjectIdType member, got {type(object_type).__name__}")
    try:
        member = QuarnMessage.ObjectIdType(object_type)
    except ValueError:
        names = ", ".join(m.name for m in QuarnMessage.ObjectIdType)
        raise ValueError(f"{int(object_type)} is not a QuarnMessage.ObjectIdType (one of: {names})") from None
    return LOG_OBJECT_PAGE | member.value


def quarn_format_firmware_version(text):
    """Readable firmware version from the meter's 4-character version text.

    Four digits "MMmm" read as major.minor: "0213" -> "2.13". Other printable ASCII text is
    returned unchanged; anything else as the hexadecimal of its characters.
    """
    if not isinstance(text, str):
        raise TypeError(f"the firmware version must be text (str) of 4 characters, got {type(text).__name__}")
    if len(text) != 4:
        raise ValueError(f"the firmware version text must be 4 characters, got {len(text)}: {text!r}")
    if text.isascii() and text.isdigit():
        return f"{int(text[:2])}.{text[2:]}"
    if text.isascii() and text.isprintable():
        return text
    return "".join(f"{ord(c):02x}" for c in text)


def quarn_obis_triplet_to_decimal(text):
    """Object identifier of the OBIS object "C.D.E": 0x01000000 | C << 16 | D << 8 | E
    (``quarn_frame_protocol.obis.obis_object_id``)."""
    return obis_object_id(text)
