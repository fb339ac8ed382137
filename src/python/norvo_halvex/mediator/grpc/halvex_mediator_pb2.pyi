from google.protobuf.internal import enum_type_wrapper as _enum_type_wrapper
from google.protobuf import descriptor as _descriptor
from google.protobuf import message as _message
from collections.abc import Mapping as _Mapping
from typing import ClassVar as _ClassVar, Optional as _Optional, Union as _Union

DESCRIPTOR: _descriptor.FileDescriptor

class MeterOutcome(int, metaclass=_enum_type_wrapper.EnumTypeWrapper):
    __slots__ = ()
    METER_OUTCOME_OK: _ClassVar[MeterOutcome]
    METER_OUTCOME_CONNECTION_FAILURE: _ClassVar[MeterOutcome]
    METER_OUTCOME_END_OF_STREAM: _ClassVar[MeterOutcome]
METER_OUTCOME_OK: MeterOutcome
METER_OUTCOME_CONNECTION_FAILURE: MeterOutcome
METER_OUTCOME_END_OF_STREAM: MeterOutcome

class MeterStatus(_message.Message):
    __slots__ = ("outcome", "message")
    OUTCOME_FIELD_NUMBER: _ClassVar[int]
    MESSAGE_FIELD_NUMBER: _ClassVar[int]
    outcome: MeterOutcome
    message: str
    def __init__(self, outcome: _Optional[_Union[MeterOutcome, str]] = ..., message: _Optional[str] = ...) -> None: ...

class ReadElementRequest(_message.Message):
    __slots__ = ("serial", "object_id")
    SERIAL_FIELD_NUMBER: _ClassVar[int]
    OBJECT_ID_FIELD_NUMBER: _ClassVar[int]
    serial: str
    object_id: int
    def __init__(self, serial: _Optional[str] = ..., object_id: _Optional[int] = ...) -> None: ...

class ReadElementReply(_message.Message):
    __slots__ = ("status", "payload")
    STATUS_FIELD_NUMBER: _ClassVar[int]
    PAYLOAD_FIELD_NUMBER: _ClassVar[int]
    status: MeterStatus
    payload: bytes
    def __init__(self, status: _Optional[_Union[MeterStatus, _Mapping]] = ..., payload: _Optional[bytes] = ...) -> None: ...

class WriteElementRequest(_message.Message):
    __slots__ = ("serial", "object_id", "payload")
    SERIAL_FIELD_NUMBER: _ClassVar[int]
    OBJECT_ID_FIELD_NUMBER: _ClassVar[int]
    PAYLOAD_FIELD_NUMBER: _ClassVar[int]
    serial: str
    object_id: int
    payload: bytes
    def __init__(self, serial: _Optional[str] = ..., object_id: _Optional[int] = ..., payload: _Optional[bytes] = ...) -> None: ...

class WriteElementReply(_message.Message):
    __slots__ = ("status",)
    STATUS_FIELD_NUMBER: _ClassVar[int]
    status: MeterStatus
    def __init__(self, status: _Optional[_Union[MeterStatus, _Mapping]] = ...) -> None: ...

class SendMessageRequest(_message.Message):
    __slots__ = ("serial", "message")
    SERIAL_FIELD_NUMBER: _ClassVar[int]
    MESSAGE_FIELD_NUMBER: _ClassVar[int]
    serial: str
    message: bytes
    def __init__(self, serial: _Optional[str] = ..., message: _Optional[bytes] = ...) -> None: ...

class SendMessageReply(_message.Message):
    __slots__ = ("status", "reply")
    STATUS_FIELD_NUMBER: _ClassVar[int]
    REPLY_FIELD_NUMBER: _ClassVar[int]
    status: MeterStatus
    reply: bytes
    def __init__(self, status: _Optional[_Union[MeterStatus, _Mapping]] = ..., reply: _Optional[bytes] = ...) -> None: ...
