"""How each failure reaches the caller of the transport client."""

import pickle
import socket

import grpc
import pytest

from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient
from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from norvo_halvex.mediator.simulator import Fault
from quarn_frame_protocol.errors import QuarnCodecError
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum as O

from support.records import profile_log_1_request


OPERATIONS = {
    "read": lambda c, s: c.read_element(s, O.backlight),
    "write": lambda c, s: c.write_element(s, O.backlight, b"\x00"),
    "message": lambda c, s: c.send_message(s, profile_log_1_request()),
}


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
@pytest.mark.parametrize(
    ("kind", "exc_type", "wording"),
    [
        ("connection_failure", HalvexConnectionFailure, "could not connect to the meter"),
        ("end_of_stream", HalvexEOFError, "stream ended"),
    ],
)
def test_meter_outcomes_raise_transport_exceptions(fleet, mediator_client, operation, kind, exc_type, wording):
    fleet.set_fault("HX1000002", Fault(kind, details="modem says NO CARRIER"))
    with pytest.raises(exc_type) as info:
        OPERATIONS[operation](mediator_client, "HX1000002")
    err = info.value
    assert not isinstance(err, grpc.RpcError)
    assert err.serial == "HX1000002"
    assert "HX1000002" in err.message and wording in err.message and "modem says NO CARRIER" in err.message
    if operation == "message":
        assert "profile_log_1" in err.operation
    else:
        assert "backlight" in err.operation and operation in err.operation
    assert str(err) == err.message
    # A write that never reached the meter changed nothing.
    assert fleet.meters["HX1000002"].backlight == 2


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
@pytest.mark.parametrize("status", ["UNAVAILABLE", "RESOURCE_EXHAUSTED", "INTERNAL"])
def test_injected_grpc_status_leaves_as_rpc_error(fleet, mediator_client, operation, status):
    fleet.set_fault("HX3000001", Fault(status=status, details="mediator overloaded"))
    with pytest.raises(grpc.RpcError) as info:
        OPERATIONS[operation](mediator_client, "HX3000001")
    assert info.value.code().name == status
    assert info.value.details() == "mediator overloaded"


def test_malformed_element_payload_names_meter_and_object(fleet, mediator_client):
    fleet.set_fault("HX1000001", Fault("malformed_reply"))
    with pytest.raises(QuarnCodecError) as info:
        mediator_client.read_element("HX1000001", O.read_element_a)
    assert "HX1000001" in str(info.value) and "read_element_a" in str(info.value)
    # Writes have no reply payload to spoil.
    mediator_client.write_element("HX1000001", O.backlight, b"\x01")


def test_malformed_message_reply_is_returned_as_is(fleet, mediator_client):
    good = mediator_client.send_message("HX1000001", profile_log_1_request())
    fleet.set_fault("HX1000001", Fault("malformed_reply", operations=["message"]))
    bad = mediator_client.send_message("HX1000001", profile_log_1_request())
    assert len(good) == 21 and bad != good


def test_latency_past_the_deadline_is_deadline_exceeded(fleet, simulator):
    fleet.set_fault("HX1000001", Fault(latency=2.0))
    with HalvexMediatorGrpcClient(simulator.address, timeout=0.2) as client:
        with pytest.raises(grpc.RpcError) as info:
            client.read_element("HX1000001", O.serial)
        assert info.value.code() is grpc.StatusCode.DEADLINE_EXCEEDED
        # Other meters are not slowed down.
        assert client.read_element("HX1000002", O.serial).serial == "HX1000002"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
def test_mediator_down_fails_without_hanging(operation):
    with HalvexMediatorGrpcClient(f"127.0.0.1:{free_port()}", timeout=3.0) as client:
        with pytest.raises(grpc.RpcError) as info:
            OPERATIONS[operation](client, "HX1000001")
    assert info.value.code() in (grpc.StatusCode.UNAVAILABLE, grpc.StatusCode.DEADLINE_EXCEEDED)


def test_fault_limited_to_objects_and_operations(fleet, mediator_client):
    fleet.set_fault(
        "HX3000001",
        Fault("end_of_stream", object_ids=["three_phase_instantaneous_voltage_l2", O.three_phase_instantaneous_voltage_l3], operations=["read"]),
    )
    assert mediator_client.read_element("HX3000001", O.three_phase_instantaneous_voltage_l1).voltage > 0
    for object_id in (O.three_phase_instantaneous_voltage_l2, O.three_phase_instantaneous_voltage_l3):
        with pytest.raises(HalvexEOFError):
            mediator_client.read_element("HX3000001", object_id)
    mediator_client.write_element("HX3000001", O.backlight, b"\x00")
    mediator_client.send_message("HX3000001", profile_log_1_request())


def test_fault_after_n_calls_and_for_n_times(fleet, mediator_client):
    fleet.set_fault("HX1000001", Fault("connection_failure", after=2, times=2))
    outcomes = []
    for _ in range(6):
        try:
            mediator_client.read_element("HX1000001", O.csq_net_op)
            outcomes.append("ok")
        except HalvexConnectionFailure:
            outcomes.append("fail")
    assert outcomes == ["ok", "ok", "fail", "fail", "ok", "ok"]
    assert fleet.fault_calls("HX1000001") == 6


def test_clear_fault_restores_service(fleet, mediator_client):
    fleet.set_fault("HX1000001", Fault("connection_failure"))
    with pytest.raises(HalvexConnectionFailure):
        mediator_client.read_element("HX1000001", O.serial)
    fleet.clear_fault("HX1000001")
    assert mediator_client.read_element("HX1000001", O.serial).serial == "HX1000001"


def test_transport_exceptions_survive_pickling():
    err = HalvexEOFError("Meter X: read failed", serial="X", operation="read of object serial")
    copy = pickle.loads(pickle.dumps(err))
    assert (type(copy), copy.message, copy.serial, copy.operation) == (HalvexEOFError, err.message, "X", err.operation)
    mce = pickle.loads(pickle.dumps(MediatorClientException("HALVEX_EOF_ERROR", "gone")))
    assert (mce.code, mce.message) == ("HALVEX_EOF_ERROR", "gone")


@pytest.mark.parametrize(
    ("code", "message", "text"),
    [
        ("HALVEX_CONNECTION_FAILURE", "Meter HX1: no modem", "HALVEX_CONNECTION_FAILURE: Meter HX1: no modem"),
        ("UNAVAILABLE", "", "UNAVAILABLE"),
    ],
)
def test_mediator_client_exception_shows_code_and_message(code, message, text):
    err = MediatorClientException(code, message)
    assert (err.code, err.message, str(err)) == (code, message, text)
    with pytest.raises(TypeError):
        MediatorClientException(code)  # both arguments are required
