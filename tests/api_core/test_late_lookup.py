"""Module-level names are looked up at each call, not bound at import."""

from __future__ import annotations

import grpc
import pytest

from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError

from support.logs import RecordingLogger
from support.transport import FakeTransport


class OtherMCE(Exception):
    pass


def test_replaced_transport_and_logger_are_used_by_later_calls(core):
    first = core.client("a")
    other = FakeTransport()
    other_log = RecordingLogger()
    core.set("HalvexMediatorGrpcClient", other.make_class())
    core.set("logger", other_log)
    second = core.client("b")
    assert len(core.transport.created) == 1 and len(other.created) == 1
    assert other_log.entries[0].bound == {"mediator_address": "b"}

    other.replies["read_element"] = ValueError("x")
    second._safe_read_element("HX1", 1)
    assert other_log.entries[-1].level == "error" and other_log.entries[-1].bound == {}
    assert first.grpc_client is not second.grpc_client


def test_replaced_exception_class_is_raised(core, client):
    core.set("MediatorClientException", OtherMCE)
    core.transport.replies["read_element"] = HalvexEOFError("eof")
    with pytest.raises(OtherMCE) as info:
        client._read_element("HX1", 1)
    assert info.value.args == ("HALVEX_EOF_ERROR", "eof")


def test_replaced_handler_classes_change_what_is_caught(core, client):
    class Flaky(Exception):
        message = "flaky link"

    core.set("HalvexEOFError", Flaky)
    core.transport.replies["read_element"] = Flaky()
    with pytest.raises(core.module.MediatorClientException) as info:
        client._read_element("HX1", 1)
    assert info.value.args == ("HALVEX_EOF_ERROR", "flaky link")

    core.set("HalvexEOFError", "not a class")
    with pytest.raises(TypeError, match="catching classes that do not inherit from BaseException") as info:
        client._read_element("HX1", 1)
    assert isinstance(info.value.__context__, Flaky)


def test_replaced_grpc_module(core, client):
    class FakeGrpc:
        class RpcError(Exception):
            def code(self):
                return grpc.StatusCode.NOT_FOUND

            def details(self):
                return "gone"

    core.set("grpc", FakeGrpc)
    core.transport.replies["send_message"] = FakeGrpc.RpcError()
    with pytest.raises(core.module.MediatorClientException) as info:
        client._send_message("HX1", b"")
    assert info.value.args == ("NOT_FOUND", "gone")


@pytest.mark.parametrize(
    "name, method, args, reply",
    [
        ("HalvexMediatorGrpcClient", "__init__", ("a",), None),
        ("logger", "__init__", ("a",), None),
        ("logging", "__init__", ("a",), None),
        ("MediatorClientException", "_read_element", ("HX1", 1), HalvexEOFError("e")),
        ("HalvexConnectionFailure", "_read_element", ("HX1", 1), ValueError("e")),
        ("HalvexEOFError", "_write_element", ("HX1", 1, b""), ValueError("e")),
        ("grpc", "_read_element", ("HX1", 1), ValueError("e")),
        ("grpc", "_send_message", ("HX1", b""), ValueError("e")),
        ("logger", "_safe_read_element", ("HX1", 1), ValueError("e")),
    ],
)
def test_deleted_name_is_a_name_error(core, client, name, method, args, reply):
    op = {"_read_element": "read_element", "_write_element": "write_element", "_send_message": "send_message"}
    if reply is not None:
        core.transport.replies[op.get(method, "read_element")] = reply
    core.monkeypatch.delattr(core.module, name)
    with pytest.raises(NameError) as info:
        getattr(type(client), method)(client, *args)
    assert str(info.value) == f"name '{name}' is not defined"
    assert info.value.name == name
    if reply is not None:
        assert info.value.__context__ is reply or isinstance(info.value.__context__, type(reply))


def test_names_are_not_needed_until_a_handler_runs(core, client):
    for name in ("HalvexConnectionFailure", "HalvexEOFError", "grpc", "MediatorClientException"):
        core.monkeypatch.delattr(core.module, name)
    core.transport.replies["read_element"] = "ok"
    assert client._read_element("HX1", 1) == "ok"


def test_builtins_are_the_fallback(core, client):
    # `Exception` is found among the builtins; a module-level binding shadows it.
    core.transport.replies["read_element"] = KeyError("k")
    assert client._safe_read_element("HX1", 1) is None
    core.set("Exception", ValueError)
    with pytest.raises(KeyError):
        client._safe_read_element("HX1", 1)
