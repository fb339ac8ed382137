"""Building blocks of the hardening suites: the method table as the live class declares it,
hostile objects, fake transports and loggers, an in-process mediator over simulated meters,
and the oracle that decides whether an outcome is acceptable.

Everything a fake raises goes through `Tracker.raise_`, so a test knows which exceptions
came from its own fakes and which interrupt-like exception (not an `Exception`) was first.
"""

from __future__ import annotations

import collections
import contextlib
import datetime as dt
import inspect
import logging
import types
from typing import Any, Callable, Iterator

import grpc
import pytest

import norvo_halvex.mediator.api_core as api_core
from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from norvo_halvex.mediator.simulator import Fleet, objects, messages
from norvo_halvex.mediator.simulator.errors import SimulatorError
from quarn_frame_protocol.elements import decode_element
from quarn_frame_protocol.errors import QuarnCodecError

API = api_core.HalvexMediatorAPI
UTC = dt.timezone.utc
FROZEN_AT = dt.datetime(2025, 6, 3, 12, 17, 41, tzinfo=UTC)

# Shared counters, printed at the end of the session (see `hardening_summary`).
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


# -- tracking what the fakes raise --------------------------------------------------------------


class Tracker:
    def __init__(self) -> None:
        self.raised: list[BaseException] = []
        self.base: list[BaseException] = []  # raised objects that are not Exceptions, in order
        self.calls: list[tuple[str, tuple]] = []

    def raise_(self, exc: BaseException):
        self.raised.append(exc)
        if not isinstance(exc, Exception):
            self.base.append(exc)
        raise exc

    def ours(self, exc: BaseException) -> bool:
        return any(exc is e for e in self.raised)


TRACK = Tracker()


def new_tracker() -> Tracker:
    global TRACK
    TRACK = Tracker()
    return TRACK


class Boom(Exception):
    """An ordinary exception only the fakes raise."""


class BadStrError(Exception):
    def __str__(self):
        TRACK.raise_(Boom("__str__ of an exception"))


# -- fake gRPC errors -------------------------------------------------------------------------


class FakeRpcError(grpc.RpcError):
    """An RpcError whose code()/details() answer what it was given (or raise it)."""

    def __init__(self, code: Any = grpc.StatusCode.UNAVAILABLE, details: Any = "fake details"):
        super().__init__()
        self._code = code
        self._details = details

    def code(self):
        return _answer(self._code)

    def details(self):
        return _answer(self._details)


class RaisingCall:
    """Stands for an action that raises the exception made by `make` when invoked."""

    def __init__(self, make: Callable[[], BaseException]):
        self.make = make


def _answer(value):
    if isinstance(value, RaisingCall):
        TRACK.raise_(value.make())
    return value


class RpcNoCode(grpc.RpcError):
    pass


class RpcAndEOF(grpc.RpcError, HalvexEOFError):
    def code(self):
        return grpc.StatusCode.DATA_LOSS

    def details(self):
        return "both kinds"


def _without_message(cls):
    e = cls("gone")
    del e.message
    return e


