"""Data records for SendMessage, built with the codec the way a caller builds them."""

from __future__ import annotations

from quarn_frame_protocol.generated.quarn_event_log_request import QuarnEventLogRequest
from quarn_frame_protocol.generated.quarn_profile_log_request import QuarnProfileLogRequest
from quarn_frame_protocol.quarn_data import QuarnData
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.util import quarn_encode_object_id


def data_record(fmt: QuarnData.RecordFormat, message: bytes) -> bytes:
    record = QuarnData(len(message))
    record.format = fmt
    record.message = message
    return record.to_bytes()


def event_log_request(idx: int, object_id: int | None = None) -> bytes:
    if object_id is None:
        object_id = quarn_encode_object_id(QuarnMessage.ObjectIdType.event_log)
    message = QuarnEventLogRequest(object_id=object_id, log_idx=idx).to_bytes()
    return data_record(QuarnData.RecordFormat.event_log, message)


def profile_log_1_request(timestamp: int = 1_750_000_000) -> bytes:
    message = QuarnProfileLogRequest(timestamp=timestamp).to_bytes()
    return data_record(QuarnData.RecordFormat.profile_log_1, message)
