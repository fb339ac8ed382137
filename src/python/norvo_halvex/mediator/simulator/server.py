"""The simulator's gRPC server: the mediator service over a fleet of simulated meters."""

from __future__ import annotations

import contextlib
import errno
import logging
import os
import socket
import stat
import tempfile
import threading
from concurrent import futures

import grpc
from grpc_health.v1 import health, health_pb2, health_pb2_grpc
from grpc_reflection.v1alpha import reflection

from norvo_halvex.mediator.grpc import halvex_mediator_pb2 as pb
from norvo_halvex.mediator.grpc import halvex_mediator_pb2_grpc as pb_grpc
from norvo_halvex.mediator.grpc.address import is_loopback_host
from norvo_halvex.mediator.grpc.token import TokenFile, TokenFileError
from norvo_halvex.mediator.simulator import messages, objects
from norvo_halvex.mediator.simulator.errors import SimulatorError
from norvo_halvex.mediator.simulator.faults import INTERVAL_FAULTS, FaultAction, FaultKind, Operation
from norvo_halvex.mediator.simulator.fleet import Fleet
from norvo_halvex.mediator.simulator.model import SimulatedMeter
from norvo_halvex.pem import check_key_pair, read_pem

__all__ = ["DEFAULT_MAX_WORKERS", "SERVICE_NAME", "RunningSimulator", "start_simulator"]

log = logging.getLogger("norvo_halvex.mediator.simulator")

#: Server threads. Each call holds a thread for its whole injected latency, so this is
#: the number of meters that can be "on the line" at once.
DEFAULT_MAX_WORKERS = 32

#: Full name of the mediator service, as health checks and reflection name it.
SERVICE_NAME = pb.DESCRIPTOR.services_by_name["HalvexMediator"].full_name

_OK = pb.MeterStatus()
_OUTCOMES = {
    FaultKind.CONNECTION_FAILURE: (pb.METER_OUTCOME_CONNECTION_FAILURE, "no answer from the meter's modem"),
    FaultKind.END_OF_STREAM: (pb.METER_OUTCOME_END_OF_STREAM, "the meter closed the stream mid-answer"),
}


class _Servicer(pb_grpc.HalvexMediatorServicer):
    def __init__(self, fleet: Fleet, stopping: threading.Event) -> None:
        self._fleet = fleet
        self._stopping = stopping

    def _meter(self, serial: str, context) -> SimulatedMeter:
        meter = self._fleet.get(serial)
        if meter is None:
            context.abort(
                grpc.StatusCode.NOT_FOUND,
                f"unknown meter serial {serial!r}: the mediator knows no such meter "
                f"(the simulated fleet has {len(self._fleet)} meters)",
            )
        return meter

    def _fault(
        self, serial: str, op: Operation, object_id: int | None, context, what: str, interval_frame: bool = False
    ) -> FaultAction | None:
        """Applies latency and the gRPC-status fault; returns the action when the call must
        still fail in another way (meter outcome, malformed reply, a distorted interval block)."""
        action = self._fleet.decide(serial, op, object_id, interval_frame)
        if action is None:
            return None
        if action.latency:
            self._stopping.wait(action.latency)
        kind = action.kind
        if kind is FaultKind.GRPC_STATUS:
            details = action.fault.details or f"injected {action.fault.status} for meter {serial} ({what})"
            context.abort(action.fault.status_code, details)
        return action if kind is not None else None

    @staticmethod
    def _status(action: FaultAction, serial: str, what: str) -> pb.MeterStatus:
        outcome, default = _OUTCOMES[action.kind]
        return pb.MeterStatus(outcome=outcome, message=action.fault.details or f"{default} ({serial}, {what})")

    def ReadElement(self, request, context):
        serial, object_id = request.serial, request.object_id
        if log.isEnabledFor(logging.DEBUG):
            log.debug("read %s %s", serial, objects.describe(object_id))
        meter = self._meter(serial, context)
        action = self._fault(serial, Operation.READ, object_id, context, "read")
        if action is not None and action.kind in _OUTCOMES:
            return pb.ReadElementReply(status=self._status(action, serial, objects.describe(object_id)))
        try:
            payload = objects.read(meter, object_id, self._fleet.now())
        except SimulatorError as e:
            context.abort(e.code, e.details)
        if action is not None:  # malformed reply
            payload = objects.malformed(object_id, payload)
        return pb.ReadElementReply(status=_OK, payload=payload)

    def WriteElement(self, request, context):
        serial, object_id = request.serial, request.object_id
        if log.isEnabledFor(logging.DEBUG):
            log.debug("write %s %s %s", serial, objects.describe(object_id), request.payload.hex())
        meter = self._meter(serial, context)
        action = self._fault(serial, Operation.WRITE, object_id, context, "write")
        if action is not None and action.kind in _OUTCOMES:
            # The write never reached the meter: nothing changes.
            return pb.WriteElementReply(status=self._status(action, serial, objects.describe(object_id)))
        try:
            objects.write(meter, object_id, request.payload, self._fleet.now())
        except SimulatorError as e:
            context.abort(e.code, e.details)
        return pb.WriteElementReply(status=_OK)

    def SendMessage(self, request, context):
        serial = request.serial
        if log.isEnabledFor(logging.DEBUG):
            log.debug("message %s %s", serial, request.message.hex())
        meter = self._meter(serial, context)
        frame = messages.is_interval_request(request.message)
        action = self._fault(serial, Operation.MESSAGE, None, context, "data record", frame)
        if action is not None and action.kind in _OUTCOMES:
            return pb.SendMessageReply(status=self._status(action, serial, "data record"))
        distortion = action.fault if action is not None and action.kind in INTERVAL_FAULTS else None
        try:
            reply = messages.handle(meter, request.message, self._fleet.now(), distortion)
        except SimulatorError as e:
            context.abort(e.code, e.details)
        if action is not None and distortion is None:
            reply = messages.malformed(reply)
        return pb.SendMessageReply(status=_OK, reply=reply)


