"""What a failure means, for whoever reports it: one map from any exception to a ``Failure``.

``classify(exc)`` gives the stable code, the exit code of the command line tool, the cause
in a few words, the detail and a hint. The tool prints it and exits with its code; the
collector records ``ledger_code`` in its attempts ledger and tries a read again only when
the failure is ``transient``. Which exceptions exist and when they come: ``norvo_halvex.errors``.
"""

from __future__ import annotations

import dataclasses
import enum
import errno as _errno
from collections.abc import Iterable

from quarn_frame_protocol.errors import QuarnCodecError

from norvo_halvex.errors import HalvexConnectionFailure, HalvexEOFError, MediatorClientException, rpc_status
from norvo_halvex.meters.grid import InvalidIntervals


class ExitCode(enum.IntEnum):
    OK = 0
    UNEXPECTED = 1
    USAGE = 2
    METER = 3
    MEDIATOR = 4
    BAD_REPLY = 5
    PARTIAL = 6
    ENVIRONMENT = 7
    SECURITY = 8
    INTERRUPTED = 130
    OUTPUT_CLOSED = 141


EXIT_CODE_MEANINGS = {
    ExitCode.OK: "success",
    ExitCode.UNEXPECTED: "unexpected error: a bug, or the library is not built",
    ExitCode.USAGE: "usage: bad command, option or value; a meter write not confirmed",
    ExitCode.METER: "the meter failed (connection, early end of stream) or is not known",
    ExitCode.MEDIATOR: "the mediator failed or cannot be reached",
    ExitCode.BAD_REPLY: "the meter's reply does not decode, or its intervals break the meter's grid",
    ExitCode.PARTIAL: "partial: some values or meters failed, the rest are good",
    ExitCode.ENVIRONMENT: "this machine: output path unwritable or a folder, disk full, port in use",
    ExitCode.SECURITY: "security: TLS handshake or certificate, authentication or permission refused",
    ExitCode.INTERRUPTED: "interrupted (Ctrl-C)",
    ExitCode.OUTPUT_CLOSED: "the output was closed early (| head): printing stopped, the work did not",
}


#: The order in which failures of different kinds decide the exit code of a run in which
#: every meter (or meter-day) failed: the first kind among them wins. The credentials and the
#: mediator stop every meter; this machine, a reply and a meter stop only some.
ALL_FAILED_PRECEDENCE = (ExitCode.SECURITY, ExitCode.MEDIATOR, ExitCode.ENVIRONMENT, ExitCode.BAD_REPLY,
                         ExitCode.METER, ExitCode.UNEXPECTED)


def all_failed_exit_code(codes: Iterable[ExitCode]) -> ExitCode:
    """The exit code of a run in which everything failed, with the exit codes ``codes``:
    theirs when they all share one, else the first of them in ``ALL_FAILED_PRECEDENCE``."""
    found = set(codes)
    if len(found) == 1:
        return found.pop()
    return next((code for code in ALL_FAILED_PRECEDENCE if code in found), ExitCode.UNEXPECTED)


class UsageError(Exception):
    """A command line value the tool refuses before contacting anything."""


class SetupError(Exception):
    """The installation itself is broken (the compiled core is missing, say)."""


class LocalError(Exception):
    """A problem of this machine rather than of the meter or the mediator: an output
    path that cannot be written, a full disk, a port already in use."""

    def __init__(self, message: str, *, code: str = "LOCAL", cause: str = "local problem",
                 attempted: bool = True) -> None:
        super().__init__(message)
        self.code = code
        self.cause = cause
        self.attempted = attempted  # False: found before anything was sent


# The mediator or the meter's link was away for a moment; the same read may well work a
# little later. Everything else (unknown serial, refused request, bad reply) will fail the
# same way again.
TRANSIENT_CODES = frozenset({"UNAVAILABLE", "DEADLINE_EXCEEDED", "HALVEX_CONNECTION_FAILURE", "HALVEX_EOF_ERROR"})
# The mediator itself (not one meter) could not be used.
MEDIATOR_CODES = frozenset({"UNAVAILABLE", "DEADLINE_EXCEEDED"})
# The connection's security failed (TLS, certificate, token, permission), as the ledger
# names it: the transport's explanation in capitals, or the bare status. Trying again
# changes nothing.
SECURITY_CODES = frozenset(
    {"UNTRUSTED_CERTIFICATE", "CERTIFICATE_EXPIRED", "CERTIFICATE_NOT_YET_VALID", "HOSTNAME_MISMATCH",
     "SERVER_NOT_TLS", "HANDSHAKE_FAILED", "TLS_REFUSED", "TOKEN_UNREADABLE", "UNAUTHENTICATED", "PERMISSION_DENIED"}
)