# Every kind of failure a transport (or a hostile object) raises, by name.
EXCEPTIONS: dict[str, Callable[[], BaseException]] = {
    "boom": lambda: Boom("boom"),
    "value": lambda: ValueError("bad value"),
    "type": lambda: TypeError("bad type"),
    "attribute": lambda: AttributeError("no such attribute"),
    "key": lambda: KeyError("k"),
    "overflow": lambda: OverflowError("too big"),
    "unicode": lambda: UnicodeDecodeError("ascii", b"\xff", 0, 1, "not ascii"),
    "os": lambda: OSError(5, "io"),
    "connection": lambda: HalvexConnectionFailure("no answer from the modem", serial="HX", operation="read"),
    "eof": lambda: HalvexEOFError("stream ended", serial="HX", operation="read"),
    "connection_no_message": lambda: _without_message(HalvexConnectionFailure),
    "eof_no_message": lambda: _without_message(HalvexEOFError),
    "eof_odd_message": lambda: HalvexEOFError(12345),  # type: ignore[arg-type]
    "mce": lambda: MediatorClientException("UNAVAILABLE", "raised by the transport"),
    "codec": lambda: QuarnCodecError("does not parse", "QuarnData"),
    "bad_str": lambda: BadStrError(),
    "rpc": lambda: FakeRpcError(grpc.StatusCode.UNAVAILABLE, "mediator gone"),
    "rpc_details_none": lambda: FakeRpcError(grpc.StatusCode.INTERNAL, None),
    "rpc_details_empty": lambda: FakeRpcError(grpc.StatusCode.ABORTED, ""),
    "rpc_details_int": lambda: FakeRpcError(grpc.StatusCode.UNKNOWN, 42),
    "rpc_details_bad_str": lambda: FakeRpcError(grpc.StatusCode.UNKNOWN, BadStrError()),
    "rpc_details_raises": lambda: FakeRpcError(grpc.StatusCode.UNKNOWN, RaisingCall(lambda: Boom("details"))),
    "rpc_details_interrupt": lambda: FakeRpcError(grpc.StatusCode.UNKNOWN, RaisingCall(KeyboardInterrupt)),
    "rpc_code_raises": lambda: FakeRpcError(RaisingCall(lambda: Boom("code")), "d"),
    "rpc_code_exit": lambda: FakeRpcError(RaisingCall(lambda: SystemExit(7)), "d"),
    "rpc_code_no_name": lambda: FakeRpcError(object(), "d"),
    "rpc_code_none": lambda: FakeRpcError(None, "d"),
    "rpc_code_plain_name": lambda: FakeRpcError(types.SimpleNamespace(name=17), "d"),
    "rpc_without_code": lambda: RpcNoCode(),
    "rpc_and_eof": lambda: RpcAndEOF("both", serial="HX", operation="read"),
    "keyboard": lambda: KeyboardInterrupt(),
    "exit": lambda: SystemExit(3),
    "generator_exit": lambda: GeneratorExit(),
    "memory": lambda: MemoryError(),
    "recursion": lambda: RecursionError("too deep"),
}
EXCEPTION_KINDS = sorted(EXCEPTIONS)
ORDINARY_KINDS = [k for k in EXCEPTION_KINDS if isinstance(EXCEPTIONS[k](), Exception)]


def make_exception(kind: str) -> BaseException:
    return EXCEPTIONS[kind]()


# -- hostile objects --------------------------------------------------------------------------

# What each dunder does when the plan does not mention it: behave like a harmless object.
_DUNDERS = (
    "__str__", "__repr__", "__format__", "__bool__", "__eq__", "__ne__", "__lt__", "__le__",
    "__gt__", "__ge__", "__hash__", "__index__", "__int__", "__float__", "__len__", "__call__",
    "__truediv__", "__rtruediv__", "__add__", "__radd__", "__sub__", "__rsub__", "__getitem__",
    "__contains__", "__iter__",
)