class _RequireToken(grpc.ServerInterceptor):
    """Refuses every call of the mediator service that does not carry the bearer token
    in ``token_file`` (re-read when the file changes). Health checks and reflection
    stay open, as probes and tools expect."""

    def __init__(self, token_file: TokenFile) -> None:
        self._token = token_file
        self._prefix = f"/{SERVICE_NAME}/"

        def deny(request, context):
            context.abort(grpc.StatusCode.UNAUTHENTICATED, "missing or wrong bearer token")

        self._deny = grpc.unary_unary_rpc_method_handler(deny)

    def intercept_service(self, continuation, handler_call_details):
        if not handler_call_details.method.startswith(self._prefix):
            return continuation(handler_call_details)
        presented = None
        for key, value in handler_call_details.invocation_metadata or ():
            if key == "authorization":
                presented = value
                break
        try:
            ok = self._token.matches(presented)
        except TokenFileError as e:
            log.error("refusing calls: %s", e)
            ok = False
        return continuation(handler_call_details) if ok else self._deny


class RunningSimulator:
    """A started simulator. ``address`` is what a client connects to (``unix:PATH`` for
    a Unix socket, whose path is ``unix_socket``); ``tls`` says whether it serves TLS,
    ``mutual_tls`` whether it requires client certificates, ``token_required`` whether
    calls need the bearer token."""

    def __init__(
        self,
        server: grpc.Server,
        fleet: Fleet,
        host: str,
        port: int,
        stopping: threading.Event,
        health_servicer: health.HealthServicer | None = None,
        *,
        tls: bool = False,
        mutual_tls: bool = False,
        token_required: bool = False,
        unix_socket: _UnixSocket | None = None,
    ) -> None:
        self._server = server
        self._stopping = stopping
        self._health = health_servicer
        self.fleet = fleet
        self.host = host
        self.port = port
        self._socket = unix_socket
        self.unix_socket = unix_socket.path if unix_socket is not None else None
        if unix_socket is not None:
            self.address = f"unix:{unix_socket.path}"
        else:
            self.address = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
        self.tls = tls
        self.mutual_tls = mutual_tls
        self.token_required = token_required
        self._stopped = False

    def stop(self, grace: float | None = None) -> None:
        """Stops serving; calls in flight are cancelled (after ``grace`` seconds if given)."""
        if self._stopped:
            return
        self._stopped = True
        self._stopping.set()  # cut injected latencies short
        if self._health is not None:
            self._health.enter_graceful_shutdown()  # probes see NOT_SERVING during the grace period
        self._server.stop(grace).wait()
        if self._socket is not None:
            self._socket.remove()

    def wait(self, timeout: float | None = None) -> bool:
        """Blocks until the server stops (True) or ``timeout`` passes (False)."""
        timed_out = self._server.wait_for_termination(timeout)
        return not timed_out

    def __enter__(self) -> RunningSimulator:
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()

    def __repr__(self) -> str:
        mode = " mutual-TLS" if self.mutual_tls else (" TLS" if self.tls else "")
        mode += " token" if self.token_required else ""
        return f"<RunningSimulator {self.address}{mode} meters={len(self.fleet)}{' stopped' if self._stopped else ''}>"


