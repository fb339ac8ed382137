"""gRPC transport to the Halvex mediator.

One client holds one channel to one mediator and may be shared by any number of
threads. Every call carries a deadline. By default nothing is retried: a write that
timed out may still have reached the meter, so only the caller can decide whether
to repeat it. Element reads may be retried on UNAVAILABLE when the settings ask for it.

How the client connects (TLS, client certificate, bearer token, deadline, keepalive,
interceptors) comes from ``ConnectionSettings``: the ``settings`` given, else the
``HALVEX_*`` environment variables (``ConnectionSettings.from_env()``).

Outcomes:
- the meter answered: the decoded record (``read_element``), None (``write_element``)
  or the reply bytes (``send_message``);
- the mediator answered but its leg to the meter failed: ``HalvexConnectionFailure``
  or ``HalvexEOFError``;
- TLS, token or permission trouble: ``HalvexSecurityError``, a ``grpc.RpcError`` with
  the original status whose details say what to fix;
- anything else (mediator down, deadline exceeded, unknown serial or object, bad
  request): the ``grpc.RpcError`` as gRPC raised it.
"""

from __future__ import annotations

import dataclasses
import json
import logging
import threading

import grpc

from norvo_halvex.mediator.grpc import halvex_mediator_pb2 as _pb
from norvo_halvex.mediator.grpc import halvex_mediator_pb2_grpc as _pb_grpc
from norvo_halvex.mediator.grpc.address import DEFAULT_MEDIATOR_ADDRESS, split_mediator_address
from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from norvo_halvex.mediator.grpc.security import ChannelSecurity
from norvo_halvex.mediator.grpc.settings import DEFAULT_TIMEOUT_SECONDS, ConnectionSettings
from quarn_frame_protocol.elements import decode_element
from quarn_frame_protocol.errors import QuarnCodecError
from quarn_frame_protocol.obis import describe_object_id

__all__ = [
    "DEFAULT_MEDIATOR_ADDRESS",
    "DEFAULT_TIMEOUT_SECONDS",
    "HalvexMediatorGrpcClient",
    "calls_made",
    "use_transport",
]

log = logging.getLogger("norvo_halvex.mediator.grpc")

_MAX_OBJECT_ID = 0xFFFFFFFF

_SERVICE = _pb.DESCRIPTOR.services_by_name["HalvexMediator"].full_name

_ReadElementRequest = _pb.ReadElementRequest
_WriteElementRequest = _pb.WriteElementRequest
_SendMessageRequest = _pb.SendMessageRequest
_OUTCOME_END_OF_STREAM = _pb.METER_OUTCOME_END_OF_STREAM

# Calls made by each thread: a caller that runs a job on one thread learns what the job cost.
_thread = threading.local()


def calls_made() -> int:
    """The calls this thread has made through any client so far, answered or not."""
    return getattr(_thread, "calls", 0)


def channel_options(settings: ConnectionSettings) -> list[tuple[str, object]]:
    """The gRPC channel options for ``settings``."""
    options: dict[str, object] = {
        # Only the retry policy below may apply: a service config published in DNS
        # must not switch retries on for writes.
        "grpc.service_config_disable_resolution": 1,
    }
    if settings.read_retries:
        options["grpc.enable_retries"] = 1
        options["grpc.service_config"] = json.dumps({
            "methodConfig": [{
                "name": [{"service": _SERVICE, "method": "ReadElement"}],
                "retryPolicy": {
                    "maxAttempts": settings.read_retries + 1,
                    "initialBackoff": "0.1s",
                    "maxBackoff": "2s",
                    "backoffMultiplier": 2,
                    "retryableStatusCodes": ["UNAVAILABLE"],
                },
            }],
        })
    else:
        # gRPC may otherwise replay a call it believes never left the client.
        options["grpc.enable_retries"] = 0
    if settings.keepalive is not None:
        options["grpc.keepalive_time_ms"] = max(1, round(settings.keepalive * 1000))
        options["grpc.keepalive_permit_without_calls"] = 1
        options["grpc.http2.max_pings_without_data"] = 0
    if settings.max_receive_message_length is not None:
        options["grpc.max_receive_message_length"] = settings.max_receive_message_length
    if settings.tls_server_name:
        options["grpc.ssl_target_name_override"] = settings.tls_server_name
    options.update(settings.channel_options)
    return list(options.items())


