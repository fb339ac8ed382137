"""The client object itself: construction, argument checks, sharing across threads,
closing, and the committed generated gRPC code."""

import pathlib
import subprocess
import sys
import threading

import pytest

from norvo_halvex.mediator.grpc import client as client_module
from norvo_halvex.mediator.grpc.client import DEFAULT_MEDIATOR_ADDRESS, HalvexMediatorGrpcClient
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum as O

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("address", [None, DEFAULT_MEDIATOR_ADDRESS])
def test_default_address(address):
    client = HalvexMediatorGrpcClient(mediator_address=address)
    assert client.mediator_address == "0.0.0.0:50051"
    assert client.timeout == client_module.DEFAULT_TIMEOUT_SECONDS
    client.close()


@pytest.mark.parametrize(
    ("kwargs", "exc", "fragment"),
    [
        ({"mediator_address": 50051}, TypeError, "mediator_address"),
        ({"mediator_address": " "}, ValueError, "mediator address"),
        ({"timeout": "10"}, TypeError, "timeout"),
        ({"timeout": 0}, ValueError, "timeout"),
    ],
)
def test_bad_construction_arguments(kwargs, exc, fragment):
    with pytest.raises(exc, match=fragment):
        HalvexMediatorGrpcClient(**kwargs)


@pytest.mark.parametrize(
    ("call", "exc", "fragment"),
    [
        (lambda c: c.read_element(b"HX1000001", O.serial), TypeError, "serial must be a str"),
        (lambda c: c.read_element("HX1000001", "serial"), TypeError, "object_id"),
        (lambda c: c.read_element("HX1000001", True), TypeError, "object_id"),
        (lambda c: c.read_element("HX1000001", -1), ValueError, "object_id"),
        (lambda c: c.read_element("HX1000001", 1 << 32), ValueError, "object_id"),
        (lambda c: c.write_element("HX1000001", O.backlight, bytearray(b"\x01")), TypeError, "payload must be bytes"),
        (lambda c: c.write_element(None, O.backlight, b"\x01"), TypeError, "serial"),
        (lambda c: c.send_message("HX1000001", "0401"), TypeError, "message must be bytes"),
    ],
)
def test_argument_checks_happen_before_any_call(call, exc, fragment):
    # Nothing listens at this address: a call that got through would fail with RpcError.
    with HalvexMediatorGrpcClient("127.0.0.1:1", timeout=1) as client:
        with pytest.raises(exc, match=fragment):
            call(client)


def test_one_client_serves_many_threads(simulator):
    serials = sorted(simulator.fleet.meters)
    errors, results = [], {}
    client = HalvexMediatorGrpcClient(simulator.address, timeout=5)
    start = threading.Barrier(len(serials))

    def worker(serial):
        try:
            start.wait()
            got = {client.read_element(serial, O.serial).serial for _ in range(30)}
            results[serial] = got
        except Exception as e:  # surfaced below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(s,)) for s in serials]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    client.close()
    assert not errors
    assert results == {s: {s} for s in serials}


def test_closed_client_refuses_calls(simulator):
    with HalvexMediatorGrpcClient(simulator.address) as client:
        assert client.read_element("HX1000001", O.csq_net_op).csq == 17
    with pytest.raises(ValueError, match="closed"):
        client.read_element("HX1000001", O.csq_net_op)
    client.close()  # idempotent


def test_committed_generated_code_is_current(tmp_path):
    subprocess.run([sys.executable, str(ROOT / "tools" / "gen_proto.py"), str(tmp_path)], check=True, capture_output=True)
    committed = ROOT / "src" / "python"
    generated = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*") if p.is_file())
    assert generated, "gen_proto.py produced nothing"
    for rel in generated:
        assert (committed / rel).read_bytes() == (tmp_path / rel).read_bytes(), f"{rel} is stale: run tools/gen_proto.py"
