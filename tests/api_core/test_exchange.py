"""The transport primitives: _read_element, _write_element, _send_message, _safe_read_element."""

from __future__ import annotations

import grpc
import pytest

from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException

from support.core import FakeObjectId
from support.hostile import FakeRpcError


class Text:
    def __str__(self):
        return "as text"


PRIMITIVES = {
    "_read_element": ("read_element", ("HX1", FakeObjectId.serial)),
    "_write_element": ("write_element", ("HX1", 7, b"\x01")),
    "_send_message": ("send_message", ("HX1", b"\x02\x03")),
}

# raised by the transport -> (code, message) of the MediatorClientException, or None: passes unchanged
ELEMENT_MAPPING = [
    (HalvexConnectionFailure("meter HX1 unreachable"), ("HALVEX_CONNECTION_FAILURE", "meter HX1 unreachable")),
    (HalvexEOFError("stream ended"), ("HALVEX_EOF_ERROR", "stream ended")),
    (FakeRpcError(grpc.StatusCode.UNAVAILABLE, "mediator down"), ("UNAVAILABLE", "mediator down")),
    (FakeRpcError(grpc.StatusCode.DEADLINE_EXCEEDED, None), ("DEADLINE_EXCEEDED", "")),
    (FakeRpcError(grpc.StatusCode.INTERNAL, ""), ("INTERNAL", "")),
    (FakeRpcError(grpc.StatusCode.INTERNAL, Text()), ("INTERNAL", "as text")),
    (FakeRpcError(grpc.StatusCode.INTERNAL, 0), ("INTERNAL", "")),
    (FakeRpcError(grpc.StatusCode.INTERNAL, 42), ("INTERNAL", "42")),
    (ValueError("bad"), None),
    (KeyboardInterrupt(), None),
]


@pytest.mark.parametrize("primitive", PRIMITIVES)
@pytest.mark.parametrize("raised, expected", ELEMENT_MAPPING, ids=lambda v: type(v).__name__)
def test_error_mapping(core, client, primitive, raised, expected):
    operation, args = PRIMITIVES[primitive]
    core.transport.replies[operation] = raised
    if primitive == "_send_message" and isinstance(raised, (HalvexConnectionFailure, HalvexEOFError)):
        expected = None  # only gRPC errors are mapped for raw messages
    with pytest.raises(BaseException) as info:
        getattr(client, primitive)(*args)
    if expected is None:
        assert info.value is raised
    else:
        assert type(info.value) is MediatorClientException
        assert info.value.args == expected
        assert (info.value.code, info.value.message) == expected
        assert info.value.__context__ is raised
        assert info.value.__cause__ is None and not info.value.__suppress_context__
    assert core.transport.calls == [(operation, args)]
    assert core.entries == []


def test_transport_message_is_passed_unconverted(core, client):
    error = HalvexConnectionFailure("x")
    error.message = ["not", "text"]
    core.transport.replies["read_element"] = error
    with pytest.raises(MediatorClientException) as info:
        client._read_element("HX1", 1)
    assert info.value.args[1] is error.message


def test_status_name_is_taken_before_details(core, client):
    order = []

    class Recording(grpc.RpcError):
        def code(self):
            order.append("code")
            return grpc.StatusCode.ABORTED

        def details(self):
            order.append("details")
            return "d"

    core.transport.replies["write_element"] = Recording()
    with pytest.raises(MediatorClientException):
        client._write_element("HX1", 1, b"")
    assert order == ["code", "details"]


@pytest.mark.parametrize(
    "broken",
    [
        type("NoCode", (grpc.RpcError,), {"details": lambda self: "x"})(),
        type("BadDetails", (grpc.RpcError,), {"code": lambda self: grpc.StatusCode.ABORTED,
                                              "details": lambda self: 1 / 0})(),
        type("BadTruth", (grpc.RpcError,), {"code": lambda self: grpc.StatusCode.ABORTED,
                                            "details": lambda self: type("T", (), {"__bool__": lambda s: 1 / 0})()})(),
    ],
    ids=["no code()", "details() raises", "details truth raises"],
)
def test_failing_handler_keeps_the_caught_exception_as_context(core, client, broken):
    core.transport.replies["read_element"] = broken
    with pytest.raises((AttributeError, ZeroDivisionError)) as info:
        client._read_element("HX1", 1)
    assert info.value.__context__ is broken


def test_transport_exception_without_message(core, client):
    error = HalvexEOFError("x")
    del error.message
    core.transport.replies["read_element"] = error
    with pytest.raises(AttributeError) as info:
        client._read_element("HX1", 1)
    assert info.value.__context__ is error


def test_handled_exception_is_restored(core, client):
    import sys

    core.transport.replies["read_element"] = HalvexEOFError("x")
    try:
        raise RuntimeError("outer")
    except RuntimeError as outer:
        with pytest.raises(MediatorClientException):
            client._read_element("HX1", 1)
        assert sys.exception() is outer


@pytest.mark.parametrize("reply", [None, 0, "", {"record": 1}, b"raw"])
def test_read_returns_reply_unchanged(core, client, reply):
    core.transport.replies["read_element"] = reply
    assert client._read_element("HX1", FakeObjectId.hardware_version) is reply
    assert core.transport.calls == [("read_element", ("HX1", FakeObjectId.hardware_version))]


