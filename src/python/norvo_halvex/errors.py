"""Every exception a caller of norvo_halvex can meet: where it is defined and when it comes.

Hierarchy (``module`` is where to import it from; the classes marked * are defined here and
re-exported by their historical modules, which stay the documented import paths)::

    Exception
    ├── MediatorClientException *      norvo_halvex.mediator.mediator_client_exception
    ├── HalvexMeterError *             norvo_halvex.mediator.grpc.exception.halvex_meter_error
    │   ├── HalvexConnectionFailure *  norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure
    │   └── HalvexEOFError *           norvo_halvex.mediator.grpc.exception.HalvexEOFError
    ├── grpc.RpcError                  grpc
    └── ValueError
        ├── QuarnCodecError            quarn_frame_protocol.errors
        ├── IntervalWindowError        norvo_halvex.meters.window
        ├── InvalidIntervals           norvo_halvex.meters.grid
        └── FleetError                 norvo_halvex.mediator.simulator

When, by the part that raises it:

``HalvexMediatorAPI`` (norvo_halvex.mediator.api_core)
    ``TypeError``
        An argument of the wrong type, before anything is sent: ``serial``, ``csv``,
        ``payload`` and the other arguments annotated ``str`` / ``bytes`` must be exactly
        those types; ``log_idx`` must convert to an int. Also a value the meter returned
        that has the wrong type ("Expected str, got bytes").
    ``MediatorClientException``
        An element read or write failed on the way to the meter. ``code`` says why:
        "HALVEX_CONNECTION_FAILURE" (the mediator could not reach the meter),
        "HALVEX_EOF_ERROR" (the meter's answer ended early) or a gRPC status name such as
        "UNAVAILABLE" or "DEADLINE_EXCEEDED" (the mediator itself); ``message`` is the
        detail. A gRPC failure of a data-record exchange (interval frames, profile logs,
        event log) comes the same way.
    ``HalvexConnectionFailure``, ``HalvexEOFError``
        The data-record operations (``three_phase_intervals``,
        ``_three_phase_intervals_read``, ``profile_log_1``, ``profile_log_2``,
        ``event_log``) pass the transport's meter-side failures through unchanged.
        ``message``, ``serial`` and ``operation`` say which meter and what.
    ``QuarnCodecError``
        A reply that does not decode as the expected record, or a request record that
        cannot be written.
    ``Exception`` (the plain type)
        ``three_phase_intervals`` with a bad explicit window: "start_time and end_time must
        be provided", "start_time must come before end_time", "max range between start_time
        and end_time is 24 hours"; before the meter is contacted.
    ``ValueError``
        ``event_log`` with an index outside 0..15 (``valid_event_log_idx``); ``obis_read`` /
        ``obis_write`` with a code that is not "C.D.E" (each part 0..255) or payload text
        that is not hexadecimal; ``clock_time_write`` at a time the meter clock cannot hold;
        a meter clock or interval block that makes no sense (bad date, interval lengths
        that differ between frames).
    ``OSError``
        ``three_phase_intervals`` could not write its CSV file ("cannot write the interval
        CSV (...)", naming the file); an existing file is then left as it was.

``HalvexMediatorGrpcClient`` (norvo_halvex.mediator.grpc.client), used directly
    ``HalvexConnectionFailure`` / ``HalvexEOFError``: the mediator answered, its leg to the
    meter failed. ``grpc.RpcError``: anything else (mediator unreachable, deadline exceeded,
    unknown serial or object, refused request). ``QuarnCodecError``: an element payload that
    does not decode. ``TypeError`` / ``ValueError``: bad arguments, or a closed client.

``norvo_halvex.meters``
    ``IntervalWindowError`` (a ``ValueError`` with ``reason``) from ``check_window`` and
    ``resolve_window``; ``InvalidIntervals`` (a ``ValueError`` with ``rule`` and ``value``)
    from ``check_frames``, for a download whose blocks break the meter's slot grid (the
    collector records it as ``INVALID_INTERVALS``, the tool exits 5); ``ValueError`` / ``TypeError`` from ``obis_object_id``,
    ``valid_event_log_idx`` and the interval types for values they refuse.

``norvo_halvex.files``
    ``OSError`` from creating, writing, syncing or renaming (the target is left as it was);
    ``FileNotFoundError`` when a writer given ``atomic_path`` wrote no file.

The simulator (norvo_halvex.mediator.simulator)
    ``FleetError`` for a fleet file or description that cannot be used (names the file and
    the entry); ``KeyError`` for a fault set on a serial the fleet does not have;
    ``OSError`` when it cannot listen on the address. Its calls fail towards clients as
    gRPC statuses, never as Python exceptions.
"""

from __future__ import annotations

from quarn_frame_protocol.errors import QuarnCodecError

from norvo_halvex.meters.window import IntervalWindowError

__all__ = [
    "HalvexConnectionFailure",
    "HalvexEOFError",
    "HalvexMeterError",
    "IntervalWindowError",
    "MediatorClientException",
    "QuarnCodecError",
]


class MediatorClientException(Exception):
    """A request to a meter through the mediator failed.

    ``code`` is an error-code name: "HALVEX_CONNECTION_FAILURE", "HALVEX_EOF_ERROR"
    or the name of a gRPC status code (for example "UNAVAILABLE"); ``message`` is
    the human-readable detail (possibly empty).
    """

    def __init__(self, code, message):
        super().__init__(code, message)
        self.code = code
        self.message = message

    def __str__(self) -> str:
        if self.message:
            return f"{self.code}: {self.message}"
        return str(self.code)


class HalvexMeterError(Exception):
    """The mediator was reached, but the leg from the mediator to the meter failed.

    ``message`` is the full human-readable text (it names the meter, the operation and
    the mediator's detail); ``serial`` and ``operation`` are kept for callers that want
    to act on them. Not a ``grpc.RpcError``: the mediator itself answered normally.
    """

    def __init__(self, message: str, *, serial: str | None = None, operation: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.serial = serial
        self.operation = operation

    def __str__(self) -> str:
        return self.message

    def __reduce__(self):
        # Keyword-only context would be lost by the default Exception pickling.
        return (_rebuild, (type(self), self.message, self.serial, self.operation))


def _rebuild(cls, message, serial, operation):
    return cls(message, serial=serial, operation=operation)


class HalvexConnectionFailure(HalvexMeterError):
    """The mediator reported that it could not connect to the meter.

    Usually transient (meter powered off, modem out of coverage): check the meter's
    power and signal, then try again later.
    """


class HalvexEOFError(HalvexMeterError):
    """The mediator reported that the meter's stream ended before the answer was complete.

    Some meters end the stream instead of answering for objects they do not hold
    (for example a missing phase); otherwise the link dropped mid-answer.
    """


def rpc_status(exc) -> tuple[str, str]:
    """How a ``grpc.RpcError`` reads in a report: (status name, details), whatever it fails to tell:
    ``"UNKNOWN"`` and ``""`` stand in for what cannot be read."""
    try:
        code = exc.code()
        status = getattr(code, "name", None) or str(code)
    except Exception:
        status = "UNKNOWN"
    try:
        details = exc.details() or ""
    except Exception:
        details = ""
    return status, str(details)
