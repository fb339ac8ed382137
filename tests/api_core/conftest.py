"""Shared fakes for the api_core tests.

`core` swaps a fake transport class and a recording logger into the module namespace of
norvo_halvex.mediator.api_core (the core looks both up late, at each call) and restores the
originals afterwards. Operation tests script the transport per object id or per call:

    def test_x(core):
        core.transport.replies[("read_element", ObjectIdEnum.serial)] = SimpleNamespace(serial=" X ")
        client = core.client()
        ...
        assert core.transport.calls == [("read_element", ("HX1", ObjectIdEnum.serial))]
        assert core.log.entries[-1] == ("info", "received serial", (("serial", "X"), ...))
"""

from __future__ import annotations

import logging
from typing import Any

import pytest

import norvo_halvex.mediator.api_core as api_core
from core_fakes import CoreEnv, FakeMediator, RecordingLogger


@pytest.fixture
def core(monkeypatch: pytest.MonkeyPatch):
    mediator = FakeMediator()
    logger = RecordingLogger()
    monkeypatch.setattr(api_core, "HalvexMediatorGrpcClient", mediator.make_class())
    monkeypatch.setattr(api_core, "logger", logger)
    root = logging.getLogger()
    level = root.level  # constructing a client sets the root level; put it back
    yield CoreEnv(api_core, mediator, logger, monkeypatch)
    root.setLevel(level)


@pytest.fixture
def client(core: CoreEnv) -> Any:
    """A client on the fake transport, its construction entries already cleared."""
    c = core.client("127.0.0.1:1")
    core.log.entries.clear()
    core.transport.calls.clear()
    core.transport.created.clear()
    return c
