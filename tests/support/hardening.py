"""What the hardening suites share: the method table as the live class declares it, an
in-process mediator over simulated meters, scripted transports, plausible calls, the oracle that
decides whether an outcome is acceptable, and the counters printed at the end of the session.

The counters print with `pytest -v`, or with HALVEX_HARDENING_SUMMARY=1 in the environment.
"""

from __future__ import annotations

import collections
import contextlib
import datetime as dt
import functools
import inspect
import os
from typing import Any, Callable, Iterator

import grpc

import norvo_halvex.mediator.api_core as api_core
from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from norvo_halvex.mediator.simulator import Fleet, messages, objects
from norvo_halvex.mediator.simulator.errors import SimulatorError
from quarn_frame_protocol.elements import decode_element
from support.core import no_export, patched, root_level_kept
from support.hostile import FakeRpcError, Tracker, make_exception, new_tracker, raise_tracked, realize
from support.logs import NullLogger
from support.records import event_log_request
from support.transport import REAL, FakeTransport

API = api_core.HalvexMediatorAPI
UTC = dt.timezone.utc
FROZEN_AT = dt.datetime(2025, 6, 3, 12, 17, 41, tzinfo=UTC)

# Shared counters, printed at the end of the session (see `write_summary`).
STATS: collections.Counter[str] = collections.Counter()
OUTCOMES: collections.Counter[str] = collections.Counter()
NOTES: dict[str, str] = {}


# -- the method table, read from the class itself ---------------------------------------------


def method_table() -> list[tuple[str, list[inspect.Parameter], str]]:
    """(name, parameters after self, return annotation) of every method of the class."""
    out = []
    for name, value in vars(API).items():
        if not callable(value):
            continue
        sig = inspect.signature(getattr(API, name))
        params = list(sig.parameters.values())[1:]
        out.append((name, params, API.__dict__[name].__annotations__.get("return")))
    return out


METHODS = method_table()
METHOD_NAMES = [m[0] for m in METHODS]
BY_NAME = {m[0]: m for m in METHODS}


# -- in-process mediator over simulated meters --------------------------------------------------


@functools.cache
def records() -> dict[str, Callable[[], Any]]:
    """Makers of valid codec records, one per element record type, built by decoding what the
    simulated meters answer."""
    meters = Fleet.default()
    now = FROZEN_AT.timestamp()
    out = {}
    for serial in ("HX1000002", "HX3000002"):
        meter = meters[serial]
        for member in api_core.ObjectIdEnum:
            try:
                payload = objects.read(meter, int(member), now)
            except SimulatorError:
                continue
            out.setdefault(member.name, (lambda m=member, p=payload: decode_element(m, p)))
    return out


class FleetMediator:
    """Answers transport calls the way the simulator would, without gRPC in between:
    decoded records for reads, real reply bytes for data records, FakeRpcError for the
    simulator's gRPC statuses."""

    def __init__(self, fleet: Fleet | None = None, at: dt.datetime = FROZEN_AT):
        self.fleet = fleet if fleet is not None else Fleet.default()
        self.now = at.timestamp()

    def meter(self, serial):
        meter = self.fleet.get(serial) if type(serial) is str else None
        if meter is None:
            raise_tracked(FakeRpcError(grpc.StatusCode.NOT_FOUND, f"unknown meter serial {serial!r}"))
        return meter

    def read_element(self, serial, object_id):
        meter = self.meter(serial)
        try:
            return decode_element(object_id, objects.read(meter, int(object_id), self.now))
        except SimulatorError as e:
            raise_tracked(FakeRpcError(e.code, e.details))

    def write_element(self, serial, object_id, payload):
        meter = self.meter(serial)
        try:
            objects.write(meter, int(object_id), payload, self.now)
        except SimulatorError as e:
            raise_tracked(FakeRpcError(e.code, e.details))

    def send_message(self, serial, message):
        meter = self.meter(serial)
        try:
            return messages.handle(meter, message, self.now)
        except SimulatorError as e:
            raise_tracked(FakeRpcError(e.code, e.details))


def answer(recipe: tuple) -> Any:
    """The FakeTransport answer for a recipe: ("real",) what the simulated meter says,
    ("raise", kind) a fresh exception of that kind, ("value", value recipe) a fresh value."""
    if recipe[0] == "raise":
        kind = recipe[1]
        return lambda *args: raise_tracked(make_exception(kind))
    if recipe[0] == "value":
        value = recipe[1]
        return lambda *args: realize(value)
    return REAL


