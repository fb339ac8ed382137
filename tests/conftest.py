"""Shared fixtures.

- ``fleet``: a fresh ``Fleet.default()`` per test (override this fixture in a test
  module to run the simulator over another fleet).
- ``simulator``: the mediator simulator over ``fleet``, in this process, on 127.0.0.1
  with an ephemeral port; stopped after the test. ``simulator.address`` is the target.
- ``mediator_client``: a ``HalvexMediatorGrpcClient`` connected to ``simulator``.

Imports happen inside the fixtures so that areas which never use them do not depend on
the transport, the simulator or the codec.

The shared harness is the package `support` in this folder (see support/__init__.py); tests/
goes on sys.path here so that every folder imports it the same way, whatever the import mode.
"""

import sys
from pathlib import Path

import pytest

_TESTS = str(Path(__file__).resolve().parent)
if _TESTS not in sys.path:
    sys.path.insert(0, _TESTS)


@pytest.fixture
def fleet():
    from norvo_halvex.mediator.simulator import Fleet

    return Fleet.default()


@pytest.fixture
def simulator(fleet):
    from norvo_halvex.mediator.simulator import start_simulator

    sim = start_simulator(fleet, host="127.0.0.1", port=0)
    try:
        yield sim
    finally:
        sim.stop()


@pytest.fixture
def mediator_client(simulator):
    from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient

    with HalvexMediatorGrpcClient(simulator.address, timeout=5.0) as client:
        yield client
