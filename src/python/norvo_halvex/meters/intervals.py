"""The interval record type: interval (load profile) data of a three-phase meter.

Values are the meter's raw counts, in the units of its totals: Wh / varh / VAh on
whole-current meters, 0.1 Wh / varh / VAh on CT-operated meters (``meters.units``).
``None`` marks a value the meter does not hold (the interval is flagged missing). Scaling to
kWh happens on output (``meters.interval_csv``).
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import overload

from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import (
    VALUE_NAMES,
    IntervalStatus,
)

__all__ = ["VALUE_FIELDS", "ThreePhaseInterval", "ThreePhaseIntervals"]

# The six values of an interval, in the order the meter sends them.
VALUE_FIELDS: tuple[str, ...] = VALUE_NAMES

_MISSING = int(IntervalStatus.missing)


@dataclass(frozen=True, slots=True)
class ThreePhaseInterval:
    """One interval: its start time (aware, UTC), six raw counts and the status flags."""

    time: datetime
    active_import: int | None
    active_export: int | None
    reactive_import: int | None
    reactive_export: int | None
    apparent_import: int | None
    apparent_export: int | None
    status: int = 0

    def __post_init__(self) -> None:
        t = self.time
        if not isinstance(t, datetime) or t.utcoffset() is None:
            raise ValueError(
                f"interval time must be a timezone-aware datetime, got {t!r}"
            )
        if t.tzinfo is not timezone.utc:
            object.__setattr__(self, "time", t.astimezone(timezone.utc))
        for name in VALUE_FIELDS:
            value = getattr(self, name)
            if value is not None and (type(value) is bool or not isinstance(value, int)):
                raise TypeError(
                    f"interval value {name} must be an int count or None, "
                    f"got {type(value).__name__}"
                )
        status = self.status
        if type(status) is bool or not isinstance(status, int):
            raise TypeError(f"interval status must be an int, got {type(status).__name__}")
        if status < 0:
            raise ValueError(f"interval status must be a non-negative int, got {status}")
        if type(status) is not int:  # an IntervalStatus flag: keep the plain number
            object.__setattr__(self, "status", int(status))

    def __repr__(self) -> str:
        # ISO time instead of the datetime constructor: these show up in log lines.
        values = ", ".join(f"{name}={getattr(self, name)!r}" for name in VALUE_FIELDS)
        return f"ThreePhaseInterval({self.time.isoformat()}, {values}, status={self.status})"

    @classmethod
    def _from_checked(
        cls, time: datetime, values: Sequence[int | None], status: int
    ) -> ThreePhaseInterval:
        """An interval from parts that already are what ``__post_init__`` makes of them: an
        aware datetime in ``timezone.utc``, six exact ints or None, and an exact int status
        of 0 or more. The assembly of a download makes dozens of these per frame."""
        a, b, c, d, e, f = values
        interval = _new(cls)
        _SET_TIME(interval, time)
        _SET_A(interval, a)
        _SET_B(interval, b)
        _SET_C(interval, c)
        _SET_D(interval, d)
        _SET_E(interval, e)
        _SET_F(interval, f)
        _SET_STATUS(interval, status)
        return interval

    @property
    def values(self) -> tuple[int | None, ...]:
        """The six counts in meter order (``VALUE_FIELDS``)."""
        return (
            self.active_import,
            self.active_export,
            self.reactive_import,
            self.reactive_export,
            self.apparent_import,
            self.apparent_export,
        )

    @property
    def missing(self) -> bool:
        """True when the meter flagged this interval as holding no data."""
        return bool(self.status & _MISSING)


_new = object.__new__
# The slots' own setters: the frozen class refuses ordinary assignment.
_SET_TIME = ThreePhaseInterval.__dict__["time"].__set__
_SET_A, _SET_B, _SET_C, _SET_D, _SET_E, _SET_F = (
    ThreePhaseInterval.__dict__[name].__set__ for name in VALUE_FIELDS
)
_SET_STATUS = ThreePhaseInterval.__dict__["status"].__set__


class ThreePhaseIntervals(Sequence[ThreePhaseInterval]):
    """An immutable sequence of intervals in strictly increasing time order.

    ``interval_length`` is the length of one interval in seconds (None only for a
    collection made from no blocks at all).
    """

    __slots__ = ("_intervals", "_interval_length")

    _intervals: tuple[ThreePhaseInterval, ...]
    _interval_length: int | None

    def __init__(
        self, intervals: Iterable[ThreePhaseInterval] = (), interval_length: int | None = None
    ) -> None:
        items = tuple(intervals)
        for i, item in enumerate(items):
            if not isinstance(item, ThreePhaseInterval):
                raise TypeError(
                    f"ThreePhaseIntervals holds ThreePhaseInterval items, "
                    f"item {i} is {type(item).__name__}"
                )
            if i and item.time <= items[i - 1].time:
                raise ValueError(
                    "intervals must be in strictly increasing time order: "
                    f"item {i} ({item.time.isoformat()}) does not come after "
                    f"item {i - 1} ({items[i - 1].time.isoformat()})"
                )
        if interval_length is not None:
            if type(interval_length) is bool or not isinstance(interval_length, int):
                raise TypeError(
                    f"interval_length must be an int number of seconds, "
                    f"got {type(interval_length).__name__}"
                )
            if interval_length <= 0:
                raise ValueError(
                    f"interval_length must be a positive number of seconds, got {interval_length}"
                )
        elif items:
            raise ValueError("interval_length is required when there are intervals")
        object.__setattr__(self, "_intervals", items)
        object.__setattr__(self, "_interval_length", interval_length)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("ThreePhaseIntervals is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("ThreePhaseIntervals is immutable")

    @property
    def interval_length(self) -> int | None:
        return self._interval_length

    @property
    def missing(self) -> tuple[ThreePhaseInterval, ...]:
        """The intervals the meter flagged as holding no data, in time order."""
        return tuple(iv for iv in self._intervals if iv.missing)

    @property
    def start(self) -> datetime | None:
        return self._intervals[0].time if self._intervals else None

    @property
    def end(self) -> datetime | None:
        """End of the last interval (its start plus the interval length)."""
        if not self._intervals or self._interval_length is None:
            return None
        return self._intervals[-1].time + timedelta(seconds=self._interval_length)

    def __len__(self) -> int:
        return len(self._intervals)

    def __iter__(self) -> Iterator[ThreePhaseInterval]:
        return iter(self._intervals)

    @overload
    def __getitem__(self, index: int) -> ThreePhaseInterval: ...
    @overload
    def __getitem__(self, index: slice) -> ThreePhaseIntervals: ...
    def __getitem__(self, index: int | slice) -> ThreePhaseInterval | ThreePhaseIntervals:
        if isinstance(index, slice):
            if index.step is not None and index.step < 0:
                raise ValueError("a ThreePhaseIntervals slice cannot reverse the time order")
            return ThreePhaseIntervals(self._intervals[index], self._interval_length)
        return self._intervals[index]

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ThreePhaseIntervals):
            return NotImplemented
        return (
            self._interval_length == other._interval_length
            and self._intervals == other._intervals
        )

    def __hash__(self) -> int:
        return hash((self._interval_length, self._intervals))

    def __repr__(self) -> str:
        n = len(self._intervals)
        if not n:
            return f"ThreePhaseIntervals(0 intervals, interval_length={self._interval_length})"
        missing = sum(1 for iv in self._intervals if iv.missing)
        return (
            f"ThreePhaseIntervals({n} interval{'s' if n != 1 else ''} of "
            f"{self._interval_length} s from {self._intervals[0].time.isoformat()} "
            f"to {self.end.isoformat()}, {missing} missing)"  # type: ignore[union-attr]
        )
