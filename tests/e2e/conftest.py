"""The real client over gRPC against the simulator of tests/conftest.py."""

from __future__ import annotations

import logging

import pytest

from norvo_halvex.mediator.api_core import HalvexMediatorAPI


@pytest.fixture
def api(simulator):
    root = logging.getLogger()
    level = root.level  # constructing a client sets the root level; put it back
    client = HalvexMediatorAPI(simulator.address)
    yield client
    client.grpc_client.close()
    root.setLevel(level)
