"""The error mapping evaluates `raise MediatorClientException(code, message)` in the interpreter's
order: the class name first, then the arguments left to right. With the name gone, the caller
sees the NameError and the exception's message/details were never asked for."""

from __future__ import annotations

import grpc
import pytest

from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError


def watched(base, asked):
    class Watched(base):
        @property
        def message(self):
            asked.append("message")
            return "watched"

        @message.setter
        def message(self, value):
            pass

    return Watched("x")


class WatchedRpc(grpc.RpcError):
    def __init__(self, asked):
        super().__init__()
        self.asked = asked

    def code(self):
        self.asked.append("code")
        return grpc.StatusCode.UNAVAILABLE

    def details(self):
        self.asked.append("details")
        return "down"


CASES = [
    ("_read_element", ("HX1", 1), "read_element", lambda asked: watched(HalvexConnectionFailure, asked), []),
    ("_write_element", ("HX1", 1, b"\x01"), "write_element", lambda asked: watched(HalvexEOFError, asked), []),
    # name = e.code().name is a statement of its own, before the raise
    ("_read_element", ("HX1", 1), "read_element", WatchedRpc, ["code"]),
    ("_send_message", ("HX1", b"\x01"), "send_message", WatchedRpc, ["code"]),
]
IDS = ["connection", "eof", "grpc-read", "grpc-send"]


@pytest.mark.parametrize("method, args, operation, make, expected", CASES, ids=IDS)
def test_class_is_looked_up_before_the_message(core, client, method, args, operation, make, expected):
    asked = []
    failure = make(asked)
    core.transport.replies[operation] = failure
    core.monkeypatch.delattr(core.module, "MediatorClientException")
    with pytest.raises(NameError, match="^name 'MediatorClientException' is not defined$") as info:
        getattr(client, method)(*args)
    assert info.value.__context__ is failure
    assert asked == expected


@pytest.mark.parametrize("method, args, operation, make, expected", CASES, ids=IDS)
def test_arguments_follow_the_class(core, client, method, args, operation, make, expected):
    asked = []

    class Recording(Exception):
        def __init__(self, code, message):
            asked.append("constructed")
            super().__init__(code, message)

    core.transport.replies[operation] = make(asked)
    core.set("MediatorClientException", Recording)
    with pytest.raises(Recording):
        getattr(client, method)(*args)
    assert asked == expected + (["details"] if expected else ["message"]) + ["constructed"]