class Hostile:
    """An object whose protocol methods and attributes do what its plan says.

    plan maps a dunder name, "attr:<name>" (one attribute) or "attr:*" (any missing attribute)
    to ("raise", exception kind) or ("return", value recipe); unplanned dunders behave harmlessly.
    """

    __slots__ = ("_plan", "__weakref__")

    def __init__(self, plan: dict[str, tuple]):
        object.__setattr__(self, "_plan", plan)

    def _act(self, name: str, default: Callable[[], Any]):
        action = self._plan.get(name)
        if action is None:
            return default()
        if action[0] == "raise":
            TRACK.raise_(make_exception(action[1]))
        return realize(action[1])

    def __getattr__(self, name: str):
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        plan = object.__getattribute__(self, "_plan")
        action = plan.get("attr:" + name) or plan.get("attr:*")
        if action is None:
            raise AttributeError(name)
        if action[0] == "raise":
            TRACK.raise_(make_exception(action[1]))
        return realize(action[1])

    def __setattr__(self, name, value):
        TRACK.raise_(Boom(f"cannot set {name}"))

    def __str__(self):
        return self._act("__str__", lambda: "hostile")

    def __repr__(self):
        return self._act("__repr__", lambda: "<hostile>")

    def __format__(self, format_spec):
        return self._act("__format__", lambda: "hostile")

    def __bool__(self):
        return self._act("__bool__", lambda: True)

    def __eq__(self, other):
        return self._act("__eq__", lambda: self is other)

    def __ne__(self, other):
        return self._act("__ne__", lambda: self is not other)

    def __lt__(self, other):
        return self._act("__lt__", lambda: NotImplemented)

    def __le__(self, other):
        return self._act("__le__", lambda: NotImplemented)

    def __gt__(self, other):
        return self._act("__gt__", lambda: NotImplemented)

    def __ge__(self, other):
        return self._act("__ge__", lambda: NotImplemented)

    def __hash__(self):
        return self._act("__hash__", lambda: id(self) >> 4)

    def __index__(self):
        return self._act("__index__", lambda: 1)

    def __int__(self):
        return self._act("__int__", lambda: 1)

    def __float__(self):
        return self._act("__float__", lambda: 1.0)

    def __len__(self):
        return self._act("__len__", lambda: 1)

    def __call__(self, *args, **kwargs):
        return self._act("__call__", lambda: TRACK.raise_(TypeError("hostile object is not callable")))

    def __truediv__(self, other):
        return self._act("__truediv__", lambda: NotImplemented)

    def __rtruediv__(self, other):
        return self._act("__rtruediv__", lambda: NotImplemented)

    def __add__(self, other):
        return self._act("__add__", lambda: NotImplemented)

    def __radd__(self, other):
        return self._act("__radd__", lambda: NotImplemented)

    def __sub__(self, other):
        return self._act("__sub__", lambda: NotImplemented)

    def __rsub__(self, other):
        return self._act("__rsub__", lambda: NotImplemented)

    def __getitem__(self, key):
        return self._act("__getitem__", lambda: TRACK.raise_(KeyError(key)))

    def __contains__(self, key):
        return self._act("__contains__", lambda: False)

    def __iter__(self):
        return self._act("__iter__", lambda: iter(()))


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class RaisingDict(dict):
    """A dict whose Python-level item methods raise; C-level dict access bypasses them."""

    def __init__(self, kind: str, *args):
        super().__init__(*args)
        self.kind = kind

    def __getitem__(self, key):
        TRACK.raise_(make_exception(self.kind))

    def __contains__(self, key):
        TRACK.raise_(make_exception(self.kind))

    def __setitem__(self, key, value):
        TRACK.raise_(make_exception(self.kind))

    def get(self, key, default=None):
        TRACK.raise_(make_exception(self.kind))


def realize(recipe) -> Any:
    """Builds the object a value recipe (plain, printable data) describes."""
    tag = recipe[0]
    if tag == "lit":
        return recipe[1]
    if tag == "copy":  # a fresh mutable copy, so one example cannot change another
        return type(recipe[1])(recipe[1])
    if tag == "strsub":
        return StrSub(recipe[1])
    if tag == "bytessub":
        return BytesSub(recipe[1])
    if tag == "intsub":
        return IntSub(recipe[1])
    if tag == "floatsub":
        return FloatSub(recipe[1])
    if tag == "bytearray":
        return bytearray(recipe[1])
    if tag == "hostile":
        return Hostile(dict(recipe[1]))
    if tag == "ns":
        return types.SimpleNamespace(**{k: realize(v) for k, v in recipe[1]})
    if tag == "list":
        return [realize(v) for v in recipe[1]]
    if tag == "tuple":
        return tuple(realize(v) for v in recipe[1])
    if tag == "dict":
        return {k: realize(v) for k, v in recipe[1]}
    if tag == "raising_dict":
        return RaisingDict(recipe[1])
    if tag == "object":
        return object()
    if tag == "exception":  # an exception object as a value, not raised
        return make_exception(recipe[1])
    if tag == "enum":
        return resolve(recipe[1])
    if tag == "record":
        return RECORDS[recipe[1]]()
    if tag == "type":
        return resolve(recipe[1])
    raise AssertionError(f"unknown value recipe {recipe!r}")


def resolve(path: str) -> Any:
    """'QuarnMessage.BacklightSettingType.on' -> the object, looked up in the core's namespace."""
    head, *rest = path.split(".")
    obj = getattr(api_core, head, None)
    if obj is None:
        obj = {"datetime": dt, "grpc": grpc}[head]
    for part in rest:
        obj = getattr(obj, part)
    return obj


def _records() -> dict[str, Callable[[], Any]]:
    """Valid codec records, one per element record type, built by decoding real payloads."""
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


RECORDS = _records()


