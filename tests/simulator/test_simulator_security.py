"""The simulator's TLS and token modes, its health and reflection services, and the
warning for an exposed plain listener."""

import logging
import re
from pathlib import Path

import grpc
import pytest
from grpc_health.v1 import health_pb2, health_pb2_grpc
from grpc_reflection.v1alpha.proto_reflection_descriptor_database import ProtoReflectionDescriptorDatabase

from norvo_halvex.mediator.grpc import ConnectionSettings
from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient
from norvo_halvex.mediator.simulator import start_simulator
from norvo_halvex.mediator.simulator.server import SERVICE_NAME
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum as O

from support.processes import interrupt, package_env, running


def channel_to(sim, tls_files, *, client_cert=False):
    if not sim.tls:
        return grpc.insecure_channel(sim.address)
    pem = {name: Path(getattr(tls_files, name)).read_bytes() for name in ("ca", "client_key", "client_cert")}
    key, cert = (pem["client_key"], pem["client_cert"]) if client_cert else (None, None)
    return grpc.secure_channel(sim.address, grpc.ssl_channel_credentials(pem["ca"], key, cert))


@pytest.mark.parametrize("mode", ["plain", "tls+token", "mutual"])
def test_health_and_reflection_answer_standard_tools(fleet, tls_files, token_file, mode):
    kw = {} if mode == "plain" else {"tls_cert": tls_files.server_cert, "tls_key": tls_files.server_key}
    kw.update({"tls+token": {"token_file": token_file}, "mutual": {"client_ca": tls_files.ca}}.get(mode, {}))
    with start_simulator(fleet, **kw) as sim, channel_to(sim, tls_files, client_cert=mode == "mutual") as channel:
        health = health_pb2_grpc.HealthStub(channel)
        for service in ("", SERVICE_NAME):
            reply = health.Check(health_pb2.HealthCheckRequest(service=service), timeout=5)
            assert reply.status == health_pb2.HealthCheckResponse.SERVING
        services = ProtoReflectionDescriptorDatabase(channel).get_services()
        assert SERVICE_NAME in services and "grpc.health.v1.Health" in services
        described = ProtoReflectionDescriptorDatabase(channel).FindFileContainingSymbol(SERVICE_NAME)
        assert [s.name for s in described.service] == ["HalvexMediator"]


@pytest.mark.parametrize(
    ("host", "tls", "warned"),
    [("127.0.0.1", False, False), ("localhost", False, False), ("::1", False, False),
     ("0.0.0.0", False, True), ("0.0.0.0", True, False)],
)
def test_warns_when_listening_beyond_loopback_without_tls(fleet, tls_files, caplog, host, tls, warned):
    kw = {"tls_cert": tls_files.server_cert, "tls_key": tls_files.server_key} if tls else {}
    caplog.set_level(logging.WARNING, logger="norvo_halvex.mediator.simulator")
    try:
        sim = start_simulator(fleet, host=host, **kw)
    except OSError:
        pytest.skip(f"{host} cannot be bound here")
    sim.stop()
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert bool(warnings) is warned
    if warned:
        assert "without TLS" in warnings[0] and "--tls-cert" in warnings[0]


@pytest.mark.parametrize(
    ("kw", "fragment"),
    [
        ({"tls_cert": "server_cert"}, "tls_cert and tls_key go together"),
        ({"client_ca": "ca"}, "client_ca needs tls_cert and tls_key"),
        ({"tls_cert": "garbage", "tls_key": "server_key"}, "tls_cert file .* holds no PEM"),
        ({"token_file": "empty"}, "token file .* is empty"),
    ],
)
def test_unusable_security_files_are_refused(fleet, tls_files, tmp_path, kw, fragment):
    (tmp_path / "garbage").write_text("hello")
    (tmp_path / "empty").write_text("\n")
    paths = {"garbage": tmp_path / "garbage", "empty": tmp_path / "empty"}
    kw = {k: paths.get(v) or getattr(tls_files, v) for k, v in kw.items()}
    with pytest.raises(ValueError, match=fragment):
        start_simulator(fleet, **kw)


def test_main_serves_tls_and_requires_the_token(tls_files, token_file):
    with running("norvo_halvex.mediator.simulator", "--port", "0", "--tls-cert", tls_files.server_cert,
                 "--tls-key", tls_files.server_key, "--client-ca", tls_files.ca, "--token-file", str(token_file),
                 env=package_env()) as proc:
        first = proc.stdout.readline()
        match = re.search(r"listening on (\S+) with \d+ meters \(mutual TLS, bearer token\)", first)
        assert match, first + proc.stderr.read()
        settings = ConnectionSettings(tls_ca=tls_files.ca, tls_cert=tls_files.client_cert,
                                      tls_key=tls_files.client_key, token_file=token_file, timeout=5)
        with HalvexMediatorGrpcClient(match.group(1), settings=settings) as client:
            assert client.read_element("HX1000001", O.serial).serial == "HX1000001"
        with HalvexMediatorGrpcClient(match.group(1), settings=ConnectionSettings(
                tls_ca=tls_files.ca, tls_cert=tls_files.client_cert, tls_key=tls_files.client_key, timeout=5)) as client:
            with pytest.raises(grpc.RpcError) as info:
                client.read_element("HX1000001", O.serial)
        assert info.value.code() == grpc.StatusCode.UNAUTHENTICATED
        stopped = interrupt(proc, timeout=20)
    assert stopped.code == 0, stopped.err
