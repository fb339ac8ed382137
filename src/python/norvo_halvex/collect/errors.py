"""Failure codes of one collection step, and which of them are worth another try."""

from __future__ import annotations

from norvo_halvex.errors import rpc_status

# The mediator or the meter's link was away for a moment; the same read may well work
# a little later. Everything else (unknown serial, refused request, bad reply) will
# fail the same way again.
TRANSIENT_CODES = frozenset(
    {"UNAVAILABLE", "DEADLINE_EXCEEDED", "HALVEX_CONNECTION_FAILURE", "HALVEX_EOF_ERROR"}
)
# The connection's security failed (TLS, certificate, token, permission): the transport's
# explanation of the problem, in capitals, or the bare status. Trying again changes nothing.
SECURITY_CODES = frozenset(
    {"UNTRUSTED_CERTIFICATE", "HOSTNAME_MISMATCH", "HANDSHAKE_FAILED", "TLS_REFUSED", "TOKEN_UNREADABLE",
     "UNAUTHENTICATED", "PERMISSION_DENIED"}
)


def failure_code(exc: BaseException) -> tuple[str, str]:
    """(code, message) of a failure: one of ``SECURITY_CODES`` with the transport's
    explanation, the client's error-code name, the code of a transport exception passed
    through by a data-record operation, a gRPC status name, ``CODEC_ERROR``, or the
    exception's type name."""
    from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
    from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
    from norvo_halvex.mediator.grpc.exception.HalvexSecurityError import HalvexSecurityError
    from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
    from quarn_frame_protocol.errors import QuarnCodecError

    explained = HalvexSecurityError.behind(exc)
    if explained is not None:
        return str(explained.problem).upper(), str(explained.message)
    if isinstance(exc, MediatorClientException):
        return str(exc.code or "UNKNOWN"), str(exc.message or "")
    if isinstance(exc, HalvexConnectionFailure):
        return "HALVEX_CONNECTION_FAILURE", str(getattr(exc, "message", exc))
    if isinstance(exc, HalvexEOFError):
        return "HALVEX_EOF_ERROR", str(getattr(exc, "message", exc))
    if isinstance(exc, QuarnCodecError):
        return "CODEC_ERROR", str(exc)
    import grpc

    if isinstance(exc, grpc.RpcError):
        return rpc_status(exc)
    return type(exc).__name__, str(exc)


def is_transient(exc: BaseException) -> bool:
    return failure_code(exc)[0] in TRANSIENT_CODES
