"""Raw object access by OBIS code: obis_read, obis_write."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException

OBJ_180 = 0x01010800  # "1.8.0"


def test_read_logs_hex_and_returns_the_payload(core, client):
    payload = b"\x01\xab"
    core.transport.replies[("read_element", OBJ_180)] = SimpleNamespace(payload=payload)
    assert client.obis_read("HX1", "1.8.0") is payload
    assert core.transport.calls == [("read_element", ("HX1", OBJ_180))]
    assert core.entries == [("info", "obis_read", (("obis", "1.8.0"), ("result", "01ab"), ("serial", "HX1")))]


def test_read_refuses_a_bytearray_after_logging_it(core, client):
    core.transport.replies["read_element"] = SimpleNamespace(payload=bytearray(b"\x0f"))
    with pytest.raises(TypeError, match="^Expected bytes, got bytearray$"):
        client.obis_read("HX1", "1.8.0")
    assert core.entries == [("info", "obis_read", (("obis", "1.8.0"), ("result", "0f"), ("serial", "HX1")))]


@pytest.mark.parametrize(
    "reply, error",
    [
        (SimpleNamespace(payload=None), AttributeError),
        (SimpleNamespace(), AttributeError),
        (HalvexConnectionFailure("down"), MediatorClientException),
    ],
    ids=["none-payload", "no-payload", "transport"],
)
def test_read_failures_log_nothing(core, client, reply, error):
    core.transport.replies["read_element"] = reply
    with pytest.raises(error):
        client.obis_read("HX1", "1.8.0")
    assert core.entries == []


@pytest.mark.parametrize(
    "text, payload",
    [("0A ff 10", b"\x0a\xff\x10"), ("", b""), ("00", b"\x00"), (" 01  02 ", b"\x01\x02")],
)
def test_write_parses_hex(core, client, text, payload):
    assert client.obis_write("HX1", "1.8.0", text) is None
    assert core.transport.calls == [("write_element", ("HX1", OBJ_180, payload))]
    assert core.entries == []


@pytest.mark.parametrize("text", ["abc", "0g", "0 1", "zz"])
def test_write_with_bad_hex_sends_nothing(core, client, text):
    with pytest.raises(ValueError, match="non-hexadecimal number"):
        client.obis_write("HX1", "1.8.0", text)
    assert core.transport.calls == []


@pytest.mark.parametrize("method, args", [("obis_read", ()), ("obis_write", ("zz",))])
def test_bad_obis_code_is_reported_first_and_sends_nothing(core, client, method, args):
    with pytest.raises(ValueError, match="invalid OBIS code '1.8'"):
        getattr(client, method)("HX1", "1.8", *args)
    assert core.transport.calls == []


def test_converter_and_primitives_are_looked_up_late(core, client):
    core.set("quarn_obis_triplet_to_decimal", lambda text: ("converted", text))
    seen = []
    client._write_element = lambda *a: seen.append(a)
    client._read_element = lambda *a: seen.append(a) or SimpleNamespace(payload=b"\x02")
    client.obis_write("HX1", "9.9.9", "ff")
    assert client.obis_read("HX1", "1.2.3") == b"\x02"
    assert seen == [("HX1", ("converted", "9.9.9"), b"\xff"), ("HX1", ("converted", "1.2.3"))]
    assert core.transport.calls == []


def test_write_failure_passes_unchanged(core, client):
    core.transport.replies["write_element"] = HalvexConnectionFailure("down")
    with pytest.raises(MediatorClientException) as info:
        client.obis_write("HX1", "1.8.0", "01")
    assert info.value.args == ("HALVEX_CONNECTION_FAILURE", "down")