# -- in-process mediator over simulated meters --------------------------------------------------


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
            TRACK.raise_(FakeRpcError(grpc.StatusCode.NOT_FOUND, f"unknown meter serial {serial!r}"))
        return meter

    def read_element(self, serial, object_id):
        meter = self.meter(serial)
        try:
            return decode_element(object_id, objects.read(meter, int(object_id), self.now))
        except SimulatorError as e:
            TRACK.raise_(FakeRpcError(e.code, e.details))

    def write_element(self, serial, object_id, payload):
        meter = self.meter(serial)
        try:
            objects.write(meter, int(object_id), payload, self.now)
        except SimulatorError as e:
            TRACK.raise_(FakeRpcError(e.code, e.details))

    def send_message(self, serial, message):
        meter = self.meter(serial)
        try:
            return messages.handle(meter, message, self.now)
        except SimulatorError as e:
            TRACK.raise_(FakeRpcError(e.code, e.details))


class ScriptedTransport:
    """A transport whose n-th call (any operation) answers script[n], later calls `default`.

    An answer is ("real",) for what the simulated meter says, ("raise", kind) or
    ("value", value recipe).
    """

    def __init__(self, script=(), default=("real",), mediator: FleetMediator | None = None):
        self.script = list(script)
        self.default = default
        self.mediator = mediator or FleetMediator()
        self.n = 0

    def _answer(self, op: str, args: tuple):
        TRACK.calls.append((op, args))
        answer = self.script[self.n] if self.n < len(self.script) else self.default
        self.n += 1
        if answer[0] == "raise":
            TRACK.raise_(make_exception(answer[1]))
        if answer[0] == "value":
            return realize(answer[1])
        return getattr(self.mediator, op)(*args)

    def read_element(self, serial, object_id):
        return self._answer("read_element", (serial, object_id))

    def write_element(self, serial, object_id, payload):
        return self._answer("write_element", (serial, object_id, payload))

    def send_message(self, serial, message):
        return self._answer("send_message", (serial, message))


# -- loggers --------------------------------------------------------------------------------


class RecordingLogger:
    def __init__(self, entries=None, bound=None):
        self.entries = [] if entries is None else entries
        self.bound = bound or {}

    def bind(self, **fields):
        return RecordingLogger(self.entries, {**self.bound, **fields})

    def _log(self, level, message, *args, **fields):
        self.entries.append((level, message, tuple(fields.items())))

    def debug(self, message, *args, **fields):
        self._log("debug", message, *args, **fields)

    def info(self, message, *args, **fields):
        self._log("info", message, *args, **fields)

    def warn(self, message, *args, **fields):
        self._log("warn", message, *args, **fields)

    def warning(self, message, *args, **fields):
        self._log("warning", message, *args, **fields)

    def error(self, message, *args, **fields):
        self._log("error", message, *args, **fields)


class NullLogger(RecordingLogger):
    """Keeps nothing: for loops that must not grow a list."""

    def _log(self, level, message, *args, **fields):
        pass

    def bind(self, **fields):
        return self


class HostileLogger:
    """A logger whose methods do what the plan says: ("raise", kind), ("value", recipe) for
    bind's result, or nothing."""

    def __init__(self, plan: dict[str, tuple]):
        self.plan = plan

    def _act(self, name):
        action = self.plan.get(name)
        if action and action[0] == "raise":
            TRACK.raise_(make_exception(action[1]))
        return action

    def bind(self, **fields):
        action = self._act("bind")
        return realize(action[1]) if action else self

    def debug(self, message, *args, **fields):
        self._act("debug")

    def info(self, message, *args, **fields):
        self._act("info")

    def warn(self, message, *args, **fields):
        self._act("warn")

    def warning(self, message, *args, **fields):
        self._act("warning")

    def error(self, message, *args, **fields):
        self._act("error")


# -- patching the core's namespace ---------------------------------------------------------------

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
def root_level_kept() -> Iterator[None]:
    root = logging.getLogger()
    level = root.level
    try:
        yield
    finally:
        root.setLevel(level)


@contextlib.contextmanager
def closing_clients() -> Iterator[Callable[[str], Any]]:
    """Yields make(address): a HalvexMediatorAPI built with the root level kept, whose transport
    is closed on exit."""
    made = []

    def make(address):
        with root_level_kept():
            client = api_core.HalvexMediatorAPI(address)
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


def transport_class(transport) -> Callable[..., Any]:
    def make(*args, **kwargs):
        return transport

    return make


def client_on(transport, logger=None) -> Any:
    """A client whose transport is `transport`, built through the module namespace."""
    logger = logger if logger is not None else RecordingLogger()
    with patched(api_core, {"HalvexMediatorGrpcClient": transport_class(transport), "logger": logger}):
        with root_level_kept():
            return API("127.0.0.1:1")


