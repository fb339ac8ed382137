"""The compiled core against the same class written in Python (python_model.py), step by step.

Both run in one traced world: every module-level object the bodies use is a proxy that notes each
attribute read and call, the transport and the loggers note theirs, the records note every field
read, and the client is of a subclass that notes every attribute it is asked for. A call of the
core must leave the same trace as the model's and end the same way. Then every step of that
trace is made to fail in turn (with an ordinary exception, and with one that is not an
`Exception`): the two must still agree on the trace up to the failure and on the outcome, which
pins the order in which names are looked up, callables before their arguments and arguments left
to right, and how often each attribute is read.
"""

from __future__ import annotations

import builtins
import datetime as dt
import types

import grpc
import pytest

import norvo_halvex.mediator.api_core as api_core
from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from support.core import patched, root_level_kept
from support.hardening import FleetMediator, plain
from support.hostile import FakeRpcError

from python_model import model_class

SINGLE, TWIN, THREE = "HX1000001", "HX1000002", "HX3000002"
START = dt.datetime(2025, 6, 2, 1, 0, tzinfo=dt.timezone.utc)
# Classes whose instances the world traces as well: the codec records the bodies build and fill.
TRACED_INSTANCES = {"QuarnData", "QuarnProfileLogRequest", "QuarnEventLogRequest",
                    "QuarnProfileThreePhaseIntervalsRequest", "QuarnEventLogResponse",
                    "QuarnProfileThreePhaseIntervalsResponseFrame", "QuarnProfileThreePhaseIntervalsResponseBlock"}
# Left as they are: exception classes (an `except` needs the class itself) and annotation names.
UNTRACED = {"HalvexMediatorAPI", "HalvexConnectionFailure", "HalvexEOFError", "MediatorClientException",
            "Any", "Dict", "Tuple", "cast", "get_logger", "logger", "HalvexMediatorGrpcClient"}
BUILTINS = ("str", "len", "bytearray", "bytes", "getattr", "float")


class Clock(dt.datetime):
    """datetime.datetime whose now() is one fixed instant, so that traces repeat."""

    @classmethod
    def now(cls, tz=None):
        return cls(2025, 6, 3, 12, 17, 41, tzinfo=tz)


DATETIME = types.SimpleNamespace(datetime=Clock, timezone=dt.timezone, time=dt.time, timedelta=dt.timedelta)


class Injected(Exception):
    pass


class Halted(BaseException):
    pass


class World:
    def __init__(self, fail_at=None, fault=Injected):
        self.events = []
        self.fail_at, self.fault = fail_at, fault

    def note(self, *event):
        self.events.append(event)
        if self.fail_at is not None and len(self.events) == self.fail_at + 1:
            raise self.fault(f"step {self.fail_at}")


def describe(value):
    if isinstance(value, Traced):
        return object.__getattribute__(value, "label")
    if isinstance(value, (bytes, bytearray)):
        return f"{type(value).__name__}:{value.hex()}"
    if isinstance(value, (tuple, list)):
        return type(value)(describe(v) for v in value)
    if isinstance(value, dict):
        return {k: describe(v) for k, v in value.items()}
    text = repr(value)
    return type(value).__name__ if " at 0x" in text else text


class Traced:
    """Stands for `target`: notes every attribute read, store and call, then does it."""

    __slots__ = ("world", "label", "target", "wrap")

    def __init__(self, world, label, target, wrap=False):
        for name, value in (("world", world), ("label", label), ("target", target), ("wrap", wrap)):
            object.__setattr__(self, name, value)

    def __getattribute__(self, name):
        world, label, target = (object.__getattribute__(self, n) for n in ("world", "label", "target"))
        world.note("get", f"{label}.{name}")
        return getattr(target, name)

    def __setattr__(self, name, value):
        world, label, target = (object.__getattribute__(self, n) for n in ("world", "label", "target"))
        world.note("set", f"{label}.{name}", describe(value))
        setattr(target, name, value)

    def __call__(self, *args, **kwargs):
        world, label, target = (object.__getattribute__(self, n) for n in ("world", "label", "target"))
        world.note("call", label, describe(args), describe(kwargs))
        result = target(*args, **kwargs)
        if object.__getattribute__(self, "wrap"):
            return Traced(world, f"{label}()", result)
        return result

    def __str__(self):
        world, label, target = (object.__getattribute__(self, n) for n in ("world", "label", "target"))
        world.note("str", label)
        return str(target)


