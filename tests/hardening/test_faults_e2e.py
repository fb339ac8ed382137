"""Transport faults end to end: the real HalvexMediatorAPI, the real gRPC transport and the
simulator on loopback. Each fault reaches the caller as the documented exception, within the
deadline the test sets, and leaves nothing half-written (meter settings, CSV files).

The core builds its transport as HalvexMediatorGrpcClient(mediator_address=...), so the tests
put a subclass with a short deadline into the core's namespace (`api` fixture).
"""

from __future__ import annotations

import datetime as dt
import socket
import threading

import grpc
import pytest

import norvo_halvex.mediator.api_core as api_core
from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient
from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from norvo_halvex.mediator.simulator import Fault, Fleet, start_simulator
from quarn_frame_protocol.errors import QuarnCodecError

from support import hardening as hs
from support.core import closing_clients
from support.logs import RecordingLogger

DEADLINE = 5.0  # seconds; every call of these tests is bounded by it
SHORT_DEADLINE = 0.3


def client_class(timeout: float, on_message=None):
    """The real transport with a deadline of `timeout` seconds (and an optional hook after
    each data-record reply)."""

    class Client(HalvexMediatorGrpcClient):
        def __init__(self, mediator_address=None):
            super().__init__(mediator_address, timeout=timeout)
            self.messages = 0

        def send_message(self, serial, message):
            reply = super().send_message(serial, message)
            self.messages += 1
            if on_message is not None:
                on_message(self.messages)
            return reply

    return Client


@pytest.fixture(scope="module")
def sim():
    fleet = Fleet.default()
    fleet.freeze_time(hs.FROZEN_AT)
    with start_simulator(fleet) as running:
        yield running


@pytest.fixture
def make_api(monkeypatch):
    """make_api(address, timeout=DEADLINE, on_message=None) -> a HalvexMediatorAPI on the real
    transport; closed after the test."""
    monkeypatch.setattr(api_core, "logger", RecordingLogger())
    with closing_clients() as build:

        def make(address, timeout=DEADLINE, on_message=None):
            monkeypatch.setattr(api_core, "HalvexMediatorGrpcClient", client_class(timeout, on_message))
            return build(address)

        yield make


@pytest.fixture
def api(sim, make_api):
    sim.fleet.clear_faults()
    yield make_api(sim.address)
    sim.fleet.clear_faults()


def _plan():
    """Every method with its transport operations on a healthy meter."""
    mediator = hs.FleetMediator()
    return {name: hs.dry_run(name, mediator) for name in hs.METHOD_NAMES if name != "__init__"}


PLAN = _plan()
CONTACTING = [name for name, ops in PLAN.items() if ops]


def _serial_of(name):
    args, _ = hs.plausible_call(name)
    return args[0]


def call(client, name):
    args, kwargs = hs.plausible_call(name)
    return getattr(client, name)(*args, **kwargs)


def expect(first_op: str, kind: str):
    """The exception a fault of `kind` on the first transport call must surface as."""
    element = first_op != "send_message"
    if kind == "connection_failure":
        return (MediatorClientException, "HALVEX_CONNECTION_FAILURE") if element else (HalvexConnectionFailure, None)
    if kind == "end_of_stream":
        return (MediatorClientException, "HALVEX_EOF_ERROR") if element else (HalvexEOFError, None)
    return MediatorClientException, kind  # a gRPC status name


def check_raised(name, excinfo, expected_type, code):
    e = excinfo.value
    assert type(e) is expected_type, f"{name}: {e!r}"
    if code is not None:
        assert e.code == code and e.args[0] == code, f"{name}: {e.args!r}"


# -- mediator not running -------------------------------------------------------------------