class HalvexMediatorGrpcClient:
    """Client of the mediator service for any number of meters.

    ``mediator_address`` is ``host:port``, ``[v6]:port``, ``dns:///host:port`` or
    ``unix:PATH`` (``address.parse_mediator_address`` says what is refused); None means
    ``DEFAULT_MEDIATOR_ADDRESS``. ``settings`` says how to connect; None means
    ``ConnectionSettings.from_env()``. ``timeout``, when given, replaces the settings'
    deadline (seconds per call). Certificate, key and token files are read here, so a
    missing or unusable file fails the construction. The channel is opened on first
    use and closed by ``close()`` (or by leaving a ``with`` block).
    """

    def __init__(
        self,
        mediator_address: str | None = DEFAULT_MEDIATOR_ADDRESS,
        *,
        settings: ConnectionSettings | None = None,
        timeout: float | None = None,
    ) -> None:
        if mediator_address is None:
            mediator_address = DEFAULT_MEDIATOR_ADDRESS
        if not isinstance(mediator_address, str):
            raise TypeError(
                f"mediator_address must be a str such as 'host:50051' or None, "
                f"got {type(mediator_address).__name__}"
            )
        address = split_mediator_address(mediator_address)
        if settings is None:
            settings = ConnectionSettings.from_env()
        elif not isinstance(settings, ConnectionSettings):
            raise TypeError(f"settings must be a ConnectionSettings or None, got {type(settings).__name__}")
        if timeout is not None:
            settings = dataclasses.replace(settings, timeout=timeout)
        self._security = ChannelSecurity(settings, address)
        self._settings = settings
        self._address = mediator_address
        self._target = address.target
        self._timeout = settings.timeout
        self._lock = threading.Lock()
        self._channel: grpc.Channel | None = None
        self._read = self._write = self._send = None
        # The client adds the token itself unless interceptors could see it there. Decided
        # here, not when the channel opens: a call that finds the stubs in place must never
        # find the token missing.
        self._token_per_call = self._security.token is not None and not settings.interceptors
        self._metadata = self._security.call_metadata if self._token_per_call else _no_metadata
        self._closed = False

    @property
    def mediator_address(self) -> str:
        return self._address

    @property
    def timeout(self) -> float:
        return self._timeout

    @property
    def settings(self) -> ConnectionSettings:
        return self._settings

    def __repr__(self) -> str:
        state = "closed" if self._closed else ("open" if self._channel is not None else "not connected")
        return f"<HalvexMediatorGrpcClient {self._address!r} {self._settings.describe()} {state}>"

    # -- channel ----------------------------------------------------------------------

    def _open(self) -> None:
        with self._lock:
            if self._closed:
                raise ValueError(f"HalvexMediatorGrpcClient for {self._address} is closed; create a new client")
            if self._channel is None:
                settings = self._settings
                options = channel_options(settings)
                credentials = self._security.channel_credentials(token_per_call=self._token_per_call)
                if credentials is None:
                    channel = grpc.insecure_channel(self._target, options=options)
                else:
                    channel = grpc.secure_channel(self._target, credentials, options=options)
                log.debug("opening channel to %s (%s)", self._target, settings.describe())
                calls = grpc.intercept_channel(channel, *settings.interceptors) if settings.interceptors else channel
                stub = _pb_grpc.HalvexMediatorStub(calls)
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
        reply = self._call(self._read or self._opened("_read"), _ReadElementRequest(serial=serial, object_id=object_id))
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
        reply = self._call(
            self._write or self._opened("_write"),
            _WriteElementRequest(serial=serial, object_id=object_id, payload=payload),
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
        reply = self._call(self._send or self._opened("_send"), _SendMessageRequest(serial=serial, message=message))
        status = reply.status
        if status.outcome:
            raise _meter_failure(status, serial, f"data record exchange ({_record_format_name(message)})")
        return reply.reply


    def _call(self, method, request):
        """One call with the deadline and (when the client adds it) the token."""
        _thread.calls = getattr(_thread, "calls", 0) + 1
        try:
            reply = method(request, timeout=self._timeout, metadata=self._metadata())
        except grpc.RpcError as e:
            error = e
        else:
            self._security.answered = True
            return reply
        # Raised outside the handler: an explained error must not carry gRPC's call object
        # as its context (it holds locks, so anything that pickles the chain would fail).
        raise self._security.explain(error)


def use_transport(api, transport: HalvexMediatorGrpcClient) -> bool:
    """Puts ``transport`` in place of the client a ``HalvexMediatorAPI`` built for itself
    (which never opened its channel) and closes that one, so the API connects with
    ``transport``'s settings. False (and nothing changed) when ``api`` holds no such client."""
    built = getattr(api, "grpc_client", None)
    if not isinstance(built, HalvexMediatorGrpcClient):
        return False
    api.grpc_client = transport
    built.close()
    return True


def _no_metadata() -> None:
    return None


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