def scripted(script=(), default: tuple = ("real",), mediator: FleetMediator | None = None) -> FakeTransport:
    """A FakeTransport whose n-th call (any operation) answers the recipe script[n], later calls
    the recipe `default`."""
    return FakeTransport([answer(r) for r in script], answer(default), mediator=mediator or FleetMediator())


# -- plausible arguments ---------------------------------------------------------------------

SERIAL_FOR = {  # a meter of the default fleet that answers the method
    "read_element_b": "HX1000002",
    "instantaneous_active_power_element_b": "HX1000002",
    "read": "HX1000002",
}
THREE_PHASE_SERIAL = "HX3000002"


def plausible_call(name: str) -> tuple[tuple, dict]:
    """Arguments with which the method succeeds against FleetMediator."""
    O = api_core.ObjectIdEnum
    serial = SERIAL_FOR.get(name, THREE_PHASE_SERIAL if ("three_phase" in name) else "HX1000002")
    start = dt.datetime(2025, 6, 2, 1, 0, tzinfo=UTC)
    table = {
        "__init__": (("127.0.0.1:1",), {}),
        "daylight_savings_correction_enabled_write": ((serial, True), {}),
        "backlight_write": ((serial, api_core.QuarnMessage.BacklightSettingType.on), {}),
        "load_switch_write": ((serial, api_core.QuarnMessage.LoadSwitchSettingType.connected), {}),
        "three_phase_read": ((serial, None), {}),
        "profile_log_1": ((serial, start), {}),
        "profile_log_2": ((serial, start, True), {}),
        "_profile_log": ((serial, start, api_core.QuarnData.RecordFormat.profile_log_1), {}),
        "three_phase_intervals": ((serial, None, start, start + dt.timedelta(hours=10)), {}),
        "event_log": ((serial, 3), {}),
        "obis_read": ((serial, "96.1.0"), {}),
        "obis_write": ((serial, "1.8.0", "0a0b0c0d"), {}),
        "_read_element": ((serial, O.serial), {}),
        "_write_element": ((serial, O.backlight, b"\x01"), {}),
        "_send_message": ((serial, event_log_request(2)), {}),
        "_three_phase_intervals_read": (
            (serial, start, start + dt.timedelta(hours=4),
             api_core.QuarnProfileThreePhaseIntervalsRequest.ProfileNumber.profile_0),
            {},
        ),
        "_safe_read_element": ((serial, O.serial), {}),
        "_scale_value": ((records()["three_phase_total_active_import"](), "P1.cx"), {}),
        "_scale_10k_value": ((records()["three_phase_total_active_import"](),), {}),
        "_scale_kilo_value": ((records()["three_phase_total_active_import"](),), {}),
    }
    return table.get(name, ((serial,), {}))


@contextlib.contextmanager
def plausible_world(transport: FakeTransport, logger: Any = None) -> Iterator[None]:
    """The core's module names pointed at `transport` and `logger` (default a NullLogger), with
    no CSV export."""
    with root_level_kept(), patched(api_core, {"export_three_phase_intervals_to_csv": no_export,
                                               "logger": NullLogger() if logger is None else logger,
                                               "HalvexMediatorGrpcClient": transport.make_class()}):
        yield


def plausible_run(name: str, mediator: FleetMediator | None = None) -> tuple[FakeTransport, Any]:
    """The transport and the result of a plausible call on a healthy meter, which must not fail."""
    tracker = new_tracker()
    args, kwargs = plausible_call(name)
    transport = scripted(mediator=mediator)
    with plausible_world(transport):
        client = API(*args, **kwargs) if name == "__init__" else API("127.0.0.1:1")
        result = None if name == "__init__" else getattr(client, name)(*args, **kwargs)
    assert not tracker.raised, f"{name}: the plausible call failed on a healthy meter: {tracker.raised!r}"
    return transport, result


def dry_run(name: str, mediator: FleetMediator | None = None) -> list[str]:
    """The transport operations, in order, of a plausible call on a healthy meter."""
    return [op for op, _ in plausible_run(name, mediator)[0].calls]


def plain(value):
    """A comparable form of a result (codec records print their fields)."""
    from quarn_frame_protocol._record import QuarnRecord

    if isinstance(value, QuarnRecord):
        return str(value)
    if isinstance(value, (tuple, list)):
        return type(value)(plain(v) for v in value)
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if hasattr(value, "__iter__") and not isinstance(value, (str, bytes)):
        return [plain(v) for v in value]
    return value


