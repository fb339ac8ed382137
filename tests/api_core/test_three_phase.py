"""Three-phase serial, energy totals and phase voltages."""

from __future__ import annotations

from types import SimpleNamespace

import grpc
import pytest

from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum

from support.hostile import FakeRpcError

TOTALS = {
    "active_import": ObjectIdEnum.three_phase_total_active_import,
    "active_export": ObjectIdEnum.three_phase_total_active_export,
    "reactive_import": ObjectIdEnum.three_phase_total_reactive_import,
    "reactive_export": ObjectIdEnum.three_phase_total_reactive_export,
    "apparent_import": ObjectIdEnum.three_phase_total_apparent_import,
    "apparent_export": ObjectIdEnum.three_phase_total_apparent_export,
}
L1, L2, L3 = (
    ObjectIdEnum.three_phase_instantaneous_voltage_l1,
    ObjectIdEnum.three_phase_instantaneous_voltage_l2,
    ObjectIdEnum.three_phase_instantaneous_voltage_l3,
)


# ---- three_phase_serial ----------------------------------------------------------------------


def test_serial_is_stripped_and_logged_beside_the_request(core, client):
    core.transport.replies[("read_element", ObjectIdEnum.three_phase_serial)] = SimpleNamespace(serial="  HX9\t\n")
    assert client.three_phase_serial("HX3") == "HX9"
    assert core.transport.calls == [("read_element", ("HX3", ObjectIdEnum.three_phase_serial))]
    assert core.entries == [("info", "received three phase serial", (("serial", "HX9"), ("request_serial", "HX3")))]


def test_serial_of_another_type_fails_after_the_log_line(core, client):
    core.transport.replies["read_element"] = SimpleNamespace(serial=b" HX9 ")
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        client.three_phase_serial("HX3")
    assert core.entries == [("info", "received three phase serial", (("serial", b"HX9"), ("request_serial", "HX3")))]


def test_serial_read_failure_logs_nothing(core, client):
    core.transport.replies["read_element"] = HalvexEOFError("eof")
    with pytest.raises(MediatorClientException):
        client.three_phase_serial("HX3")
    assert core.entries == []


# ---- three_phase_read ------------------------------------------------------------------------


def value_replies(core, counts):
    for key, count in counts.items():
        core.transport.replies[("read_element", TOTALS[key])] = (
            count if isinstance(count, BaseException) else SimpleNamespace(value=count)
        )


COUNTS = dict(zip(TOTALS, [125000, 0, 12345, 4294967295, 131000, 7]))


@pytest.mark.parametrize(
    "hardware, divisor", [("P1.cx", 10000), ("P1.ax", 1000), ("p1.cx", 1000), ("THREE_PHASE_UNKNOWN", 1000)]
)
def test_totals_with_a_given_hardware_string(core, client, hardware, divisor):
    value_replies(core, COUNTS)
    client.hardware = lambda serial: pytest.fail("hardware must not be asked")
    result = client.three_phase_read("HX3", hardware)
    assert list(result.items()) == [(k, v / divisor) for k, v in COUNTS.items()]
    assert all(type(v) is float for v in result.values())
    assert core.transport.calls == [("read_element", ("HX3", oid)) for oid in TOTALS.values()]
    assert core.entries == [("info", "reads: " + str(result), (("serial", "HX3"),))]


@pytest.mark.parametrize("given", [None, ""])
def test_totals_ask_hardware_when_none_given(core, client, given):
    value_replies(core, COUNTS)
    asked = []

    def hardware(serial):
        asked.append((serial, len(core.transport.calls)))
        return "P1.cx"

    client.hardware = hardware
    result = client.three_phase_read("HX3", given)
    assert asked == [("HX3", 0)]  # before any total
    assert result["active_import"] == 12.5


@pytest.mark.parametrize("answer, text", [(5, "int"), (b"P1.cx", "bytes")])
def test_hardware_answer_of_wrong_type_fails_before_reads(core, client, answer, text):
    client.hardware = lambda serial: answer
    with pytest.raises(TypeError, match=f"^Expected str, got {text}$"):
        client.three_phase_read("HX3", None)
    assert core.transport.calls == []


