"""The mediator connection failed for a security reason the user can fix."""

from __future__ import annotations

import grpc


class HalvexSecurityError(grpc.RpcError):
    """A gRPC failure explained: TLS handshake, untrusted certificate, refused or
    unreadable token, operation not permitted for the credential.

    It stays a ``grpc.RpcError`` with the original status (``code()``), so callers that
    map gRPC failures by status keep working; ``details()`` says what went wrong and
    what to change, followed by gRPC's own words. ``problem`` is a stable key
    (``untrusted_certificate``, ``hostname_mismatch``, ``handshake_failed``,
    ``tls_refused``, ``token_unreadable``, ``unauthenticated``, ``permission_denied``),
    ``hint`` the advice alone, ``error`` the original gRPC error.
    """

    def __init__(self, problem: str, explanation: str, hint: str, error: grpc.RpcError) -> None:
        self.problem = problem
        self.hint = hint
        self.error = error
        self._code = error.code()
        original = error.details() or ""
        self._details = f"{explanation}; {hint}" + (f" (gRPC: {original})" if original else "")
        super().__init__(self._details)

    def __reduce__(self):
        # The original call object does not pickle; code and texts are enough elsewhere.
        return (_rebuild, (type(self), self.problem, self.hint, self._code, self._details))

    def code(self):
        return self._code

    def details(self) -> str:
        return self._details

    def __str__(self) -> str:
        return f"{self._code.name}: {self._details}"

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


def _rebuild(cls, problem, hint, code, details):
    err = cls.__new__(cls)
    grpc.RpcError.__init__(err, details)
    err.problem, err.hint, err.error, err._code, err._details = problem, hint, None, code, details
    return err
