"""The world changing under a running call.

While a method waits on its transport or logs, the transport and the logger swap every
module-level name of the core for a fresh equivalent object (freeing the previous one), and
swap the client's hardware cache, logger and transport the same way. A body that kept a
borrowed pointer across such a call would read freed memory; the sanitizer run turns that
into a report, and the plain run into wrong results or a crash. Every call must still give the
result it gives in a quiet world. Nested calls back into the client end in RecursionError.
"""

from __future__ import annotations

import enum
import types

import pytest

import norvo_halvex.mediator.api_core as api_core

from support import hardening as hs
from support.core import client_on, no_export, patched, root_level_kept
from support.hardening import plain
from support.hostile import new_tracker
from support.logs import NullLogger, RecordingLogger
from support.transport import REAL, FakeTransport

# Every module-level name the bodies may look up (the typing names appear in annotations only).
ORIGINALS = {name: value for name, value in vars(api_core).items()
             if not name.startswith("__")
             and name not in ("HalvexMediatorAPI", "export_three_phase_intervals_to_csv", "Any", "Dict", "Tuple")}


def equivalent(value):
    """A new object that behaves like `value` for the core, referenced only by whoever keeps it."""
    if isinstance(value, types.ModuleType):
        return types.SimpleNamespace(**vars(value))
    if isinstance(value, enum.EnumType):
        return types.SimpleNamespace(**{m.name: m for m in value}, **{
            k: v for k, v in vars(value).items() if isinstance(v, type)})
    if isinstance(value, type):
        try:
            return type(value.__name__, (value,), {"__module__": value.__module__, "__qualname__": value.__qualname__})
        except TypeError:  # a final class
            return value
    if isinstance(value, RecordingLogger) or hasattr(value, "bind"):
        return RecordingLogger()
    if hasattr(value, "keys") and hasattr(value, "__getitem__"):
        return dict(value)
    if callable(value):
        return lambda *args, **kwargs: value(*args, **kwargs)
    return value


class Churner:
    def __init__(self, mediator, finalizers: bool):
        self.mediator = mediator
        self.finalizers = finalizers
        self.client = None
        self.swaps = 0
        self.active = True  # off once the test is over: records let go later leave the module alone

    def swap(self) -> None:
        """Every module name and the client's own state replaced by fresh equivalents."""
        if not self.active:
            return
        self.swaps += 1
        for name, value in ORIGINALS.items():
            setattr(api_core, name, equivalent(value))
        api_core.export_three_phase_intervals_to_csv = lambda *args, **kwargs: None
        client = self.client
        if client is not None:
            client._hardware_cache = dict(client._hardware_cache)
            client.log = ChurningLogger(self)
            client.grpc_client = ChurningTransport(self)


class ChurningTransport(FakeTransport):
    """Swaps the world on every call; with the churner's `finalizers`, also whenever the core
    lets go of a record it was given (the record's finalizer swaps), at whatever point that
    happens."""

    def __init__(self, churner: Churner):
        super().__init__(default=REAL, mediator=churner.mediator)
        self.churner = churner

    def answer(self, op, args):
        self.churner.swap()
        reply = super().answer(op, args)
        if self.churner.finalizers and hasattr(reply, "__dict__") and not isinstance(reply, type):
            reply.__class__ = dying_class(type(reply), self.churner)
        return reply


_DYING: dict[type, type] = {}


def dying_class(cls, churner):
    if cls not in _DYING:
        def __del__(self):
            if DYING_CHURNER[0].active:
                hs.STATS["swaps from finalizers of records the core let go"] += 1
                DYING_CHURNER[0].swap()

        _DYING[cls] = type(cls.__name__, (cls,), {"__del__": __del__, "__qualname__": cls.__qualname__,
                                                   "__module__": cls.__module__})
    DYING_CHURNER[0] = churner
    return _DYING[cls]


DYING_CHURNER: list = [None]


class ChurningLogger(RecordingLogger):
    def __init__(self, churner: Churner):
        super().__init__()
        self.churner = churner

    def _record(self, level, message, args, fields):
        self.churner.swap()

    def bind(self, **fields):
        return self


MEDIATOR = hs.FleetMediator()


@pytest.mark.parametrize("finalizers", [False, True], ids=["calls", "calls-and-finalizers"])
@pytest.mark.parametrize("name", [n for n in hs.METHOD_NAMES if n != "__init__"])
def test_world_swapped_during_the_call(name, finalizers):
    expected = plain(hs.plausible_run(name, MEDIATOR)[1])
    new_tracker()
    args, kwargs = hs.plausible_call(name)
    churner = Churner(MEDIATOR, finalizers)
    with root_level_kept(), patched(api_core, {**ORIGINALS, "export_three_phase_intervals_to_csv": no_export}):
        try:
            client = client_on(ChurningTransport(churner), ChurningLogger(churner))
            churner.client = client
            client.log = ChurningLogger(churner)
            api_core.logger = ChurningLogger(churner)
            for _ in range(3):
                result = getattr(client, name)(*args, **kwargs)
                assert plain(result) == expected, name
                del result
        finally:
            churner.active = False
    hs.STATS["namespace swaps during calls"] += churner.swaps
    if name not in ("_scale_value", "_scale_10k_value", "_scale_kilo_value"):
        assert churner.swaps > 0, f"{name} neither logged nor used its transport"


# -- calls that re-enter the client -------------------------------------------------------------


class ReenteringTransport(FakeTransport):
    def __init__(self, reenter):
        super().__init__()
        self.reenter = reenter

    def answer(self, op, args):
        return self.reenter(args[0])


@pytest.mark.parametrize("name", ["csq", "read", "three_phase_read", "event_log", "_safe_read_element"])
def test_unbounded_reentry_ends_in_recursion_error(name):
    args, kwargs = hs.plausible_call(name)
    holder = {}
    transport = ReenteringTransport(lambda serial: getattr(holder["client"], name)(*args, **kwargs))
    with root_level_kept(), patched(api_core, {"logger": NullLogger(),
                                               "HalvexMediatorGrpcClient": transport.make_class()}):
        holder["client"] = client = api_core.HalvexMediatorAPI("127.0.0.1:1")
        client.log = NullLogger()
        try:
            result = getattr(client, name)(*args, **kwargs)
        except RecursionError:
            return
        # Only bodies that absorb transport failures may turn the RecursionError into a value.
        assert name in ("_safe_read_element", "three_phase_read"), result


def test_reentry_through_an_instance_override():
    client = client_on(hs.scripted(mediator=MEDIATOR), NullLogger())
    client._read_element = lambda serial, object_id: client.hardware(serial)
    client.hardware = lambda serial: client.serial_read(serial)
    with patched(api_core, {"logger": NullLogger()}), pytest.raises(RecursionError):
        client.serial_read("HX1000001")