def test_hardware_failure_passes_before_reads(core, client):
    class Sub(core.module.HalvexMediatorAPI):
        def hardware(self, serial):
            raise MediatorClientException("UNAVAILABLE", "x")

    with pytest.raises(MediatorClientException):
        Sub("a").three_phase_read("HX3", "")
    assert core.transport.calls == [] and core.log.at("info") == []


def test_hardware_none_fails_in_scaling_after_all_reads(core, client):
    value_replies(core, COUNTS)
    client.hardware = lambda serial: None
    with pytest.raises(TypeError, match="Argument 'hardware' has incorrect type"):
        client.three_phase_read("HX3", None)
    assert len(core.transport.calls) == 6
    assert core.log.at("info") == []


def test_failed_totals_are_none_and_logged(core, client):
    value_replies(
        core,
        {**COUNTS, "reactive_import": HalvexEOFError("eof"), "apparent_export": HalvexConnectionFailure("gone")},
    )
    result = client.three_phase_read("HX3", "P1.ax")
    assert list(result) == list(TOTALS)
    assert result["reactive_import"] is None and result["apparent_export"] is None
    assert result["active_import"] == 125.0 and result["reactive_export"] == 4294967.295
    errors = core.log.at("error")
    assert [e.message for e in errors] == [
        "Failed to read element three_phase_total_reactive_import. Exception: HALVEX_EOF_ERROR: eof",
        "Failed to read element three_phase_total_apparent_export. Exception: HALVEX_CONNECTION_FAILURE: gone",
    ]
    assert core.entries[-1].message.startswith("reads: {'active_import': 125.0, 'active_export': 0.0, 'reactive_import': None")


def test_all_totals_failing_give_six_nones(core, client):
    core.transport.replies["read_element"] = FakeRpcError(grpc.StatusCode.UNAVAILABLE, "down")
    assert client.three_phase_read("HX3", "P1.cx") == dict.fromkeys(TOTALS)
    assert len(core.log.at("error")) == 6


def test_totals_go_through_the_object(core, client):
    order = []

    class Sub(core.module.HalvexMediatorAPI):
        def _safe_read_element(self, serial, element_id):
            order.append(("read", element_id))
            return element_id

        def _scale_value(self, rec, hardware):
            order.append(("scale", rec))
            return (rec, hardware)

    result = Sub("a").three_phase_read("HX3", "hw")
    assert order == [("read", i) for i in TOTALS.values()] + [("scale", i) for i in TOTALS.values()]
    assert result == {k: (i, "hw") for k, i in TOTALS.items()}


# ---- three_phase_instantaneous_voltage --------------------------------------------------------


def voltages(core, l1=2301, l2=2300, l3=2299):
    for oid, v in ((L1, l1), (L2, l2), (L3, l3)):
        core.transport.replies[("read_element", oid)] = v if isinstance(v, BaseException) else SimpleNamespace(voltage=v)


def read_ids(core):
    return [args[1] for _, args in core.transport.calls]


def test_all_phases(core, client):
    voltages(core)
    result = client.three_phase_instantaneous_voltage("HX3")
    assert result == (230.1, 230.0, 229.9) and type(result) is tuple
    assert read_ids(core) == [L1, L2, L3]
    assert core.entries == [("info", "voltages [(230.1, 230.0, 229.9)]", (("serial", "HX3"),))]


def test_float_and_zero_voltages(core, client):
    voltages(core, 2301.0, 0, 1)
    assert client.three_phase_instantaneous_voltage("HX3") == (230.1, 0.0, 0.1)