def test_write_discards_the_transport_result(core, client):
    core.transport.replies["write_element"] = "ignored"
    assert client._write_element("HX1", 12, b"\x00\x01") is None
    assert core.transport.calls == [("write_element", ("HX1", 12, b"\x00\x01"))]


@pytest.mark.parametrize("reply", [b"\x01\x02", b"", None])
def test_send_message_passes_bytes_and_none(core, client, reply):
    core.transport.replies["send_message"] = reply
    assert client._send_message("HX1", b"\x05") is reply


@pytest.mark.parametrize("reply, name", [("text", "str"), (bytearray(b"x"), "bytearray"),
                                         (type("B", (bytes,), {})(b"x"), "B"), (memoryview(b"x"), "memoryview")])
def test_send_message_rejects_other_replies(core, client, reply, name):
    core.transport.replies["send_message"] = reply
    with pytest.raises(TypeError) as info:
        client._send_message("HX1", b"\x05")
    assert str(info.value) == f"Expected bytes, got {name}"
    assert info.value.__context__ is None
    assert core.transport.calls == [("send_message", ("HX1", b"\x05"))]


def test_missing_transport_attribute_is_not_mapped(core, client):
    del client.grpc_client
    with pytest.raises(AttributeError, match="grpc_client"):
        client._read_element("HX1", 1)


# ---- _safe_read_element --------------------------------------------------------------------

@pytest.mark.parametrize(
    "element_id, shown",
    [(FakeObjectId.three_phase_total_active_import, "three_phase_total_active_import"), (1234, "1234"),
     (True, "True"), ("name-less text", "name-less text")],
)
def test_safe_read_logs_failure_and_returns_none(core, client, element_id, shown):
    core.transport.replies["read_element"] = HalvexConnectionFailure("meter HX1 unreachable")
    assert client._safe_read_element("HX1", element_id) is None
    expected_text = str(MediatorClientException("HALVEX_CONNECTION_FAILURE", "meter HX1 unreachable"))
    assert core.entries == [
        ("error", f"Failed to read element {shown}. Exception: {expected_text}", (("serial", "HX1"),))
    ]
    assert core.entries[0].bound == {}  # the module logger, not self.log


def test_safe_read_formats_like_an_fstring(core, client):
    class Named:
        def __init__(self, name):
            self.name = name

    class Odd(Exception):
        def __format__(self, format_spec):
            return f"formatted<{format_spec}>"

    core.transport.replies["read_element"] = Odd("x")
    client._safe_read_element("HX1", Named(3.5))
    client._safe_read_element("HX1", Named(10**30))
    assert [e.message for e in core.entries] == [
        "Failed to read element 3.5. Exception: formatted<>",
        f"Failed to read element {10**30}. Exception: formatted<>",
    ]


def test_safe_read_computes_text_before_name(core, client):
    order = []

    class Element:
        def __str__(self):
            order.append("str")
            return "text"

        @property
        def name(self):
            order.append("name")
            return "the name"

    core.transport.replies["read_element"] = ValueError("v")
    client._safe_read_element("HX1", Element())
    assert order == ["str", "name"]
    assert core.entries[0].message == "Failed to read element the name. Exception: v"


@pytest.mark.parametrize("value", [None, 0, False, "", {"rec": 1}])
def test_safe_read_returns_successful_values(core, client, value):
    core.transport.replies["read_element"] = value
    assert client._safe_read_element("HX1", 5) is value
    assert core.entries == []


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_safe_read_lets_non_exceptions_through(core, client, exc):
    core.transport.replies["read_element"] = exc
    with pytest.raises(BaseException) as info:
        client._safe_read_element("HX1", 5)
    assert info.value is exc
    assert core.entries == []


def test_safe_read_goes_through_the_object(core, client):
    calls = []

    class Sub(core.module.HalvexMediatorAPI):
        def _read_element(self, serial, object_id):
            calls.append((serial, object_id))
            raise HalvexEOFError("raw")

    sub = Sub("a")
    assert sub._safe_read_element("HX9", 3) is None
    assert calls == [("HX9", 3)]
    assert core.entries[-1] == ("error", "Failed to read element 3. Exception: raw", (("serial", "HX9"),))

    client._read_element = lambda serial, object_id: "from instance"
    assert client._safe_read_element("HX1", 1) == "from instance"


def test_safe_read_log_failure_propagates_with_context(core, client):
    boom = RuntimeError("logger broken")

    class Broken:
        def error(self, *a, **k):
            raise boom

    core.set("logger", Broken())
    core.transport.replies["read_element"] = ValueError("read failed")
    with pytest.raises(RuntimeError) as info:
        client._safe_read_element("HX1", 1)
    assert info.value is boom and isinstance(info.value.__context__, ValueError)


def test_safe_read_recursion_ends_in_recursion_error_logged(core, client):
    """An instance whose _read_element loops back into _safe_read_element must not crash."""
    client._read_element = client._safe_read_element
    assert client._safe_read_element("HX1", 1) is None
    # the innermost call logs the RecursionError; every level above it returns None normally
    assert len(core.entries) == 1 and "maximum recursion depth exceeded" in core.entries[0].message
