"""The core's module names pointed at fakes: the `core` and `client` fixtures, and the helpers the
hardening suites build their worlds with.

`core` swaps a fake transport class and a recording logger into the module namespace of
norvo_halvex.mediator.api_core (the core looks both up late, at each call) and restores the
originals afterwards. Operation tests script the transport per object id or per call:

    def test_x(core):
        core.transport.replies[("read_element", ObjectIdEnum.serial)] = SimpleNamespace(serial=" X ")
        client = core.client()
        ...
        assert core.transport.calls == [("read_element", ("HX1", ObjectIdEnum.serial))]
        assert core.log.entries[-1] == ("info", "received serial", (("serial", "X"), ...))

A test folder gets the fixtures by importing them into its conftest.py.
"""

from __future__ import annotations

import contextlib
import dataclasses
import enum
import logging
from typing import Any, Callable, Iterator

import pytest

import norvo_halvex.mediator.api_core as api_core
from support.logs import LogEntry, RecordingLogger
from support.transport import FakeTransport


class FakeObjectId(enum.IntEnum):
    """A small ObjectIdEnum stand-in (names only matter for display)."""

    serial = 1
    hardware_version = 2
    three_phase_total_active_import = 40


@dataclasses.dataclass
class CoreEnv:
    module: Any
    transport: FakeTransport
    log: RecordingLogger
    monkeypatch: pytest.MonkeyPatch

    def client(self, *args: Any, **kwargs: Any) -> Any:
        return self.module.HalvexMediatorAPI(*args, **kwargs)

    def set(self, name: str, value: Any) -> None:
        """Replace a module-level name for the rest of the test."""
        self.monkeypatch.setattr(self.module, name, value, raising=False)

    @property
    def entries(self) -> list[LogEntry]:
        return self.log.entries


@contextlib.contextmanager
def root_level_kept() -> Iterator[None]:
    """Constructing a client sets the root logger's level; this puts it back."""
    root = logging.getLogger()
    level = root.level
    try:
        yield
    finally:
        root.setLevel(level)


@pytest.fixture
def core(monkeypatch: pytest.MonkeyPatch):
    transport = FakeTransport()
    logger = RecordingLogger()
    monkeypatch.setattr(api_core, "HalvexMediatorGrpcClient", transport.make_class())
    monkeypatch.setattr(api_core, "logger", logger)
    with root_level_kept():
        yield CoreEnv(api_core, transport, logger, monkeypatch)


@pytest.fixture
def client(core: CoreEnv) -> Any:
    """A client on the fake transport, its construction entries already cleared."""
    c = core.client("127.0.0.1:1")
    core.log.entries.clear()
    core.transport.calls.clear()
    core.transport.created.clear()
    return c


# -- building worlds without fixtures (hypothesis examples, loops) ---------------------------------

_MISSING = object()


@contextlib.contextmanager
def patched(module, values: dict[str, Any], delete: tuple[str, ...] = ()) -> Iterator[None]:
    """Sets (or deletes) module attributes for the duration, then restores them exactly."""
    saved = {name: module.__dict__.get(name, _MISSING) for name in (*values, *delete)}
    try:
        for name, value in values.items():
            setattr(module, name, value)
        for name in delete:
            module.__dict__.pop(name, None)
        yield
    finally:
        for name, value in saved.items():
            if value is _MISSING:
                module.__dict__.pop(name, None)
            else:
                module.__dict__[name] = value


@contextlib.contextmanager
def closing_clients() -> Iterator[Callable[[str], Any]]:
    """Yields make(address, ...): a HalvexMediatorAPI built with the root level kept, whose
    transport (the one it holds at the end) is closed on exit."""
    made = []

    def make(*args):
        with root_level_kept():
            client = api_core.HalvexMediatorAPI(*args)
        made.append(client)
        return client

    try:
        yield make
    finally:
        for client in made:
            client.grpc_client.close()


def no_export(*args, **kwargs):
    """Stands in for the CSV export, so no test writes files or floods stdout."""
    return None


def constructor_returning(value: Any) -> Callable[..., Any]:
    """A stand-in for the transport class whose every construction gives `value`."""

    def make(*args, **kwargs):
        return value

    return make


def client_on(transport: FakeTransport, logger: Any = None) -> Any:
    """A client on `transport`, built through the module namespace."""
    logger = logger if logger is not None else RecordingLogger()
    with patched(api_core, {"HalvexMediatorGrpcClient": transport.make_class(), "logger": logger}):
        with root_level_kept():
            return api_core.HalvexMediatorAPI("127.0.0.1:1")