def start_simulator(
    fleet: Fleet | None = None,
    *,
    host: str = "127.0.0.1",
    port: int = 0,
    max_workers: int = DEFAULT_MAX_WORKERS,
    tls_cert: str | os.PathLike[str] | None = None,
    tls_key: str | os.PathLike[str] | None = None,
    client_ca: str | os.PathLike[str] | None = None,
    token_file: str | os.PathLike[str] | None = None,
    unix_socket: str | os.PathLike[str] | None = None,
) -> RunningSimulator:
    """Starts the simulator in this process (background threads) and returns at once.

    ``fleet`` defaults to ``Fleet.default()``; ``port`` 0 picks a free port (see
    ``.port``). ``tls_cert`` + ``tls_key`` (PEM files) serve TLS; ``client_ca`` (with
    them) requires client certificates signed by that CA; ``token_file`` requires the
    bearer token it holds on every mediator call (UNAUTHENTICATED otherwise). With
    ``unix_socket`` it listens on a Unix socket at that path instead of a TCP port: the
    socket is only ever there with mode 0600, so only this user's processes can connect,
    and it is removed when the simulator stops. The health service (``grpc.health.v1``)
    and server reflection are always on. Raises OSError when the address cannot be bound
    (or the socket path is taken), ValueError for unusable TLS or token files.
    """
    if fleet is None:
        fleet = Fleet.default()
    if not isinstance(fleet, Fleet):
        raise TypeError(f"fleet must be a Fleet, got {type(fleet).__name__}")
    if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
        raise ValueError(f"port must be 0..65535 (0 picks a free port), got {port!r}")
    if isinstance(max_workers, bool) or not isinstance(max_workers, int) or max_workers < 1:
        raise ValueError(f"max_workers must be a whole number >= 1, got {max_workers!r}")
    credentials = _server_credentials(tls_cert, tls_key, client_ca)
    interceptors = []
    if token_file is not None:
        try:
            interceptors.append(_RequireToken(TokenFile(token_file)))
        except TokenFileError as e:
            raise ValueError(str(e)) from None
    if unix_socket is not None and port:
        raise ValueError("give a port or a Unix socket to listen on, not both")
    target = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    if credentials is None and unix_socket is None and not is_loopback_host(host):
        log.warning(
            "simulator listening on %s without TLS: anyone who can reach this address can read and "
            "write its meters%s; give a certificate and key (--tls-cert/--tls-key) or bind 127.0.0.1",
            target, " and see the bearer token" if token_file is not None else "",
        )
    stopping = threading.Event()
    server = grpc.server(
        futures.ThreadPoolExecutor(max_workers=max_workers, thread_name_prefix="halvex-sim"),
        interceptors=interceptors,
        options=[
            # Without this a second simulator could silently share a fixed port with the first.
            ("grpc.so_reuseport", 0),
            # Let clients keep idle channels open with keepalive pings.
            ("grpc.keepalive_permit_without_calls", 1),
            ("grpc.http2.min_ping_interval_without_data_ms", 1000),
        ],
    )
    pb_grpc.add_HalvexMediatorServicer_to_server(_Servicer(fleet, stopping), server)
    health_servicer = health.HealthServicer()
    health_pb2_grpc.add_HealthServicer_to_server(health_servicer, server)
    reflection.enable_server_reflection(
        (SERVICE_NAME, health_pb2.DESCRIPTOR.services_by_name["Health"].full_name, reflection.SERVICE_NAME), server
    )

    def add_port(address: str) -> int:
        try:
            if credentials is None:
                return server.add_insecure_port(address)
            return server.add_secure_port(address, credentials)
        except RuntimeError as e:
            raise OSError(f"simulator cannot listen on {address}: address in use or not available") from e

    sock = None
    try:
        if unix_socket is not None:
            sock = _UnixSocket.bind(os.fspath(unix_socket), add_port)
            bound = 0
        else:
            bound = add_port(target)
            if not bound:
                raise OSError(f"simulator cannot listen on {target}: address in use or not available")
    except BaseException:
        server.stop(None)
        raise
    server.start()
    for service in ("", SERVICE_NAME):
        health_servicer.set(service, health_pb2.HealthCheckResponse.SERVING)
    sim = RunningSimulator(
        server, fleet, host, bound, stopping, health_servicer,
        tls=credentials is not None, mutual_tls=client_ca is not None, token_required=token_file is not None,
        unix_socket=sock,
    )
    log.info("simulator listening on %s with %d meters", sim.address, len(fleet))
    return sim


