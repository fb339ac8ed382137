"""Common base of the meter-side failures raised by the transport client."""

from __future__ import annotations


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
