"""HalvexMediatorAPI(...): what construction does, in which order."""

from __future__ import annotations

import logging

import pytest


def test_steps_in_order(core, monkeypatch):
    events = []
    mediator = core.transport
    fake_class = core.module.HalvexMediatorGrpcClient

    class Transport(fake_class):
        def __init__(self, *args, **kwargs):
            events.append(("transport", args, kwargs))
            super().__init__(*args, **kwargs)

    root = logging.getLogger()
    real_set_level = root.setLevel
    monkeypatch.setattr(root, "setLevel", lambda level: (events.append(("setLevel", level)), real_set_level(level)))
    real_bind = core.log.bind
    monkeypatch.setattr(core.log, "bind", lambda **kw: (events.append(("bind", kw)), real_bind(**kw))[1])
    core.set("HalvexMediatorGrpcClient", Transport)

    client = core.client("10.0.0.1:50051", "DEBUG")

    assert events == [
        ("transport", (), {"mediator_address": "10.0.0.1:50051"}),
        ("setLevel", "DEBUG"),
        ("bind", {"mediator_address": "10.0.0.1:50051"}),
    ]
    assert core.entries == [("debug", "HalvexMediatorClient init", ())]
    assert core.entries[0].bound == {"mediator_address": "10.0.0.1:50051"}
    assert list(vars(client)) == ["grpc_client", "log", "_hardware_cache"]
    assert isinstance(client.grpc_client, Transport)
    assert client.log.bound == {"mediator_address": "10.0.0.1:50051"}
    assert client._hardware_cache == {}
    assert root.level == logging.DEBUG
    assert mediator.calls == []


def test_defaults(core):
    root = logging.getLogger()
    root.setLevel(logging.WARNING)
    client = core.client()
    assert core.transport.created == [{"args": (), "kwargs": {"mediator_address": "0.0.0.0:50051"}}]
    assert client.log.bound == {"mediator_address": "0.0.0.0:50051"}
    assert root.level == logging.INFO


def test_none_address_is_passed_on(core):
    client = core.client(None)
    assert core.transport.created[-1]["kwargs"] == {"mediator_address": None}
    assert client.log.bound == {"mediator_address": None}


def test_latest_client_decides_the_root_level(core):
    root = logging.getLogger()
    core.client("a", "DEBUG")
    assert root.level == logging.DEBUG
    core.client("b")
    assert root.level == logging.INFO
    core.client(mediator_address="c", logging_level=35)
    assert root.level == 35


def test_each_client_has_its_own_cache(core):
    a, b = core.client("a"), core.client("b")
    assert a._hardware_cache == {} and a._hardware_cache is not b._hardware_cache


@pytest.mark.parametrize("failing", ["transport", "level", "bind"])
def test_failures_propagate_and_nothing_is_logged(core, failing, monkeypatch):
    class Failure(Exception):
        pass

    if failing == "transport":
        def broken(**kwargs):
            raise Failure("no transport")

        core.set("HalvexMediatorGrpcClient", broken)
        level = "DEBUG"
    elif failing == "level":
        level = "NOT_A_LEVEL"
    else:
        monkeypatch.setattr(core.log, "bind", lambda **kw: (_ for _ in ()).throw(Failure("bind")))
        level = "DEBUG"
    with pytest.raises(Failure if failing != "level" else ValueError):
        core.client("a", level)
    assert core.entries == []
    if failing == "transport":
        assert logging.getLogger().level != logging.DEBUG  # stopped before setLevel


def test_init_on_existing_object_rebinds(core):
    client = core.client("a")
    first_transport = client.grpc_client
    client.__init__("b")
    assert client.grpc_client is not first_transport
    assert client.log.bound == {"mediator_address": "b"}