MEDIATOR = FleetMediator()  # writes store what they write again: every run finds the same fleet


class Transport:
    """The transport of the world: answers as the simulated fleet does, raising where `faults`
    says (by object id name, or by operation), and notes every lookup and call."""

    def __init__(self, world, faults):
        self.world, self.faults, self.mediator = world, faults, MEDIATOR

    def __getattribute__(self, name):
        if name in ("world", "faults", "mediator") or name.startswith("__"):
            return object.__getattribute__(self, name)
        self.world.note("get", f"transport.{name}")

        def operation(serial, *args):
            self.world.note("call", f"transport.{name}", describe((serial, *args)))
            fault = self.faults.get(getattr(args[0], "name", None), self.faults.get(name))
            if fault is not None:
                raise fault()
            result = getattr(self.mediator, name)(serial, *args)
            if name == "read_element":
                return Traced(self.world, f"record:{getattr(args[0], 'name', args[0])}", result)
            return result

        return operation


class Logger:
    def __init__(self, world, label):
        self.world, self.label = world, label

    def __getattribute__(self, name):
        if name in ("world", "label") or name.startswith("__"):
            return object.__getattribute__(self, name)
        self.world.note("get", f"{self.label}.{name}")
        if name == "bind":
            def bind(**fields):
                self.world.note("call", f"{self.label}.bind", describe(fields))
                return Logger(self.world, "log")
            return bind

        def entry(message, **fields):
            self.world.note("call", f"{self.label}.{name}", message, describe(fields))
        return entry


def traced_names(world):
    """The module's namespace for the world: every name a body may use, traced."""
    names = {"logger": Logger(world, "logger"),
             "HalvexMediatorGrpcClient": lambda **kwargs: Transport(world, world.faults),
             "export_three_phase_intervals_to_csv": Traced(world, "export", lambda *args: None)}
    for name, value in vars(api_core).items():
        if name.startswith("__") or name in UNTRACED or name in names:
            continue
        value = DATETIME if name == "datetime" else value
        names[name] = Traced(world, name, value, wrap=name in TRACED_INSTANCES)
    for name in BUILTINS:
        names[name] = Traced(world, name, getattr(builtins, name))
    return names


def traced_client(world, cls):
    class Client(cls):
        def __getattribute__(self, name):
            if not name.startswith("__"):
                world.note("get", f"self.{name}")
            return object.__getattribute__(self, name)

        def __setattr__(self, name, value):
            world.note("set", f"self.{name}", describe(value))
            object.__setattr__(self, name, value)

    return Client


def outcome(call):
    try:
        return ("result", describe(plain(call())))
    except BaseException as e:  # noqa: BLE001 - the outcome is what is compared
        context = e.__context__
        return ("raised", type(e).__name__, str(e), type(context).__name__ if context is not None else None)


def run(cls, method, args, faults, fail_at=None, fault=Injected):
    """(trace, outcome) of one call of `method` on a client of `cls` in a fresh world."""
    world = World()
    world.faults = faults
    with root_level_kept(), patched(api_core, traced_names(world)):
        client_cls = traced_client(world, cls)
        if method == "__init__":
            world.fail_at, world.fault = fail_at, fault
            result = outcome(lambda: client_cls(*args))
        else:
            client = client_cls("127.0.0.1:1")
            world.events.clear()
            world.fail_at, world.fault = fail_at, fault
            result = outcome(lambda: getattr(client, method)(*args))
    return world.events, result


def eof():
    return HalvexEOFError("end of stream")


def unavailable():
    return FakeRpcError(grpc.StatusCode.UNAVAILABLE, None)


O = api_core.ObjectIdEnum
Profile = api_core.QuarnProfileThreePhaseIntervalsRequest.ProfileNumber

