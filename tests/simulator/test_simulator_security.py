"""The simulator's TLS and token modes, its health and reflection services, and the
warning for an exposed plain listener."""

import errno
import logging
import os
import re
import socket
import stat
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

from support.other_user import in_a_child_as_nobody, needs_root, shared_folder
from support.processes import interrupt, package_env, run_tool, running, running_tool


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
        ({"tls_cert": "server_cert", "tls_key": "client_key"}, "tls_key file .* is not the private key of the "
                                                               "certificate in tls_cert file"),
        ({"token_file": "empty"}, "token file .* is empty"),
        ({"token_file": "public"}, r"token file .* can be read by other users \(mode 0604\); .*chmod 600"),
        ({"token_file": "fifo"}, r"token file .* is not a regular file \(a pipe\)"),
    ],
)
def test_unusable_security_files_are_refused(fleet, tls_files, tmp_path, kw, fragment):
    (tmp_path / "garbage").write_text("hello")
    for name, mode in (("empty", 0o600), ("public", 0o604)):
        (tmp_path / name).write_text("\n" if name == "empty" else "a-token\n")
        (tmp_path / name).chmod(mode)
    os.mkfifo(tmp_path / "fifo", 0o600)
    paths = {name: tmp_path / name for name in ("garbage", "empty", "public", "fifo")}
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


# ----------------------------------------------------------------- a Unix socket: this user only

def read_over(address, **settings):
    with HalvexMediatorGrpcClient(address, settings=ConnectionSettings(timeout=5, **settings)) as client:
        return client.read_element("HX1000001", O.serial).serial


@pytest.fixture
def open_umask():
    """No umask: whatever is made is open to everyone unless the code closes it itself."""
    old = os.umask(0)
    yield
    os.umask(old)


@needs_root
def test_another_user_cannot_connect_to_the_socket(fleet, open_umask):
    with shared_folder() as shared, start_simulator(fleet, unix_socket=os.path.join(shared, "m.sock")) as sim:
        def connect() -> int:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.connect(sim.unix_socket)
            return 0

        assert in_a_child_as_nobody(connect) == errno.EACCES
        assert read_over(sim.address) == "HX1000001"


@pytest.mark.parametrize("there, taken", [("file", True), ("live socket", True), ("dead socket", False)])
def test_the_socket_replaces_only_a_dead_socket_of_this_user(fleet, tmp_path, there, taken):
    path = tmp_path / "mediator.sock"
    holder = None
    if there == "file":
        path.write_text("not a socket\n")
    else:
        holder = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        holder.bind(str(path))
        if there == "live socket":
            holder.listen(1)
        else:
            holder.close()
    try:
        if taken:
            with pytest.raises(OSError, match="the path exists and is not a socket this user left behind"):
                start_simulator(fleet, unix_socket=path)
            assert path.exists() and (there != "file" or path.read_text() == "not a socket\n")
        else:
            with start_simulator(fleet, unix_socket=path) as sim:
                assert read_over(sim.address) == "HX1000001"
        assert os.listdir(tmp_path) == (["mediator.sock"] if taken else [])  # no private folder left behind
    finally:
        if holder is not None:
            holder.close()


def test_halvex_simulator_on_a_socket_is_this_users_alone_and_gone_after_it(tmp_path, token_file, open_umask):
    path = tmp_path / "mediator.sock"
    assert "--host and --port do not apply" in run_tool("simulator", "--socket", path, "--port", "1").err
    with running_tool("simulator", "--socket", path, "--token-file", token_file) as proc:
        first = proc.stdout.readline()
        assert first == f"halvex simulator listening on unix:{path}\n", first + proc.stderr.read()
        st = path.lstat()
        assert stat.S_ISSOCK(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o600 and st.st_uid == os.geteuid()
        assert read_over(f"unix:{path}", token_file=token_file) == "HX1000001"  # a token, to this machine only
        stopped = interrupt(proc, timeout=20)
    assert stopped.code == 0, stopped.err
    assert os.listdir(tmp_path) == ["token"]


@pytest.mark.parametrize("argv", [("--mediator", "127.0.0.1:1", "serial", "HX1000001"), ("simulator", "--port", "0")])
def test_a_pipe_as_token_file_is_refused_at_once_not_waited_on(tmp_path, argv):
    """Opening a FIFO waits for a writer: the client and the simulator would hang there."""
    fifo = tmp_path / "token"
    os.mkfifo(fifo, 0o600)
    run = run_tool("--token-file", fifo, *argv, timeout=60)  # the timeout only guards against a hang
    assert run.code == 2 and f"token file {fifo} is not a regular file (a pipe)" in run.err
