"""Fault injection for simulated meters.

A ``Fault`` describes what goes wrong with one meter: added latency and/or a failure
kind, optionally limited to some operations and object identifiers, optionally only
after a number of successful calls and/or only a number of times. A ``FaultRegistry``
keeps one ``Fault`` per serial (with its counters, ``FaultState``) and says, for each
call, what to do (``FaultRegistry.decide``); the fleet holds one.
"""

from __future__ import annotations

import dataclasses
import enum
import threading
from collections.abc import Iterable, Mapping
from typing import Any

import grpc

__all__ = ["INTERVAL_FAULTS", "Fault", "FaultKind", "Operation", "FaultAction", "FaultRegistry", "FaultState"]


class FaultKind(enum.StrEnum):
    #: The mediator reports that it could not reach the meter (MeterStatus).
    CONNECTION_FAILURE = "connection_failure"
    #: The mediator reports that the meter's stream ended early (MeterStatus).
    END_OF_STREAM = "end_of_stream"
    #: The call fails with the gRPC status ``Fault.status``.
    GRPC_STATUS = "grpc_status"
    #: The meter answers bytes that do not decode.
    MALFORMED_REPLY = "malformed_reply"
    # Interval frames that decode but break the meter's grid (only interval frames match):
    #: every block starts ``seconds`` (default 7) after the slot it should.
    SHIFTED_INTERVALS = "shifted_intervals"
    #: every block claims intervals of ``seconds`` (default 1) instead of 30 minutes.
    WRONG_INTERVAL_LENGTH = "wrong_interval_length"
    #: every block starts one interval early, so consecutive frames repeat a slot.
    DUPLICATED_INTERVALS = "duplicated_intervals"
    #: every block holds twice the slots its window holds.
    TOO_MANY_INTERVALS = "too_many_intervals"


#: The faults that change an interval frame's block instead of failing the call.
INTERVAL_FAULTS = frozenset({FaultKind.SHIFTED_INTERVALS, FaultKind.WRONG_INTERVAL_LENGTH,
                             FaultKind.DUPLICATED_INTERVALS, FaultKind.TOO_MANY_INTERVALS})
_DEFAULT_SECONDS = {FaultKind.SHIFTED_INTERVALS: 7, FaultKind.WRONG_INTERVAL_LENGTH: 1}


class Operation(enum.StrEnum):
    READ = "read"
    WRITE = "write"
    MESSAGE = "message"


_STATUS_NAMES = {code.name: code for code in grpc.StatusCode if code is not grpc.StatusCode.OK}


@dataclasses.dataclass(frozen=True)
class Fault:
    """What goes wrong with one meter.

    - ``latency``: seconds added before every matching call is answered (also the
      calls that do not fail).
    - ``kind``: a ``FaultKind`` (or its value), or None for latency alone. ``status``
      (a gRPC status name such as ``"UNAVAILABLE"``) implies ``kind="grpc_status"``.
    - ``details``: text carried by the failure (MeterStatus message or gRPC details).
    - ``operations``: limit to ``"read"``, ``"write"`` and/or ``"message"``.
    - ``object_ids``: limit to these object identifiers; data-record exchanges carry
      no object identifier and never match a fault limited this way.
    - ``after``: the first ``after`` matching calls succeed, the following ones fail.
    - ``times``: fail at most this many times, then behave as if cleared.
    - ``seconds``: the shift of ``shifted_intervals`` (default 7) or the interval length
      ``wrong_interval_length`` claims (default 1).
    """

    kind: FaultKind | None = None
    latency: float = 0.0
    status: str | None = None
    details: str = ""
    operations: frozenset[Operation] | None = None
    object_ids: frozenset[int] | None = None
    after: int = 0
    times: int | None = None
    seconds: int | None = None

    def __post_init__(self) -> None:
        kind = self.kind
        if kind is None and self.status is not None:
            kind = FaultKind.GRPC_STATUS
        if kind is not None:
            try:
                kind = FaultKind(kind)
            except ValueError:
                raise ValueError(
                    f"unknown fault kind {kind!r}; expected one of {', '.join(k.value for k in FaultKind)}"
                ) from None
        object.__setattr__(self, "kind", kind)

        if kind is FaultKind.GRPC_STATUS:
            if not isinstance(self.status, str) or self.status.upper() not in _STATUS_NAMES:
                raise ValueError(
                    f"fault kind 'grpc_status' needs status set to a gRPC status name "
                    f"(one of {', '.join(sorted(_STATUS_NAMES))}), got {self.status!r}"
                )
            object.__setattr__(self, "status", self.status.upper())
        elif self.status is not None:
            raise ValueError(f"status {self.status!r} only makes sense with kind 'grpc_status', not {kind}")

        if isinstance(self.latency, bool) or not isinstance(self.latency, (int, float)) or not self.latency >= 0:
            raise ValueError(f"latency must be a number of seconds >= 0, got {self.latency!r}")
        object.__setattr__(self, "latency", float(self.latency))
        if not isinstance(self.details, str):
            raise ValueError(f"details must be text, got {type(self.details).__name__}")

        if self.operations is not None:
            if isinstance(self.operations, str):
                raise ValueError("operations must be a list such as ['read', 'write'], not a single string")
            ops = []
            for op in self.operations:
                try:
                    ops.append(Operation(op))
                except ValueError:
                    raise ValueError(
                        f"unknown operation {op!r}; expected any of {', '.join(o.value for o in Operation)}"
                    ) from None
            object.__setattr__(self, "operations", frozenset(ops))

        if self.object_ids is not None:
            if isinstance(self.object_ids, (str, bytes)) or not isinstance(self.object_ids, Iterable):
                raise ValueError(f"object_ids must be a list of object identifiers, got {self.object_ids!r}")
            ids = frozenset(_object_id(o) for o in self.object_ids)
            object.__setattr__(self, "object_ids", ids)

        for name in ("after", "times"):
            value = getattr(self, name)
            if value is None and name == "times":
                continue
            if isinstance(value, bool) or not isinstance(value, int) or value < 0:
                raise ValueError(f"{name} must be a whole number >= 0, got {value!r}")

        if kind is None and self.latency == 0:
            raise ValueError("a fault needs a kind, a status or a latency > 0")
        if self.seconds is not None:
            if kind not in _DEFAULT_SECONDS:
                raise ValueError(f"seconds only makes sense with kind {' or '.join(sorted(_DEFAULT_SECONDS))}")
            if isinstance(self.seconds, bool) or not isinstance(self.seconds, int) or not 0 <= self.seconds <= 0xFFFF:
                raise ValueError(f"seconds must be a whole number 0..65535, got {self.seconds!r}")
        elif kind in _DEFAULT_SECONDS:
            object.__setattr__(self, "seconds", _DEFAULT_SECONDS[kind])

    @property
    def status_code(self) -> grpc.StatusCode | None:
        return _STATUS_NAMES[self.status] if self.status else None

    def matches(self, operation: Operation, object_id: int | None, interval_frame: bool = False) -> bool:
        if self.kind is FaultKind.MALFORMED_REPLY and operation is Operation.WRITE:
            return False  # a write's reply carries nothing that could be malformed
        if self.kind in INTERVAL_FAULTS and not interval_frame:
            return False
        if self.operations is not None and operation not in self.operations:
            return False
        if self.object_ids is not None and (object_id is None or object_id not in self.object_ids):
            return False
        return True

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Fault:
        """Builds a fault from its JSON form (the field names above)."""
        if not isinstance(data, Mapping):
            raise ValueError(f"a fault must be an object, got {type(data).__name__}")
        fields = {f.name for f in dataclasses.fields(cls)}
        unknown = sorted(set(data) - fields)
        if unknown:
            raise ValueError(f"unknown fault option(s) {', '.join(unknown)}; known: {', '.join(sorted(fields))}")
        return cls(**data)

    def to_dict(self) -> dict[str, Any]:
        out: dict[str, Any] = {}
        for f in dataclasses.fields(self):
            value = getattr(self, f.name)
            if value == f.default:
                continue
            if isinstance(value, frozenset):
                value = sorted(str(v) if isinstance(v, Operation) else v for v in value)
            elif isinstance(value, enum.Enum):
                value = value.value
            out[f.name] = value
        return out


