"""The fake transport: stands in for HalvexMediatorGrpcClient wherever the core builds one; and
an interceptor that notes the calls of a real one."""

from __future__ import annotations

from typing import Any

import grpc

OPERATIONS = ("read_element", "write_element", "send_message")


class _Real:
    def __repr__(self) -> str:
        return "REAL"


REAL: Any = _Real()  # an answer: what the fake's mediator says


def returns(value: Any):
    """An answer that returns `value` as it is, even a callable or an exception object."""
    return lambda *args: value


class FakeTransport:
    """Records every call in `calls` as (operation, args) and answers it with, in this order:
    `script[n]` for the n-th call (of any operation), `replies[(operation, object_id)]` or
    `replies[operation]`, then `default`.

    An answer is returned as it is, except that an exception object is raised, a callable (not a
    class) is called with the call's arguments and its result returned, and REAL asks `mediator`
    (an object with the transport's three methods, such as the hardening suites' FleetMediator).

    `make_class()` gives a class to put into the core's namespace: each client the core builds
    gets an instance of its own that answers through this fake; the constructor arguments land in
    `created`.
    """

    def __init__(self, script=(), default: Any = None, *, mediator: Any = None):
        self.script = script
        self.default = default
        self.replies: dict[Any, Any] = {}
        self.mediator = mediator
        self.calls: list[tuple[str, tuple]] = []
        self.created: list[dict[str, Any]] = []
        self.n = 0

    def reset(self, script=(), default: Any = None) -> None:
        """A new script and default; forgets the calls and constructions so far."""
        self.script, self.default, self.n = script, default, 0
        self.calls.clear()
        self.created.clear()

    def _reply(self, operation: str, args: tuple) -> Any:
        n = self.n
        self.n += 1
        if n < len(self.script):
            return self.script[n]
        if not self.replies:  # leaves hostile object ids unhashed
            return self.default
        key = (operation, args[1]) if operation != "send_message" else operation
        try:
            if key in self.replies:
                return self.replies[key]
        except TypeError:  # unhashable object id
            pass
        return self.replies.get(operation, self.default)

    def answer(self, operation: str, args: tuple) -> Any:
        self.calls.append((operation, args))
        reply = self._reply(operation, args)
        if reply is REAL:
            return getattr(self.mediator, operation)(*args)
        if isinstance(reply, BaseException):
            raise reply
        if callable(reply) and not isinstance(reply, type):
            return reply(*args)
        return reply

    def read_element(self, serial, object_id):
        return self.answer("read_element", (serial, object_id))

    def write_element(self, serial, object_id, payload):
        return self.answer("write_element", (serial, object_id, payload))

    def send_message(self, serial, message):
        return self.answer("send_message", (serial, message))

    def make_class(self) -> type:
        fake = self

        def __init__(self, *args: Any, **kwargs: Any) -> None:
            fake.created.append({"args": args, "kwargs": kwargs})

        operations = {name: staticmethod(getattr(fake, name)) for name in OPERATIONS}
        return type("FakeTransportClient", (), {"__init__": __init__, "__module__": __name__, **operations})


class RecordingInterceptor(grpc.UnaryUnaryClientInterceptor):
    """Notes (name, method, timeout, metadata keys) of every call that passes it in `seen`, which
    several interceptors may share."""

    def __init__(self, name: str = "", seen: list | None = None):
        self.name = name
        self.seen: list[tuple[str, str, Any, list[str]]] = [] if seen is None else seen

    def intercept_unary_unary(self, continuation, details, request):
        self.seen.append((self.name, details.method, details.timeout, [key for key, _ in details.metadata or ()]))
        return continuation(details, request)