# -- the oracle --------------------------------------------------------------------------------

# Result types by return annotation (None allowed where the core's result checks allow it).
RESULT_TYPES: dict[str, tuple[type, ...]] = {
    "str": (str, type(None)),
    "bytes": (bytes, type(None)),
    "int": (int, type(None)),
    "float": (float, type(None)),
    "float | None": (float, type(None)),
    "bool": (bool,),
    "None": (type(None),),
    "datetime.datetime": (dt.datetime,),
    "Dict[str, float]": (dict,),
    "Dict[str, float | None]": (dict,),
    "tuple[float, float | None, float | None]": (tuple,),
    "Tuple[Dict[str, float], Dict[str, float] | None] | Dict[str, float | None]": (tuple, dict),
}


def chain(exc: BaseException | None) -> Iterator[BaseException]:
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        yield exc
        if exc.__cause__ is not None:
            yield from chain(exc.__cause__)
        exc = exc.__context__


# Names an `except` clause of the core evaluates while an exception passes by. As in Python,
# a replacement that is no exception class (or a deleted name) makes that evaluation fail,
# and its error then replaces even a KeyboardInterrupt (which stays attached as context).
HANDLER_NAMES = frozenset({"HalvexConnectionFailure", "HalvexEOFError", "grpc"})
# Bodies that may turn a transport failure into a value: _safe_read_element and its users,
# and the guarded L2/L3 voltage reads.
MAY_ABSORB = frozenset({"_safe_read_element", "three_phase_read", "read", "three_phase_instantaneous_voltage"})


def check_outcome(name: str, tracker: Tracker, result: Any, error: BaseException | None,
                  handlers_replaced: bool = False) -> None:
    """The properties every call must keep, whatever it was given."""
    for e in chain(error):
        assert not isinstance(e, SystemError), f"{name}: SystemError in the chain: {e!r}"
    if tracker.base:
        first = tracker.base[0]
        if handlers_replaced and (name in MAY_ABSORB if error is None else any(e is first for e in chain(error))):
            return  # the error that replaced it may even have been absorbed, as in Python
        assert error is first, (
            f"{name}: {first!r} was raised inside the call but the call ended with "
            f"{'a result' if error is None else repr(error)}"
        )
        return
    if error is not None:
        assert isinstance(error, Exception), f"{name}: {error!r} is not an ordinary exception"
        if isinstance(error, MediatorClientException) and not tracker.ours(error):
            # made by the core: always from a transport failure it caught
            assert len(error.args) == 2, f"{name}: {error.args!r}"
            ctx = error.__context__
            assert ctx is not None and tracker.ours(ctx), f"{name}: MediatorClientException without its cause"
            assert isinstance(ctx, (HalvexConnectionFailure, HalvexEOFError, grpc.RpcError)), repr(ctx)
        return
    annotation = BY_NAME[name][2] if name in BY_NAME else None
    expected = RESULT_TYPES.get(annotation)
    if expected is not None:
        assert isinstance(result, expected), f"{name} returned {type(result).__name__}, declared {annotation}"


# -- the session summary ------------------------------------------------------------------------


def summary_wanted(config) -> bool:
    return config.getoption("verbose") > 0 or os.environ.get("HALVEX_HARDENING_SUMMARY", "") not in ("", "0")


def write_summary(terminalreporter) -> None:
    """The counters, as a section of the terminal report (tests/hardening/conftest.py)."""
    if not STATS or not summary_wanted(terminalreporter.config):
        return
    tr = terminalreporter
    tr.section("hardening")
    for key, value in sorted(STATS.items()):
        tr.write_line(f"{key}: {value}")
    for key, value in sorted(NOTES.items()):
        tr.write_line(f"{key}: {value}")
    if OUTCOMES:
        by_kind: dict[str, int] = {}
        for label, count in OUTCOMES.items():
            kind = label.split(": ", 1)[1]
            by_kind[kind] = by_kind.get(kind, 0) + count
        ranked = sorted(by_kind.items(), key=lambda kv: -kv[1])
        tr.write_line("hostile call outcomes: " + ", ".join(f"{k} {v}" for k, v in ranked))
        reached = {label.split(": ", 1)[0] for label in OUTCOMES if not label.endswith("TypeError")}
        tr.write_line(f"methods that got past their argument checks at least once: {len(reached)}")

