"""The mediator connection failed for a security reason the user can fix."""

from __future__ import annotations

import grpc


# How far back a chain of exceptions is searched: a cycle must not loop for ever.
_MAX_CHAIN = 8


class HalvexSecurityError(grpc.RpcError):
    """A gRPC failure explained: TLS handshake, untrusted certificate, refused or
    unreadable token, operation not permitted for the credential.

    It stays a ``grpc.RpcError`` with the original status and details (``code()``,
    ``details()``: gRPC's or the mediator's own words, unchanged), so callers that map
    gRPC failures keep working. What went wrong and what to change are added:
    ``explanation``, ``hint``, and both with the original details in ``message`` (also
    ``str()``). ``problem`` is a stable key: ``untrusted_certificate``,
    ``hostname_mismatch``, ``server_not_tls``, ``handshake_failed``, ``tls_refused``, ``token_unreadable``,
    ``unauthenticated`` or ``permission_denied``. ``error`` is the original gRPC error.
    """

    def __init__(self, problem: str, explanation: str, hint: str, error: grpc.RpcError | None) -> None:
        self.problem = problem
        self.explanation = explanation
        self.hint = hint
        self.error = error
        self._code = error.code() if error is not None else grpc.StatusCode.UNKNOWN
        self._details = (error.details() if error is not None else None) or ""
        self.message = f"{explanation}; {hint}" + (f" ({self._details})" if self._details else "")
        super().__init__(self.message)

    @classmethod
    def behind(cls, exc: BaseException | None) -> HalvexSecurityError | None:
        """The explained failure that ``exc`` is, or that stands in its chain of causes (the
        meter API raises its own exception while handling the transport's); else None."""
        for _ in range(_MAX_CHAIN):
            if exc is None or isinstance(exc, cls):
                return exc
            exc = exc.__cause__ or exc.__context__
        return None

    @classmethod
    def from_status(cls, problem: str, explanation: str, hint: str, code, details: str) -> HalvexSecurityError:
        """One that no gRPC call raised (found before the call was made)."""
        return cls(problem, explanation, hint, _Status(code, details))

    def __reduce__(self):
        # The original call object does not pickle; status and texts are enough elsewhere.
        return (_rebuild, (type(self), self.problem, self.explanation, self.hint, self._code, self._details))

    def code(self):
        return self._code

    def details(self) -> str:
        return self._details

    def __str__(self) -> str:
        return f"{self._code.name}: {self.message}"

    # The rest of the grpc.Call surface, for code that inspects the original call.
    def initial_metadata(self):
        return _ask(self.error, "initial_metadata")

    def trailing_metadata(self):
        return _ask(self.error, "trailing_metadata")

    def debug_error_string(self):
        return _ask(self.error, "debug_error_string")


def _ask(error, name):
    method = getattr(error, name, None)
    return method() if callable(method) else None


class _Status:
    """Stands in for the original call after unpickling: answers code() and details()."""

    def __init__(self, code, details):
        self._code, self._details = code, details

    def code(self):
        return self._code

    def details(self):
        return self._details


def _rebuild(cls, problem, explanation, hint, code, details):
    return cls.from_status(problem, explanation, hint, code, details)