@dataclasses.dataclass(frozen=True)
class Failure:
    """A classified failure: what went wrong, in words and as a stable code."""

    exit_code: ExitCode
    code: str  # HALVEX_CONNECTION_FAILURE, a gRPC status name, CODEC_ERROR, USAGE, ...
    cause: str  # short words: "connection failure", "mediator unreachable", ...
    message: str
    hint: str | None = None
    attempted: bool = True  # False: refused before any meter or mediator was contacted
    problem: str | None = None  # the transport's explanation of a security failure

    @property
    def ledger_code(self) -> str:
        """The code a ledger keeps: a security failure by what was wrong
        (``UNTRUSTED_CERTIFICATE``), whatever gRPC status carried it; else ``code``."""
        return self.problem.upper() if self.problem else self.code

    @property
    def transient(self) -> bool:
        """Worth another try a little later."""
        return self.ledger_code in TRANSIENT_CODES

    def as_dict(self) -> dict:
        out = {"code": self.code, "cause": self.cause, "message": self.message, "exit_code": int(self.exit_code)}
        if self.hint:
            out["hint"] = self.hint
        return out


# Meter-side codes the mediator reports (through MediatorClientException) and their words.
_METER_CODES = {
    "HALVEX_CONNECTION_FAILURE": "connection failure",
    "HALVEX_EOF_ERROR": "meter stream ended early",
}

_GRPC_WORDS = {
    "UNAVAILABLE": "mediator unreachable",
    "DEADLINE_EXCEEDED": "mediator timed out",
    "NOT_FOUND": "not found",
    "INVALID_ARGUMENT": "request refused by the mediator",
    "UNIMPLEMENTED": "operation not supported by the mediator",
    "PERMISSION_DENIED": "permission denied by the mediator",
    "UNAUTHENTICATED": "not authenticated with the mediator",
    "RESOURCE_EXHAUSTED": "mediator busy",
    "CANCELLED": "request cancelled",
}

UNREACHABLE_HINT = "check --mediator or HALVEX_MEDIATOR"
TOKEN_HINT = "check --token-file or HALVEX_TOKEN_FILE"

# HalvexSecurityError.problem -> short words.
_SECURITY_WORDS = {
    "untrusted_certificate": "mediator certificate not trusted",
    "certificate_expired": "mediator certificate expired",
    "certificate_not_yet_valid": "mediator certificate not valid yet",
    "hostname_mismatch": "mediator certificate name mismatch",
    "server_not_tls": "mediator does not speak TLS",
    "handshake_failed": "TLS handshake failed",
    "tls_refused": "TLS handshake refused",
    "token_unreadable": "token file unreadable",
    "unauthenticated": "not authenticated with the mediator",
    "permission_denied": "permission denied by the mediator",
}

# Operating-system errors the user can do something about, in words.
_OS_WORDS = {
    _errno.ENOSPC: ("disk full", "free some space or write somewhere else"),
    _errno.EDQUOT: ("disk quota exceeded", "free some space or write somewhere else"),
    _errno.EACCES: ("permission denied", None),
    _errno.EPERM: ("operation not permitted", None),
    _errno.EROFS: ("read-only file system", None),
    _errno.EISDIR: ("is a directory", None),
    _errno.ENOENT: ("no such file or folder", None),
    _errno.ENOTDIR: ("not a folder", None),
    _errno.EADDRINUSE: ("address in use", None),
    _errno.EIO: ("input/output error", None),
}


def _os_failure(exc: OSError) -> Failure:
    number = exc.errno
    code = _errno.errorcode.get(number, "OS_ERROR") if number is not None else "OS_ERROR"
    cause, hint = _OS_WORDS.get(number, ("system error", None))
    if exc.strerror and exc.filename is not None:
        message = f"{exc.filename}: {exc.strerror}"
    else:
        message = exc.strerror or str(exc)
    return Failure(ExitCode.ENVIRONMENT, code, cause, message, hint)


