"""read_element_a, read_element_b and read for every meter type."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum

A = ("read_element", ObjectIdEnum.read_element_a)
B = ("read_element", ObjectIdEnum.read_element_b)
HW = ("read_element", ObjectIdEnum.hardware_version)
KEYS = ["import_active", "export_active", "import_reactive", "export_reactive"]


def registers(ia, ea, ir, er):
    return SimpleNamespace(import_active=ia, export_active=ea, import_reactive=ir, export_reactive=er)


def kilo(ia, ea, ir, er):
    return dict(zip(KEYS, (ia / 1000, ea / 1000, ir / 1000, er / 1000)))


def messages(core):
    return [e.message for e in core.entries]


@pytest.mark.parametrize(
    "method, key, message",
    [("read_element_a", A, "received read_element_a record"), ("read_element_b", B, "received read_element_b record")],
)
def test_element_registers(core, client, method, key, message):
    core.transport.replies[key] = registers(1234, 0, 1000, 4294967295)
    result = getattr(client, method)("HX1")
    assert list(result) == KEYS
    assert result == {"import_active": 1.234, "export_active": 0.0, "import_reactive": 1.0,
                      "export_reactive": 4294967.295}
    assert all(type(v) is float for v in result.values())
    assert core.transport.calls == [("read_element", ("HX1", key[1]))]
    assert core.entries == [("info", message, (("reads", result), ("serial", "HX1")))]


@pytest.mark.parametrize("rec, error", [(registers(1, 2, None, 4), TypeError), (registers(1, 2, "3", 4), TypeError),
                                        (SimpleNamespace(import_active=1, export_active=2), AttributeError)])
def test_element_registers_bad_record(core, client, rec, error):
    core.transport.replies[A] = rec
    with pytest.raises(error):
        client.read_element_a("HX1")
    assert core.entries == []


def test_read_single_element(core, client):
    core.transport.replies[HW] = SimpleNamespace(hardware="HXS-100")
    core.transport.replies[A] = registers(1234, 0, 500, 0)
    result = client.read("HX1")
    assert result == (kilo(1234, 0, 500, 0), None)
    assert [c[1][1] for c in core.transport.calls] == [ObjectIdEnum.hardware_version, ObjectIdEnum.read_element_a]
    assert messages(core) == [
        "hardware",
        "received read_element_a record",
        "single phase read [({'import_active': 1.234, 'export_active': 0.0, 'import_reactive': 0.5, "
        "'export_reactive': 0.0}, None)]",
    ]
    assert core.entries[-1].fields == (("serial", "HX1"),)


def test_read_twin_element_reads_a_then_b(core, client):
    core.transport.replies[HW] = SimpleNamespace(hardware="HXT-200")
    core.transport.replies[A] = registers(1, 2, 3, 4)
    core.transport.replies[B] = registers(5, 6, 7, 8)
    result = client.read("HX2")
    assert type(result) is tuple and result == (kilo(1, 2, 3, 4), kilo(5, 6, 7, 8))
    assert [c[1][1] for c in core.transport.calls] == [
        ObjectIdEnum.hardware_version, ObjectIdEnum.read_element_a, ObjectIdEnum.read_element_b]
    assert messages(core)[1:] == ["received read_element_a record", "received read_element_b record",
                                  f"single phase read [{result}]"]

    # hardware comes from the cache the second time
    core.transport.calls.clear()
    core.entries.clear()
    client.read("HX2")
    assert [c[1][1] for c in core.transport.calls] == [ObjectIdEnum.read_element_a, ObjectIdEnum.read_element_b]
    assert messages(core)[0] == "received read_element_a record"


def test_read_unknown_single_phase_model_reads_element_a_only(core, client):
    core.transport.replies[HW] = SimpleNamespace(hardware="HXQ-1")
    core.transport.replies[A] = registers(1, 2, 3, 4)
    assert client.read("HX1") == (kilo(1, 2, 3, 4), None)


def test_element_b_failure_fails_the_whole_read(core, client):
    core.transport.replies[HW] = SimpleNamespace(hardware="HXT-200")
    core.transport.replies[A] = registers(1, 2, 3, 4)
    core.transport.replies[B] = core.module.HalvexEOFError("eof")
    with pytest.raises(MediatorClientException) as info:
        client.read("HX2")
    assert info.value.args == ("HALVEX_EOF_ERROR", "eof")
    assert messages(core) == ["hardware", "received read_element_a record"]


@pytest.mark.parametrize(
    "meter_type, hardware",
    [(QuarnMessage.ThreePhaseMeterType.ax_whole_current, "P1.ax"),
     (QuarnMessage.ThreePhaseMeterType.cx_ct_operated, "P1.cx"),
     (QuarnMessage.ThreePhaseMeterType.unconfigured, "THREE_PHASE_UNKNOWN")],
)
def test_read_three_phase_hands_over(core, meter_type, hardware):
    totals = {"active_import": 1.0, "active_export": None}
    seen = []

    class Sub(core.module.HalvexMediatorAPI):
        def three_phase_read(self, serial, hw):
            seen.append((serial, hw))
            return totals

    core.transport.replies[HW] = SimpleNamespace(hardware="")
    core.transport.replies[("read_element", ObjectIdEnum.three_phase_hardware_configuration)] = SimpleNamespace(
        meter_type=meter_type)
    client = Sub("x")
    core.entries.clear()
    assert client.read("HX3") is totals
    assert seen == [("HX3", hardware)]
    assert messages(core) == ["three phase hardware configuration", "hardware"]
    assert ObjectIdEnum.read_element_a not in [c[1][1] for c in core.transport.calls]


def test_read_goes_through_the_object_and_module(core, client):
    calls = []
    client.hardware = lambda serial: calls.append(("hardware", serial)) or "H"
    client.read_element_a = lambda serial: calls.append(("a", serial)) or {"x": 1}
    client.read_element_b = lambda serial: calls.append(("b", serial)) or None
    core.set("is_three_phase", lambda h: calls.append(("is_three_phase", h)) or 0)
    core.set("is_twin_element", lambda h: calls.append(("is_twin_element", h)) or [1])
    assert client.read("S") == ({"x": 1}, None)
    assert calls == [("hardware", "S"), ("is_three_phase", "H"), ("a", "S"), ("is_twin_element", "H"), ("b", "S")]
    assert core.transport.calls == []
    assert core.entries == [("info", "single phase read [({'x': 1}, None)]", (("serial", "S"),))]


@pytest.mark.parametrize("which", ["read_element_a", "read_element_b"])
@pytest.mark.parametrize("value, name", [([1], "list"), ((1,), "tuple"), ("d", "str")])
def test_read_rejects_element_results_that_are_not_dicts(core, client, which, value, name):
    core.transport.replies[HW] = SimpleNamespace(hardware="HXT-200")
    core.transport.replies["read_element"] = registers(1, 2, 3, 4)
    setattr(client, which, lambda serial: value)
    with pytest.raises(TypeError, match=f"^Expected dict, got {name}$"):
        client.read("HX2")
    assert "single phase read" not in " ".join(messages(core))


def test_read_accepts_none_from_element_a(core, client):
    client._hardware_cache["HX1"] = "P0.se"
    client.read_element_a = lambda serial: None
    assert client.read("HX1") == (None, None)


def test_read_truth_test_failure_propagates(core, client):
    class NoTruth:
        def __bool__(self):
            raise ZeroDivisionError

    client._hardware_cache["HX1"] = "P0.se"
    core.set("is_three_phase", lambda h: NoTruth())
    with pytest.raises(ZeroDivisionError):
        client.read("HX1")
    assert core.transport.calls == []


def test_read_rejects_hardware_that_three_phase_read_cannot_take(core, client):
    client.hardware = lambda serial: 7
    core.set("is_three_phase", lambda h: True)
    with pytest.raises(TypeError, match="Argument 'hardware' has incorrect type"):
        client.read("HX3")
