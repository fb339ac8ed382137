"""gRPC transport to the Halvex mediator.

One client holds one channel to one mediator and may be shared by any number of
threads. Every call carries a deadline and nothing is ever retried: a write that
timed out may still have reached the meter, so only the caller can decide whether
to repeat it.

Outcomes:
- the meter answered: the decoded record (``read_element``), None (``write_element``)
  or the reply bytes (``send_message``);
- the mediator answered but its leg to the meter failed: ``HalvexConnectionFailure``
  or ``HalvexEOFError``;
- anything else (mediator down, deadline exceeded, unknown serial or object, bad
  request): the ``grpc.RpcError`` as gRPC raised it.
"""

from __future__ import annotations

import threading

import grpc

from norvo_halvex.mediator.grpc import halvex_mediator_pb2 as _pb
from norvo_halvex.mediator.grpc import halvex_mediator_pb2_grpc as _pb_grpc
from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from norvo_halvex.meters.obis import describe_object_id
from quarn_frame_protocol.elements import decode_element
from quarn_frame_protocol.errors import QuarnCodecError

__all__ = [
    "DEFAULT_MEDIATOR_ADDRESS",
    "DEFAULT_TIMEOUT_SECONDS",
    "HalvexMediatorGrpcClient",
]

#: Mediator address used when none (or None) is given.
DEFAULT_MEDIATOR_ADDRESS = "0.0.0.0:50051"

#: Deadline of every call, in seconds. A meter behind a slow modem link answers
#: within a few seconds; ten leaves room for that without letting a dead mediator
#: hold a caller for long.
DEFAULT_TIMEOUT_SECONDS = 10.0

_MAX_OBJECT_ID = 0xFFFFFFFF

# gRPC may otherwise replay a call it believes never left the client; this client
# promises no retries at all.
_CHANNEL_OPTIONS = (("grpc.enable_retries", 0),)

_ReadElementRequest = _pb.ReadElementRequest
_WriteElementRequest = _pb.WriteElementRequest
_SendMessageRequest = _pb.SendMessageRequest
_OUTCOME_END_OF_STREAM = _pb.METER_OUTCOME_END_OF_STREAM


class HalvexMediatorGrpcClient:
    """Client of the mediator service for any number of meters.

    ``mediator_address`` is a gRPC target such as ``"mediator.example:50051"``; None
    means ``DEFAULT_MEDIATOR_ADDRESS``. ``timeout`` is the deadline of each call in
    seconds; None means ``DEFAULT_TIMEOUT_SECONDS``. The channel is opened on first
    use and closed by ``close()`` (or by leaving a ``with`` block).
    """

    def __init__(
        self,
        mediator_address: str | None = DEFAULT_MEDIATOR_ADDRESS,
        *,
        timeout: float | None = DEFAULT_TIMEOUT_SECONDS,
    ) -> None:
        if mediator_address is None:
            mediator_address = DEFAULT_MEDIATOR_ADDRESS
        if not isinstance(mediator_address, str):
            raise TypeError(
                f"mediator_address must be a str such as 'host:50051' or None, "
                f"got {type(mediator_address).__name__}"
            )
        if not mediator_address.strip():
            raise ValueError("mediator_address must not be empty; use 'host:port', e.g. '127.0.0.1:50051'")
        if timeout is None:
            timeout = DEFAULT_TIMEOUT_SECONDS
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
            raise TypeError(f"timeout must be a number of seconds, got {type(timeout).__name__}")
        if not timeout > 0:
            raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
        self._address = mediator_address
        self._timeout = float(timeout)
        self._lock = threading.Lock()
        self._channel: grpc.Channel | None = None
        self._read = self._write = self._send = None
        self._closed = False

    @property
    def mediator_address(self) -> str:
        return self._address

    @property
    def timeout(self) -> float:
        return self._timeout

    def __repr__(self) -> str:
        state = "closed" if self._closed else ("open" if self._channel is not None else "not connected")
        return f"<HalvexMediatorGrpcClient {self._address!r} timeout={self._timeout:g}s {state}>"

    # -- channel ----------------------------------------------------------------------

    def _open(self) -> None:
        with self._lock:
            if self._closed:
                raise ValueError(f"HalvexMediatorGrpcClient for {self._address} is closed; create a new client")
            if self._channel is None:
                channel = grpc.insecure_channel(self._address, options=_CHANNEL_OPTIONS)
                stub = _pb_grpc.HalvexMediatorStub(channel)
                self._read = stub.ReadElement
                self._write = stub.WriteElement
                self._send = stub.SendMessage
                self._channel = channel

    def _opened(self, name: str):
        """The stub method kept in attribute ``name``, once the channel is open (first use)."""
        self._open()
        return getattr(self, name)

    def close(self) -> None:
        """Closes the channel; calls still in flight are cancelled. Idempotent."""
        with self._lock:
            channel, self._channel = self._channel, None
            self._read = self._write = self._send = None
            self._closed = True
        if channel is not None:
            channel.close()

    def __enter__(self) -> HalvexMediatorGrpcClient:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    # -- operations -------------------------------------------------------------------

    def read_element(self, serial: str, object_id: int):
        """Reads one object of meter ``serial`` and returns its decoded record."""
        _check_element_args(serial, object_id)
        call = self._read
        if call is None:
            call = self._opened("_read")
        reply = call(_ReadElementRequest(serial=serial, object_id=object_id), timeout=self._timeout)
        status = reply.status
        if status.outcome:
            raise _meter_failure(status, serial, f"read of {describe_object_id(object_id)}")
        try:
            return decode_element(object_id, reply.payload)
        except QuarnCodecError as e:
            raise QuarnCodecError(
                f"Meter {serial}: read of {describe_object_id(object_id)} returned a payload that does not decode "
                f"({len(reply.payload)} bytes: {reply.payload[:32].hex()}): {e}",
                e.record,
            ) from e

    def write_element(self, serial: str, object_id: int, payload: bytes) -> None:
        """Writes ``payload`` to one object of meter ``serial``. Never retried."""
        _check_element_args(serial, object_id)
        if type(payload) is not bytes:
            _bad_bytes("payload", payload)
        call = self._write
        if call is None:
            call = self._opened("_write")
        reply = call(
            _WriteElementRequest(serial=serial, object_id=object_id, payload=payload), timeout=self._timeout
        )
        status = reply.status
        if status.outcome:
            raise _meter_failure(status, serial, f"write of {describe_object_id(object_id)}")

    def send_message(self, serial: str, message: bytes) -> bytes:
        """Sends one encoded Quarn data record to meter ``serial`` and returns the reply bytes."""
        if type(serial) is not str:
            _bad_serial(serial)
        if type(message) is not bytes:
            _bad_bytes("message", message)
        call = self._send
        if call is None:
            call = self._opened("_send")
        reply = call(_SendMessageRequest(serial=serial, message=message), timeout=self._timeout)
        status = reply.status
        if status.outcome:
            raise _meter_failure(status, serial, f"data record exchange ({_record_format_name(message)})")
        return reply.reply