def unreachable_hint(mediator: str | None) -> str:
    """What to check when the mediator at ``mediator`` (if known) could not be used."""
    return f"{UNREACHABLE_HINT} (now {mediator})" if mediator else UNREACHABLE_HINT


def _grpc_failure(status: str, details: str, mediator: str | None) -> Failure:
    cause = _GRPC_WORDS.get(status, "mediator error")
    # An unknown serial or an object the meter does not hold: the meter's problem, not the mediator's.
    exit_code = ExitCode.METER if status == "NOT_FOUND" else ExitCode.MEDIATOR
    hint = None
    if status in MEDIATOR_CODES:
        hint = unreachable_hint(mediator)
    elif status == "UNAUTHENTICATED":
        exit_code, hint = ExitCode.SECURITY, TOKEN_HINT
    return Failure(exit_code, status, cause, details, hint)


def _security_failure(found) -> Failure:
    """The transport's explained TLS / token / permission failure (a ``HalvexSecurityError``)."""
    status, details = rpc_status(found)
    problem = str(found.problem)
    cause = _SECURITY_WORDS.get(problem, "security problem")
    return Failure(ExitCode.SECURITY, status, cause, str(found.message or details), problem=problem)


def _interrupted_query(exc: BaseException) -> bool:
    # DuckDB turns a Ctrl-C that comes during one of its statements into an error of its own.
    return type(exc).__name__ == "InterruptException" or (type(exc) is RuntimeError and str(exc) == "Query interrupted")


def classify(exc: BaseException, *, mediator: str | None = None) -> Failure:
    """Turns any exception into a ``Failure``; ``mediator`` (the address in use) goes into
    the hint of an unreachable one."""
    if isinstance(exc, UsageError):
        return Failure(ExitCode.USAGE, "USAGE", "invalid argument", str(exc))
    if isinstance(exc, SetupError):
        return Failure(ExitCode.UNEXPECTED, "SETUP", "library not usable", str(exc))
    if isinstance(exc, LocalError):
        return Failure(ExitCode.ENVIRONMENT, exc.code, exc.cause, str(exc), attempted=exc.attempted)
    if isinstance(exc, KeyboardInterrupt) or _interrupted_query(exc):
        return Failure(ExitCode.INTERRUPTED, "INTERRUPTED", "interrupted", "")
    # The transport's types load gRPC, which reporting a usage error need not wait for.
    import grpc

    from norvo_halvex.mediator.grpc.exception.HalvexSecurityError import HalvexSecurityError

    found = HalvexSecurityError.behind(exc)
    if found is not None:
        return _security_failure(found)
    if isinstance(exc, MediatorClientException):
        code = str(getattr(exc, "code", "") or "")
        message = str(getattr(exc, "message", "") or "")
        if code in _METER_CODES:
            return Failure(ExitCode.METER, code, _METER_CODES[code], message)
        return _grpc_failure(code or "UNKNOWN", message, mediator)
    # Data-record operations let the transport's own failures through unchanged.
    if isinstance(exc, HalvexConnectionFailure):
        code = "HALVEX_CONNECTION_FAILURE"
        return Failure(ExitCode.METER, code, _METER_CODES[code], str(getattr(exc, "message", exc)))
    if isinstance(exc, HalvexEOFError):
        code = "HALVEX_EOF_ERROR"
        return Failure(ExitCode.METER, code, _METER_CODES[code], str(getattr(exc, "message", exc)))
    if isinstance(exc, grpc.RpcError):
        status, details = rpc_status(exc)
        return _grpc_failure(status, details, mediator)
    if isinstance(exc, QuarnCodecError):
        return Failure(ExitCode.BAD_REPLY, "CODEC_ERROR", "reply does not decode", str(exc))
    if isinstance(exc, InvalidIntervals):
        return Failure(ExitCode.BAD_REPLY, "INVALID_INTERVALS", "intervals off the meter's grid", str(exc),
                       "the mediator's interval frames are wrong: nothing of them was kept")
    if isinstance(exc, OSError):
        return _os_failure(exc)
    if isinstance(exc, NotImplementedError):
        return Failure(ExitCode.UNEXPECTED, "NOT_IMPLEMENTED", "not implemented in this build", str(exc))
    return Failure(ExitCode.UNEXPECTED, type(exc).__name__, "unexpected error", str(exc))