# (method, arguments, faults: object id name or transport operation -> exception maker)
CASES = [
    ("__init__", ("127.0.0.1:1",), {}),
    ("serial_read", (SINGLE,), {}),
    ("hardware", (SINGLE,), {}),
    ("hardware", (THREE,), {}),
    ("firmware_version", (SINGLE,), {}),
    ("three_phase_hardware_configuration", (THREE,), {}),
    ("clock_time_read", (SINGLE,), {}),
    ("clock_time_write", (SINGLE,), {}),
    ("csq", (SINGLE,), {}),
    ("instantaneous_voltage", (SINGLE,), {}),
    ("instantaneous_active_power", (SINGLE,), {}),
    ("instantaneous_active_power_element_b", (TWIN,), {}),
    ("read", (TWIN,), {}),
    ("read", (THREE,), {}),
    ("read_element_a", (SINGLE,), {}),
    ("daylight_savings_correction_enabled", (SINGLE,), {}),
    ("daylight_savings_correction_enabled_write", (SINGLE, 5), {}),
    ("backlight", (SINGLE,), {}),
    ("backlight_write", (SINGLE, api_core.QuarnMessage.BacklightSettingType.on), {}),
    ("load_switch", (SINGLE,), {}),
    ("three_phase_serial", (THREE,), {}),
    ("three_phase_read", (THREE, None), {"three_phase_total_reactive_export": ValueError}),
    ("three_phase_instantaneous_voltage", (THREE,), {"three_phase_instantaneous_voltage_l2": eof}),
    ("profile_log_1", (SINGLE, START), {}),
    ("profile_log_2", (TWIN, START, 1), {}),
    ("event_log", (SINGLE, 3.0), {}),
    ("_three_phase_intervals_read", (THREE, START, START + dt.timedelta(hours=4), Profile.reset), {}),
    ("three_phase_intervals", (THREE, None, START, START + dt.timedelta(hours=10), "out.csv"), {}),
    ("three_phase_intervals", (THREE, START, None, None), {}),
    ("obis_read", (SINGLE, "96.1.0"), {}),
    ("obis_write", (SINGLE, "1.8.0", "0a0b0c0d"), {}),
    ("_read_element", (SINGLE, O.serial), {"read_element": lambda: HalvexConnectionFailure("down")}),
    ("_write_element", (SINGLE, O.backlight, b"\x01"), {"write_element": unavailable}),
    ("_send_message", (SINGLE, b"\x00"), {"send_message": unavailable}),
    ("_safe_read_element", (SINGLE, O.serial), {"read_element": eof}),
    ("_safe_read_element", (SINGLE, 7), {"read_element": unavailable}),
]
MODEL = model_class(api_core)


def case_id(case):
    method, args, faults = case
    return "-".join([method, *(str(a) for a in args[:1]), *faults])


@pytest.mark.parametrize("method, args, faults", CASES, ids=[case_id(c) for c in CASES])
def test_every_step_as_in_python(method, args, faults):
    expected = run(MODEL, method, args, faults)
    assert run(api_core.HalvexMediatorAPI, method, args, faults) == expected
    assert expected[1][0] == "result" or faults, expected[1]
    steps = len(expected[0])
    for fault in (Injected, Halted):
        for k in range(steps):
            expected = run(MODEL, method, args, faults, k, fault)
            assert run(api_core.HalvexMediatorAPI, method, args, faults, k, fault) == expected, (k, fault)


# ---- the corners a new user met first --------------------------------------------------------


def sandboxed_exec(core, client):
    core.transport.replies["read_element"] = ValueError("down")
    scope = {"__builtins__": {}, "api": client, "out": []}
    exec("out.append(api._safe_read_element('s', 'FAIL'))", scope)
    return scope["out"][0]


def no_log_and_a_record_without_csq(core, client):
    del client.log
    core.transport.replies["read_element"] = types.SimpleNamespace()
    return client.csq("HX1")


class ChangingHardware:
    """A record whose hardware field gives a new text at each read."""

    def __init__(self, *texts):
        self.texts = iter(texts)

    @property
    def hardware(self):
        return next(self.texts)


def hardware_changing_between_reads(core, client):
    core.set("single_phase_hardware_str_to_registry_str", {"A": "P1.a", "B": "P1.b"})
    core.transport.replies["read_element"] = ChangingHardware("A", "B\x00 ")
    return client.hardware("HX1")


@pytest.mark.parametrize("corner, expected", [
    (sandboxed_exec, ("result", "None")),
    (no_log_and_a_record_without_csq, ("raised", "AttributeError",
                                       "'HalvexMediatorAPI' object has no attribute 'log'", None)),
    (hardware_changing_between_reads, ("result", "'P1.b'")),
])
def test_corner_as_in_python(core, corner, expected):
    seen = []
    for cls in (api_core.HalvexMediatorAPI, MODEL):
        client = cls("127.0.0.1:1")
        core.transport.reset()
        core.log.entries.clear()
        seen.append((outcome(lambda: corner(core, client)), core.transport.calls, list(core.entries)))
    assert seen[0] == seen[1]
    assert seen[0][0] == expected