@pytest.fixture(scope="module")
def dead_address():
    """A loopback port nobody listens on (taken from the OS, then released)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"127.0.0.1:{port}"


@pytest.mark.parametrize("name", CONTACTING)
def test_mediator_not_running(name, make_api, dead_address):
    client = make_api(dead_address)
    if name == "_safe_read_element":
        assert call(client, name) is None
        return
    with pytest.raises(MediatorClientException) as excinfo:
        call(client, name)
    check_raised(name, excinfo, MediatorClientException, "UNAVAILABLE")
    assert isinstance(excinfo.value.__context__, grpc.RpcError)


# -- meter-side failures and gRPC statuses on the first call -------------------------------------


def _prepare_write(client, name):
    """For a write method: puts a value on the meter that the method's plausible call would
    change, and returns a reader of it; None for other methods."""
    serial = _serial_of(name)
    Backlight = api_core.QuarnMessage.BacklightSettingType
    LoadSwitch = api_core.QuarnMessage.LoadSwitchSettingType
    setups = {
        "backlight_write": (lambda: client.backlight_write(serial, Backlight.off), lambda: client.backlight(serial)),
        "_write_element": (lambda: client.backlight_write(serial, Backlight.off), lambda: client.backlight(serial)),
        "load_switch_write": (lambda: client.load_switch_write(serial, LoadSwitch.disconnected),
                              lambda: client.load_switch(serial)),
        "daylight_savings_correction_enabled_write": (
            lambda: client.daylight_savings_correction_enabled_write(serial, False),
            lambda: client.daylight_savings_correction_enabled(serial)),
        "obis_write": (lambda: client.obis_write(serial, "1.8.0", "00"), lambda: client.obis_read(serial, "1.8.0")),
        "clock_time_write": (lambda: None, lambda: client.clock_time_read(serial)),
    }
    if name not in setups:
        return None
    setup, reader = setups[name]
    setup()
    return reader


@pytest.mark.parametrize("kind", ["connection_failure", "end_of_stream", "UNAVAILABLE", "INTERNAL"])
@pytest.mark.parametrize("name", CONTACTING)
def test_meter_fault_on_first_call(name, kind, api, sim):
    ops = PLAN[name]
    serial = _serial_of(name)
    reader = _prepare_write(api, name)
    before = reader() if reader else None
    fault = Fault(status=kind, details="injected by the test") if kind.isupper() else Fault(kind)
    sim.fleet.set_fault(serial, fault)
    try:
        if name == "_safe_read_element":
            assert call(api, name) is None
            return
        expected_type, code = expect(ops[0], kind)
        with pytest.raises(expected_type) as excinfo:
            call(api, name)
    finally:
        sim.fleet.clear_fault(serial)
    check_raised(name, excinfo, expected_type, code)
    if kind.isupper():
        assert excinfo.value.message == "injected by the test"
    else:  # the transport's own text, naming the meter, reaches the caller
        assert serial in excinfo.value.message
    if reader is not None:
        assert reader() == before, f"{name}: a failed write changed the meter"


@pytest.mark.parametrize("status", [c for c in grpc.StatusCode if c is not grpc.StatusCode.OK], ids=lambda c: c.name)
@pytest.mark.parametrize("name", ["csq", "obis_write", "event_log", "profile_log_1"])
def test_every_grpc_status(name, status, api, sim):
    ops = PLAN[name]
    serial = _serial_of(name)
    sim.fleet.set_fault(serial, Fault(status=status.name, details=f"status {status.name}"))
    try:
        with pytest.raises(MediatorClientException) as excinfo:
            call(api, name)
    finally:
        sim.fleet.clear_fault(serial)
    assert excinfo.value.args == (status.name, f"status {status.name}"), ops
    assert isinstance(excinfo.value.__context__, grpc.RpcError)


# -- deadline --------------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["csq", "backlight_write", "event_log", "three_phase_instantaneous_voltage"])
def test_latency_past_the_deadline(name, sim, make_api):
    serial = _serial_of(name)
    client = make_api(sim.address, timeout=SHORT_DEADLINE)
    sim.fleet.set_fault(serial, Fault(latency=SHORT_DEADLINE * 10))
    try:
        with pytest.raises(MediatorClientException) as excinfo:
            call(client, name)
    finally:
        sim.fleet.clear_fault(serial)
    assert excinfo.value.code == "DEADLINE_EXCEEDED"


# -- replies that do not parse -----------------------------------------------------------------

# Methods whose reply the codec must refuse when the meter answers garbage (firmware and OBIS
# payloads take any bytes, so a malformed reply is merely a wrong answer there).
MALFORMED = ["csq", "serial_read", "hardware", "clock_time_read", "read_element_a", "backlight",
             "three_phase_hardware_configuration", "event_log", "profile_log_1", "profile_log_2",
             "_three_phase_intervals_read", "three_phase_intervals"]


@pytest.mark.parametrize("name", MALFORMED)
def test_malformed_reply(name, api, sim, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # the download would write CSV to stdout; nothing may appear here
    serial = _serial_of(name)
    sim.fleet.set_fault(serial, Fault("malformed_reply"))
    try:
        with pytest.raises(QuarnCodecError):
            call(api, name)
    finally:
        sim.fleet.clear_fault(serial)
    assert list(tmp_path.iterdir()) == []


# -- interval download cut short -------------------------------------------------------------

START = dt.datetime(2025, 6, 2, 1, 0, tzinfo=dt.timezone.utc)
END = START + dt.timedelta(hours=10)  # three frames: 4 h, 4 h, 2 h
INTERVALS_SERIAL = "HX3000002"


@pytest.fixture
def csv_dir(tmp_path):
    existing = tmp_path / "existing.csv"
    existing.write_bytes(b"an earlier download\r\nkept,as,is\n")
    return tmp_path


def _snapshot(directory):
    return {p.name: p.read_bytes() for p in directory.iterdir()}


def _download(client, target):
    return client.three_phase_intervals(INTERVALS_SERIAL, None, START, END, str(target))


def test_download_writes_when_nothing_fails(api, csv_dir):
    result = _download(api, csv_dir / "new.csv")
    assert (csv_dir / "new.csv").stat().st_size > 0
    assert result is not None
    assert api.grpc_client.messages == 3


@pytest.mark.parametrize("target", ["existing.csv", "new.csv"])
def test_mediator_stopped_mid_download(target, csv_dir, make_api):
    fleet = Fleet.default()
    fleet.freeze_time(hs.FROZEN_AT)
    sim = start_simulator(fleet)
    stopped = threading.Event()

    def after_reply(n):
        if n == 2:  # the mediator goes away between the 2nd and the 3rd frame
            t = threading.Thread(target=lambda: (sim.stop(), stopped.set()))
            t.start()
            t.join(DEADLINE)

    try:
        client = make_api(sim.address, on_message=after_reply)
        before = _snapshot(csv_dir)
        with pytest.raises(MediatorClientException) as excinfo:
            _download(client, csv_dir / target)
    finally:
        sim.stop()
    assert stopped.is_set() and client.grpc_client.messages == 2
    assert excinfo.value.code == "UNAVAILABLE"
    assert _snapshot(csv_dir) == before


@pytest.mark.parametrize(
    "fault, expected",
    [
        (Fault("connection_failure", operations=["message"], after=2), HalvexConnectionFailure),
        (Fault("end_of_stream", operations=["message"], after=2), HalvexEOFError),
        (Fault(status="UNAVAILABLE", operations=["message"], after=2), MediatorClientException),
        (Fault(status="RESOURCE_EXHAUSTED", operations=["message"], after=1), MediatorClientException),
        (Fault("malformed_reply", operations=["message"], after=2), QuarnCodecError),
        (Fault("connection_failure", operations=["read"]), MediatorClientException),
    ],
    ids=["connection-3rd-frame", "eof-3rd-frame", "grpc-3rd-frame", "grpc-2nd-frame", "malformed-3rd-frame",
         "connection-hardware-read"],
)
@pytest.mark.parametrize("target", ["existing.csv", "new.csv"])
def test_download_fault_leaves_files_alone(fault, expected, target, api, sim, csv_dir):
    sim.fleet.set_fault(INTERVALS_SERIAL, fault)
    before = _snapshot(csv_dir)
    try:
        with pytest.raises(expected) as excinfo:
            _download(api, csv_dir / target)
    finally:
        sim.fleet.clear_fault(INTERVALS_SERIAL)
    assert type(excinfo.value) is expected
    assert _snapshot(csv_dir) == before


def test_download_past_the_deadline_leaves_files_alone(sim, make_api, csv_dir):
    client = make_api(sim.address, timeout=SHORT_DEADLINE)
    sim.fleet.set_fault(INTERVALS_SERIAL, Fault(latency=SHORT_DEADLINE * 10, operations=["message"], after=1))
    before = _snapshot(csv_dir)
    try:
        with pytest.raises(MediatorClientException) as excinfo:
            _download(client, csv_dir / "existing.csv")
    finally:
        sim.fleet.clear_fault(INTERVALS_SERIAL)
    assert excinfo.value.code == "DEADLINE_EXCEEDED"
    assert _snapshot(csv_dir) == before
