"""The exception callers of the meter API see for transport failures."""

from __future__ import annotations


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