def _object_id(value) -> int:
    """Object identifiers in fault filters: an int, an ObjectIdEnum member or its name,
    or an OBIS text "C.D.E"."""
    if isinstance(value, bool):
        raise ValueError(f"object identifier expected, got {value!r}")
    if isinstance(value, int):
        return int(value)
    if isinstance(value, str):
        from norvo_halvex.mediator.simulator.objects import parse_object_id

        return parse_object_id(value)
    raise ValueError(f"object identifier expected (int, name or OBIS 'C.D.E'), got {value!r}")


@dataclasses.dataclass(frozen=True)
class FaultAction:
    """What to do with one call: sleep ``latency``, then fail with ``kind`` (if set)."""

    latency: float
    kind: FaultKind | None
    fault: Fault


class FaultState:
    """A fault installed on one meter, with its call counters. Thread-safe."""

    __slots__ = ("fault", "_lock", "_matched", "_failed")

    def __init__(self, fault: Fault) -> None:
        self.fault = fault
        self._lock = threading.Lock()
        self._matched = 0
        self._failed = 0

    def decide(self, operation: Operation, object_id: int | None, interval_frame: bool = False) -> FaultAction | None:
        fault = self.fault
        if not fault.matches(operation, object_id, interval_frame):
            return None
        with self._lock:
            index = self._matched
            self._matched += 1
            if fault.times is not None and self._failed >= fault.times:
                return None  # used up: as if cleared
            fail = fault.kind is not None and index >= fault.after
            if fail:
                self._failed += 1
        if not fail and fault.latency == 0:
            return None
        return FaultAction(fault.latency, fault.kind if fail else None, fault)

    @property
    def calls(self) -> int:
        """Matching calls seen so far."""
        with self._lock:
            return self._matched


class FaultRegistry:
    """The fault of each serial, settable while a server answers. Thread-safe.

    Lookups happen on every call a server answers, so the mapping is replaced whole on a
    change (copy-on-write) and read without a lock.
    """

    __slots__ = ("_faults", "_lock")

    def __init__(self) -> None:
        self._faults: dict[str, FaultState] = {}
        self._lock = threading.Lock()

    def set(self, serial: str, fault: Fault) -> None:
        """Installs ``fault`` on ``serial``, replacing any earlier one (counters reset)."""
        if not isinstance(fault, Fault):
            raise TypeError(f"fault must be a Fault, got {type(fault).__name__}")
        with self._lock:
            self._faults = {**self._faults, serial: FaultState(fault)}

    def clear(self, serial: str) -> None:
        with self._lock:
            if serial in self._faults:
                faults = dict(self._faults)
                del faults[serial]
                self._faults = faults

    def clear_all(self) -> None:
        with self._lock:
            self._faults = {}

    def get(self, serial: str) -> Fault | None:
        state = self._faults.get(serial)
        return state.fault if state else None

    def calls(self, serial: str) -> int:
        """How many calls the serial's current fault has matched so far."""
        state = self._faults.get(serial)
        return state.calls if state else 0

    def decide(
        self, serial: str, operation: Operation, object_id: int | None, interval_frame: bool = False
    ) -> FaultAction | None:
        state = self._faults.get(serial)
        if state is None:
            return None
        return state.decide(operation, object_id, interval_frame)
