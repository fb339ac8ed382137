"""Objects and failures that misbehave on purpose.

- `Hostile`: an object whose protocol methods (`DUNDERS`) and attributes do what its plan says;
  `hostile(...)` for one whose listed methods raise.
- `StrSub`, `BytesSub`, `IntSub`, `FloatSub`: plain subclasses of the built-in types (an exact
  type check refuses them); `TouchyStr`, a str subclass whose == raises; `RaisingDict`.
- `FakeRpcError` and the other failures, each kind by name in `EXCEPTIONS`.
- Value recipes: plain, printable data that `realize` turns into objects inside a test run
  (hypothesis prints recipes, not the objects).
- `HostileLogger`: a logger whose methods do what its plan says.

Everything these objects raise goes through `TRACK.raise_`, so a test knows which exceptions came
from its own fakes and which interrupt-like exception (not an `Exception`) came first; a test
that judges outcomes starts with `new_tracker()`.
"""

from __future__ import annotations

import datetime as dt
import types
from typing import Any, Callable

import grpc

from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from quarn_frame_protocol.errors import QuarnCodecError
from support.logs import NullLogger

# -- tracking what the fakes raise --------------------------------------------------------------


class Tracker:
    def __init__(self) -> None:
        self.raised: list[BaseException] = []
        self.base: list[BaseException] = []  # raised objects that are not Exceptions, in order

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


def raise_tracked(exc: BaseException):
    """Raises `exc` through the current tracker."""
    TRACK.raise_(exc)


# -- failures -------------------------------------------------------------------------------------


class Boom(Exception):
    """An ordinary exception only the fakes raise."""


class BadStrError(Exception):
    def __str__(self):
        TRACK.raise_(Boom("__str__ of an exception"))


class RaisingCall:
    """Stands for an action that raises the exception made by `make` when invoked."""

    def __init__(self, make: Callable[[], BaseException]):
        self.make = make


def _answer(value):
    if isinstance(value, RaisingCall):
        TRACK.raise_(value.make())
    return value


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


def make_exception(kind: str) -> BaseException:
    return EXCEPTIONS[kind]()


def _raise_planned(kind: str | type[BaseException], where: str):
    """("raise", kind): a kind by name, or an exception class (raised with `where` as message)."""
    TRACK.raise_(kind(where) if isinstance(kind, type) else make_exception(kind))


# -- hostile objects --------------------------------------------------------------------------


def _not_implemented(self, *args):
    return NotImplemented


# What each protocol method does when the plan does not mention it: behave like a harmless object.
HARMLESS: dict[str, Callable[..., Any]] = {
    "__str__": lambda self: "hostile",
    "__repr__": lambda self: "<hostile>",
    "__format__": lambda self, format_spec: "hostile",
    "__bool__": lambda self: True,
    "__eq__": lambda self, other: self is other,
    "__ne__": lambda self, other: self is not other,
    **dict.fromkeys(("__lt__", "__le__", "__gt__", "__ge__"), _not_implemented),
    "__hash__": lambda self: id(self) >> 4,
    "__index__": lambda self: 1,
    "__int__": lambda self: 1,
    "__float__": lambda self: 1.0,
    "__len__": lambda self: 1,
    "__call__": lambda self, *args, **kwargs: TRACK.raise_(TypeError("hostile object is not callable")),
    **dict.fromkeys(("__truediv__", "__rtruediv__", "__add__", "__radd__", "__sub__", "__rsub__"), _not_implemented),
    "__getitem__": lambda self, key: TRACK.raise_(KeyError(key)),
    "__contains__": lambda self, key: False,
    "__iter__": lambda self: iter(()),
}
DUNDERS = tuple(HARMLESS)


class Hostile:
    """An object whose protocol methods and attributes do what its plan says.

    plan maps a dunder name (one of DUNDERS), "attr:<name>" (one attribute) or "attr:*" (any
    missing attribute) to ("raise", exception kind or class) or ("return", value recipe);
    unplanned dunders behave harmlessly (HARMLESS).
    """

    __slots__ = ("_plan", "__weakref__")

    def __init__(self, plan: dict[str, tuple]):
        object.__setattr__(self, "_plan", plan)

    def __getattr__(self, name: str):
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        plan = object.__getattribute__(self, "_plan")
        action = plan.get("attr:" + name) or plan.get("attr:*")
        if action is None:
            raise AttributeError(name)
        if action[0] == "raise":
            _raise_planned(action[1], name)
        return realize(action[1])

    def __setattr__(self, name, value):
        TRACK.raise_(Boom(f"cannot set {name}"))


def _planned(name: str, harmless: Callable[..., Any]):
    def method(self, *args, **kwargs):
        action = self._plan.get(name)
        if action is None:
            return harmless(self, *args, **kwargs)
        if action[0] == "raise":
            _raise_planned(action[1], name)
        return realize(action[1])

    method.__name__ = name
    method.__qualname__ = f"Hostile.{name}"
    return method


for _name, _harmless in HARMLESS.items():
    setattr(Hostile, _name, _planned(_name, _harmless))


def hostile(*dunders: str, kind: str | type[BaseException] = Boom) -> Hostile:
    """A Hostile whose listed protocol methods raise (by default a Boom naming the method)."""
    return Hostile({name: ("raise", kind) for name in dunders})


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class TouchyStr(StrSub):
    """Text whose == raises."""

    def __eq__(self, other):
        TRACK.raise_(Boom("__eq__"))

    __hash__ = str.__hash__


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


class HostileLogger(NullLogger):
    """A logger whose methods do what the plan says: ("raise", kind), ("value", recipe) for
    bind's result, or nothing."""

    def __init__(self, plan: dict[str, tuple]):
        super().__init__()
        self.plan = plan

    def _act(self, name):
        action = self.plan.get(name)
        if action and action[0] == "raise":
            TRACK.raise_(make_exception(action[1]))
        return action

    def bind(self, **fields):
        action = self._act("bind")
        return realize(action[1]) if action else self

    def _record(self, level, message, args, fields):
        self._act(level)


# -- value recipes ------------------------------------------------------------------------------


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
    if tag in ("enum", "type"):
        return resolve(recipe[1])
    if tag == "record":
        from support.hardening import records

        return records()[recipe[1]]()
    raise AssertionError(f"unknown value recipe {recipe!r}")


def resolve(path: str) -> Any:
    """'QuarnMessage.BacklightSettingType.on' -> the object, looked up in the core's namespace."""
    import norvo_halvex.mediator.api_core as api_core

    head, *rest = path.split(".")
    obj = getattr(api_core, head, None)
    if obj is None:
        obj = {"datetime": dt, "grpc": grpc}[head]
    for part in rest:
        obj = getattr(obj, part)
    return obj
