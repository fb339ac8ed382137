"""One HalvexMediatorAPI shared by many threads.

Against the simulator (clock frozen, so registers do not advance between reads), every
threaded result equals what a separate client read sequentially, and the hardware cache holds
one correct entry per meter. Against the in-process mediator, with the interpreter switching
threads as often as it can, threads that churn the hardware cache under the readers' feet
cause no crash and only the documented result-check error.
"""

from __future__ import annotations

import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import norvo_halvex.mediator.api_core as api_core
from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient
from norvo_halvex.mediator.simulator import Fault, Fleet, MeterKind, start_simulator

from support import hardening as hs
from support.core import client_on, closing_clients, no_export, patched
from support.hardening import plain
from support.logs import NullLogger, RecordingLogger

THREADS = 16
ROUNDS = 2
WRITES = ("_write", "clock_time_write", "_write_element", "_send_message")


def read_operations() -> list[str]:
    """Every method that only reads a meter and returns something comparable."""
    return [name for name in hs.METHOD_NAMES
            if name != "__init__" and not name.endswith(WRITES) and not name.startswith("_scale")
]


def outcome(client, name, serial):
    args, kwargs = hs.plausible_call(name)
    try:
        return "ok", plain(getattr(client, name)(serial, *args[1:], **kwargs))
    except Exception as e:  # e.g. NOT_FOUND for an object this meter kind lacks: must be the same too
        return "raised", type(e).__name__, str(e)


def snapshot(client, serial, names):
    return {name: outcome(client, name, serial) for name in names}


class ShortDeadline(HalvexMediatorGrpcClient):
    def __init__(self, mediator_address=None):
        super().__init__(mediator_address, timeout=10.0)


def real_transport():
    """The core's module names for clients on the real transport (without a CSV export)."""
    return patched(api_core, {"HalvexMediatorGrpcClient": ShortDeadline, "logger": RecordingLogger(),
                              "export_three_phase_intervals_to_csv": no_export})


@pytest.fixture(scope="module")
def fleet_sim():
    fleet = Fleet.generate(2 * THREADS, kinds=tuple(MeterKind))
    fleet.freeze_time(hs.FROZEN_AT)
    with start_simulator(fleet, max_workers=THREADS * 2) as sim:
        yield sim


@pytest.fixture
def make_client():
    with real_transport(), closing_clients() as make:
        yield make


@pytest.fixture(scope="module")
def reference(fleet_sim):
    """Every read of every meter, sequentially, by a client of its own."""
    with real_transport(), closing_clients() as make:
        client = make(fleet_sim.address)
        return {serial: snapshot(client, serial, read_operations()) for serial in fleet_sim.fleet.meters}


def _run_threads(work, jobs):
    with ThreadPoolExecutor(max_workers=THREADS) as pool:
        return list(pool.map(work, jobs))


def _check_cache(client, reference, serials):
    cache = client._hardware_cache
    assert sorted(cache) == sorted(serials)
    for serial in serials:
        expected = reference[serial]["hardware"]
        if expected[0] == "ok":
            assert cache[serial] == expected[1], serial
    assert all(type(v) is str for v in cache.values())


@pytest.mark.parametrize("latency", [0.0, 0.003], ids=["no-latency", "3ms-latency"])
def test_threads_read_different_meters(fleet_sim, reference, make_client, latency):
    client = make_client(fleet_sim.address)
    serials = sorted(fleet_sim.fleet.meters)
    if latency:
        for serial in serials:
            fleet_sim.fleet.set_fault(serial, Fault(latency=latency))
    try:
        jobs = [serials[i::THREADS] for i in range(THREADS)] * ROUNDS
        results = _run_threads(lambda mine: {s: snapshot(client, s, read_operations()) for s in mine}, jobs)
    finally:
        fleet_sim.fleet.clear_faults()
    compared = 0
    for result in results:
        for serial, snap in result.items():
            assert snap == reference[serial], serial
            compared += len(snap)
    hs.STATS["concurrent results compared with sequential reads"] += compared
    _check_cache(client, reference, serials)


@pytest.mark.parametrize("kind", [MeterKind.TWIN_ELEMENT, MeterKind.THREE_PHASE_CX])
def test_threads_read_the_same_meter(fleet_sim, reference, make_client, kind):
    serial = next(s for s, m in sorted(fleet_sim.fleet.meters.items()) if m.kind == kind)
    client = make_client(fleet_sim.address)
    results = _run_threads(lambda _: snapshot(client, serial, read_operations()), range(THREADS * ROUNDS))
    for snap in results:
        assert snap == reference[serial]
    hs.STATS["concurrent results compared with sequential reads"] += sum(len(s) for s in results)
    _check_cache(client, reference, [serial])


def test_threads_write_their_own_meters(fleet_sim, make_client):
    """Settings written concurrently to different meters land on the right meter."""
    client = make_client(fleet_sim.address)
    Backlight = api_core.QuarnMessage.BacklightSettingType
    serials = sorted(fleet_sim.fleet.meters)
    wanted = {s: list(Backlight)[i % len(Backlight)] for i, s in enumerate(serials)}

    def work(serial):
        for _ in range(ROUNDS):
            client.backlight_write(serial, wanted[serial])
            assert client.backlight(serial) == wanted[serial]

    _run_threads(work, serials)
    assert {s: client.backlight(s) for s in serials} == wanted


# -- the hardware cache churned while threads read it ------------------------------------------

CHURN_SECONDS = 0.6


def test_cache_churn_with_fast_thread_switching():
    """Readers classify meters while other threads replace, delete and corrupt the cache
    entries. Each read returns a text or raises the result check's TypeError; nothing else."""
    mediator = hs.FleetMediator()
    serials = ["HX1000001", "HX1000002", "HX3000001", "HX3000002"]
    client = client_on(hs.scripted(mediator=mediator), NullLogger())
    client.log = NullLogger()
    stop = threading.Event()
    seen: dict[str, int] = {}
    failures: list[BaseException] = []

    def churn(n):
        i = 0
        while not stop.is_set():
            i += 1
            serial = serials[i % len(serials)]
            step = (i + n) % 5
            cache = client._hardware_cache
            if step == 0:
                cache[serial] = "".join(["churned-", str(i)])  # a fresh str each time
            elif step == 1:
                cache.pop(serial, None)
            elif step == 2:
                cache[serial] = i  # not text: the reader's result check must refuse it
            elif step == 3:
                cache.clear()
            else:
                client._hardware_cache = {}  # the whole dict swapped for a new one

    def read(n):
        while not stop.is_set():
            for serial in serials:
                try:
                    value = client.hardware(serial)
                    assert type(value) is str
                    key = "valid" if value in ("P0.se", "P0.te", "P1.ax", "P1.cx") else "churned"
                except TypeError as e:
                    assert "Expected" in str(e), e
                    key = "refused"
                except BaseException as e:  # noqa: BLE001
                    failures.append(e)
                    return
                seen[key] = seen.get(key, 0) + 1

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        with patched(api_core, {"logger": NullLogger()}):
            threads = [threading.Thread(target=churn, args=(n,)) for n in range(2)]
            threads += [threading.Thread(target=read, args=(n,)) for n in range(6)]
            for t in threads:
                t.start()
            stop.wait(CHURN_SECONDS)
            stop.set()
            for t in threads:
                t.join(30)
    finally:
        sys.setswitchinterval(interval)
    assert not failures, failures
    assert not any(t.is_alive() for t in threads)
    hs.STATS["hardware reads under cache churn"] += sum(seen.values())
    assert seen.get("valid", 0) > 0 and seen.get("churned", 0) + seen.get("refused", 0) > 0, seen