def _check_element_args(serial, object_id) -> None:
    """The argument checks of read_element and write_element: two type tests when all is well."""
    if type(serial) is not str:
        _bad_serial(serial)
    if type(object_id) is not int:
        _check_object_id(object_id)
    elif not 0 <= object_id <= _MAX_OBJECT_ID:
        _check_object_id(object_id)


# -- failure path helpers (kept out of the per-call path) ---------------------------------


def _bad_serial(serial) -> None:
    raise TypeError(f"serial must be a str (the meter's serial number), got {type(serial).__name__}")


def _bad_bytes(name: str, value) -> None:
    raise TypeError(f"{name} must be bytes, got {type(value).__name__}")


def _check_object_id(object_id) -> None:
    if isinstance(object_id, bool) or not isinstance(object_id, int):
        raise TypeError(
            f"object_id must be an ObjectIdEnum member or an int, got {type(object_id).__name__}"
        )
    if not 0 <= object_id <= _MAX_OBJECT_ID:
        raise ValueError(f"object_id must be between 0 and 0xFFFFFFFF, got {int(object_id)}")


def _record_format_name(message: bytes) -> str:
    if not message:
        return "empty data record"
    try:
        from quarn_frame_protocol.quarn_data import QuarnData

        return f"record format {QuarnData.RecordFormat(message[0]).name}"
    except Exception:
        return f"record format 0x{message[0]:02x}"


def _meter_failure(status, serial: str, operation: str) -> Exception:
    detail = status.message or "no detail given"
    if status.outcome == _OUTCOME_END_OF_STREAM:
        return HalvexEOFError(
            f"Meter {serial}: {operation} failed: the meter's stream ended before its answer was complete "
            f"(mediator: {detail}). The meter may not hold this object, or the link dropped; try again.",
            serial=serial,
            operation=operation,
        )
    if status.outcome == _pb.METER_OUTCOME_CONNECTION_FAILURE:
        reason = "the mediator could not connect to the meter"
    else:
        reason = f"the mediator reported meter outcome {status.outcome}, unknown to this client"
    return HalvexConnectionFailure(
        f"Meter {serial}: {operation} failed: {reason} (mediator: {detail}). "
        f"Check that the meter is powered and has signal, then try again.",
        serial=serial,
        operation=operation,
    )