@pytest.mark.parametrize(
    "l2, l3, expected, warned",
    [
        (HalvexEOFError("no L2"), 2299, (230.1, None, 229.9), ["2"]),
        (2300, HalvexEOFError("no L3"), (230.1, 230.0, None), ["3"]),
        (HalvexEOFError("no L2"), HalvexEOFError("no L3"), (230.1, None, None), ["2", "3"]),
    ],
    ids=["l2", "l3", "both"],
)
def test_end_of_stream_on_l2_l3_gives_none(core, client, l2, l3, expected, warned):
    voltages(core, l2=l2, l3=l3)
    assert client.three_phase_instantaneous_voltage("HX3") == expected
    assert read_ids(core) == [L1, L2, L3]
    assert core.log.at("warn") == [
        ("warn", f"3p v{n} failed - setting to None (e=HALVEX_EOF_ERROR: no L{n})", (("serial", "HX3"),)) for n in warned
    ]
    assert core.entries[-1] == ("info", f"voltages [{expected}]", (("serial", "HX3"),))
    if expected == (230.1, None, None):
        assert core.entries[-1].message == "voltages [(230.1, None, None)]"


@pytest.mark.parametrize(
    "raised, error",
    [
        (HalvexConnectionFailure("gone"), MediatorClientException),
        (FakeRpcError(grpc.StatusCode.UNAVAILABLE, "down"), MediatorClientException),
        (ValueError("bad"), ValueError),
    ],
    ids=["connection", "grpc", "other"],
)
def test_other_l2_failures_fail_the_call(core, client, raised, error):
    voltages(core, l2=raised)
    with pytest.raises(error):
        client.three_phase_instantaneous_voltage("HX3")
    assert read_ids(core) == [L1, L2]
    assert core.entries == []


@pytest.mark.parametrize("raised", [HalvexEOFError("eof"), HalvexConnectionFailure("gone")])
def test_l1_failure_fails_at_once(core, client, raised):
    voltages(core, l1=raised)
    with pytest.raises(MediatorClientException):
        client.three_phase_instantaneous_voltage("HX3")
    assert read_ids(core) == [L1]
    assert core.entries == []


@pytest.mark.parametrize(
    "raised, taken",
    [
        (HalvexEOFError("raw eof"), True),  # a replaced _read_element that lets it out
        (MediatorClientException("HALVEX_EOF_ERROR", "eof"), True),
        (MediatorClientException("HALVEX_CONNECTION_FAILURE", "x"), False),
        (MediatorClientException("UNAVAILABLE", "x"), False),
        (EOFError("plain"), False),
    ],
    ids=["raw-eof", "mce-eof", "mce-connection", "mce-grpc", "builtin-eof"],
)
def test_guard_with_a_replaced_read(core, client, raised, taken):
    def read(serial, object_id):
        if object_id == L2:
            raise raised
        return SimpleNamespace(voltage=2000)

    client._read_element = read
    if taken:
        assert client.three_phase_instantaneous_voltage("HX3") == (200.0, None, 200.0)
        assert core.log.at("warn")[0].message == f"3p v2 failed - setting to None (e={raised})"
    else:
        with pytest.raises(type(raised)) as info:
            client.three_phase_instantaneous_voltage("HX3")
        assert info.value is raised


def test_guard_classes_are_looked_up_late(core, client):
    class OtherMCE(Exception):
        def __init__(self, code, message):
            super().__init__(code, message)
            self.code = code

    core.set("MediatorClientException", OtherMCE)
    voltages(core, l2=HalvexEOFError("eof"))
    assert client.three_phase_instantaneous_voltage("HX3")[1] is None

    core.set("HalvexEOFError", KeyError)  # now the transport's HalvexEOFError is not mapped...
    core.set("MediatorClientException", MediatorClientException)
    core.transport.calls.clear()
    with pytest.raises(HalvexEOFError):  # ...and not taken by the guard either
        client.three_phase_instantaneous_voltage("HX3")
    assert read_ids(core) == [L1, L2]


def test_record_without_voltage_fails_after_three_reads(core, client):
    voltages(core)
    core.transport.replies[("read_element", L3)] = SimpleNamespace()
    with pytest.raises(AttributeError):
        client.three_phase_instantaneous_voltage("HX3")
    assert read_ids(core) == [L1, L2, L3]
    assert core.entries == []


def test_voltage_that_cannot_be_divided(core, client):
    voltages(core, l1="2301")
    with pytest.raises(TypeError):
        client.three_phase_instantaneous_voltage("HX3")
    assert core.entries == []
