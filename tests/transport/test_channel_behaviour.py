"""Deadlines, read retries, message size and interceptors, observed on real calls."""

import socket

import grpc
import pytest

from norvo_halvex.mediator.grpc import ConnectionSettings
from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient
from norvo_halvex.mediator.simulator import Fault
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum as O

from support.records import profile_log_1_request
from support.transport import RecordingInterceptor

SERIAL = "HX1000001"


@pytest.fixture
def silent_listener():
    """A TCP port that accepts connections and never answers."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        yield f"127.0.0.1:{listener.getsockname()[1]}"


OPERATIONS = {
    "read": lambda c: c.read_element(SERIAL, O.backlight),
    "write": lambda c: c.write_element(SERIAL, O.backlight, b"\x01"),
    "message": lambda c: c.send_message(SERIAL, profile_log_1_request()),
}


@pytest.mark.parametrize("operation", sorted(OPERATIONS))
def test_short_deadline_against_a_listener_that_never_answers(silent_listener, operation):
    with HalvexMediatorGrpcClient(silent_listener, settings=ConnectionSettings(timeout=0.5)) as client:
        assert client.timeout == 0.5
        with pytest.raises(grpc.RpcError) as info:
            OPERATIONS[operation](client)
    assert info.value.code() == grpc.StatusCode.DEADLINE_EXCEEDED


@pytest.mark.parametrize(
    ("status", "retries", "failures", "attempts", "succeeds"),
    [
        ("UNAVAILABLE", 0, 1, 1, False),  # the default: nothing retried
        ("UNAVAILABLE", 2, 2, 3, True),  # two UNAVAILABLE answers, then the read goes through
        ("UNAVAILABLE", 1, 5, 2, False),  # retries used up: the last UNAVAILABLE reaches the caller
        ("INTERNAL", 3, 1, 1, False),  # other statuses are never retried
        ("DEADLINE_EXCEEDED", 3, 1, 1, False),
    ],
)
def test_reads_are_retried_on_unavailable_when_asked(fleet, simulator, status, retries, failures, attempts, succeeds):
    fleet.set_fault(SERIAL, Fault(status=status, operations=["read"], times=failures))
    with HalvexMediatorGrpcClient(simulator.address, settings=ConnectionSettings(read_retries=retries, timeout=5)) as c:
        if succeeds:
            assert c.read_element(SERIAL, O.backlight).setting == 2
        else:
            with pytest.raises(grpc.RpcError) as info:
                c.read_element(SERIAL, O.backlight)
            assert info.value.code().name == status
    assert fleet.fault_calls(SERIAL) == attempts


@pytest.mark.parametrize("operation", ["write", "message"])
def test_writes_and_data_records_are_never_retried(fleet, simulator, operation):
    fleet.set_fault(SERIAL, Fault(status="UNAVAILABLE", operations=[operation], times=3))
    with HalvexMediatorGrpcClient(simulator.address, settings=ConnectionSettings(read_retries=4, timeout=5)) as c:
        with pytest.raises(grpc.RpcError) as info:
            OPERATIONS[operation](c)
    assert info.value.code() == grpc.StatusCode.UNAVAILABLE
    assert fleet.fault_calls(SERIAL) == 1


def test_interceptors_see_every_call_in_order(simulator):
    outer = RecordingInterceptor("outer")
    settings = ConnectionSettings(interceptors=[outer, RecordingInterceptor("inner", outer.seen)], timeout=4)
    with HalvexMediatorGrpcClient(simulator.address, settings=settings) as client:
        for name in sorted(OPERATIONS):
            OPERATIONS[name](client)
        with pytest.raises(grpc.RpcError):
            client.read_element("NOPE", O.serial)  # failures pass the interceptors too
    seen = outer.seen
    methods = [m.rsplit("/", 1)[1] for _, m, _, _ in seen]
    assert methods == ["SendMessage", "SendMessage", "ReadElement", "ReadElement", "WriteElement", "WriteElement",
                       "ReadElement", "ReadElement"]
    assert [n for n, *_ in seen[:2]] == ["outer", "inner"]
    assert all(m.startswith("/norvo.halvex.mediator.v1.HalvexMediator/") and t == 4 for _, m, t, _ in seen)


def test_max_receive_size_refuses_larger_replies(simulator):
    settings = ConnectionSettings(max_receive_message_length=8, timeout=5)
    with HalvexMediatorGrpcClient(simulator.address, settings=settings) as client:
        with pytest.raises(grpc.RpcError) as info:
            client.read_element(SERIAL, O.serial)
    assert info.value.code() == grpc.StatusCode.RESOURCE_EXHAUSTED


def test_keepalive_channel_serves_calls(simulator):
    with HalvexMediatorGrpcClient(simulator.address, settings=ConnectionSettings(keepalive=1, timeout=5)) as client:
        assert client.read_element(SERIAL, O.serial).serial == SERIAL