# -- plausible arguments ---------------------------------------------------------------------

SERIAL_FOR = {  # a meter of the default fleet that answers the method
    "read_element_b": "HX1000002",
    "instantaneous_active_power_element_b": "HX1000002",
    "read": "HX1000002",
}
THREE_PHASE_SERIAL = "HX3000002"


def plausible_call(name: str) -> tuple[tuple, dict]:
    """Arguments with which the method succeeds against FleetMediator (bodies permitting)."""
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
        "_send_message": ((serial, event_log_record(2)), {}),
        "_three_phase_intervals_read": (
            (serial, start, start + dt.timedelta(hours=4),
             api_core.QuarnProfileThreePhaseIntervalsRequest.ProfileNumber.profile_0),
            {},
        ),
        "_safe_read_element": ((serial, O.serial), {}),
        "_scale_value": ((RECORDS["three_phase_total_active_import"](), "P1.cx"), {}),
        "_scale_10k_value": ((RECORDS["three_phase_total_active_import"](),), {}),
        "_scale_kilo_value": ((RECORDS["three_phase_total_active_import"](),), {}),
    }
    return table.get(name, ((serial,), {}))


def event_log_record(idx: int) -> bytes:
    """A valid event-log data record, built with the codec as a caller would."""
    from quarn_frame_protocol.generated.quarn_event_log_request import QuarnEventLogRequest
    from quarn_frame_protocol.quarn_data import QuarnData
    from quarn_frame_protocol.quarn_message import QuarnMessage
    from quarn_frame_protocol.stream import BytesIO, KaitaiStream
    from quarn_frame_protocol.util import quarn_encode_object_id

    req = QuarnEventLogRequest()
    req.object_id = quarn_encode_object_id(QuarnMessage.ObjectIdType.event_log)
    req.log_idx = idx
    io = KaitaiStream(BytesIO(bytearray(4)))
    req._write(io)
    rec = QuarnData(4)
    rec.format = QuarnData.RecordFormat.event_log
    rec.message = io.to_byte_array()
    io = KaitaiStream(BytesIO(bytearray(5)))
    rec._write(io)
    return io.to_byte_array()


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


def check_outcome(name: str, tracker: Tracker, result: Any, error: BaseException | None,
                  handlers_replaced: bool = False) -> None:
    """The properties every call must keep, whatever it was given."""
    for e in chain(error):
        assert not isinstance(e, SystemError), f"{name}: SystemError in the chain: {e!r}"
    if tracker.base:
        first = tracker.base[0]
        if handlers_replaced and error is not None and any(e is first for e in chain(error)):
            return
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


def outcome_label(result: Any, error: BaseException | None) -> str:
    if error is None:
        return "returned"
    return type(error).__name__


def dry_run(name: str, mediator: FleetMediator | None = None) -> list[str] | None:
    """The transport operations, in order, of a plausible call on a healthy meter; None while
    the method has no body yet."""
    new_tracker()
    args, kwargs = plausible_call(name)
    transport = ScriptedTransport(mediator=mediator)
    with root_level_kept(), patched(api_core, {"export_three_phase_intervals_to_csv": no_export,
                                               "logger": NullLogger(),
                                               "HalvexMediatorGrpcClient": transport_class(transport)}):
        client = API("127.0.0.1:1")
        try:
            if name != "__init__":
                getattr(client, name)(*args, **kwargs)
        except NotImplementedError:
            return None
    return [op for op, _ in TRACK.calls]


# -- the session summary ------------------------------------------------------------------------
# A plugin registered by a fixture rather than a conftest.py: other test folders import their
# own conftest module by that bare name.


class _Summary:
    def pytest_terminal_summary(self, terminalreporter):
        if not STATS:
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
            reached = {label.split(": ", 1)[0] for label in OUTCOMES
                       if not label.endswith(("TypeError", "NotImplementedError"))}
            tr.write_line(f"methods that got past their argument checks at least once: {len(reached)}")


@pytest.fixture(scope="module", autouse=True)
def hardening_summary(request):
    """Import into a test module to have the counters printed at the end of the session."""
    manager = request.config.pluginmanager
    if not manager.has_plugin("hardening-summary"):
        manager.register(_Summary(), "hardening-summary")