def security_words(sim: RunningSimulator) -> str:
    """How clients must connect, in words: "mutual TLS, bearer token", "no TLS", ..."""
    words = ["mutual TLS" if sim.mutual_tls else ("TLS" if sim.tls else "no TLS")]
    if sim.token_required:
        words.append("bearer token")
    return ", ".join(words)


def _server_credentials(tls_cert, tls_key, client_ca) -> grpc.ServerCredentials | None:
    if tls_cert is None and tls_key is None:
        if client_ca is not None:
            raise ValueError("client_ca needs tls_cert and tls_key: client certificates are checked over TLS only")
        return None
    if tls_cert is None or tls_key is None:
        raise ValueError("tls_cert and tls_key go together: give the certificate and its private key")
    cert = read_pem(tls_cert, "tls_cert", "CERTIFICATE")
    key = read_pem(tls_key, "tls_key", "PRIVATE KEY")
    check_key_pair(os.fspath(tls_cert), os.fspath(tls_key), "tls_cert", "tls_key")
    ca = read_pem(client_ca, "client_ca", "CERTIFICATE")
    return grpc.ssl_server_credentials([(key, cert)], root_certificates=ca, require_client_auth=ca is not None)


class _UnixSocket:
    """The simulator's Unix socket at ``path``. It is bound in a fresh folder only this
    user can enter, made 0600 there and only then linked to ``path``: no moment exists
    in which another user could connect, whatever the umask. The link never replaces
    anything but a dead socket of this user's."""

    def __init__(self, path: str, st: os.stat_result) -> None:
        self.path = path
        self._identity = (st.st_dev, st.st_ino)

    @classmethod
    def bind(cls, path: str, add_port) -> _UnixSocket:
        path = os.path.abspath(path)
        private = tempfile.mkdtemp(prefix=".halvex-simulator-", dir=os.path.dirname(path))
        inner = os.path.join(private, "socket")
        try:
            if not add_port(f"unix:{inner}"):
                raise OSError(f"simulator cannot listen on unix:{path}: the socket cannot be made")
            os.chmod(inner, 0o600)
            _link_socket(inner, path)
            return cls(path, os.lstat(path))
        finally:
            with contextlib.suppress(OSError):
                os.unlink(inner)
            with contextlib.suppress(OSError):
                os.rmdir(private)

    def remove(self) -> None:
        """Removes the socket, unless something else has taken its path since."""
        with contextlib.suppress(OSError):
            st = os.lstat(self.path)
            if (st.st_dev, st.st_ino) == self._identity:
                os.unlink(self.path)


def _link_socket(inner: str, path: str) -> None:
    try:
        os.link(inner, path)
        return
    except FileExistsError:
        pass
    st = os.lstat(path)
    if not (stat.S_ISSOCK(st.st_mode) and st.st_uid == os.geteuid() and not _listening(path)):
        raise OSError(errno.EEXIST, f"simulator cannot listen on unix:{path}: the path exists and is not a "
                                    "socket this user left behind; remove it or choose another path")
    os.unlink(path)  # a socket left by a simulator that ended without removing it
    os.link(inner, path)


def _listening(path: str) -> bool:
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
        try:
            probe.connect(path)
        except OSError:
            return False
    return True
