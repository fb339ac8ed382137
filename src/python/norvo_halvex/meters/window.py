"""Which intervals a download asks for: the window, and the 4-hour frames it is cut into.

- A window is at most 24 hours (``MAX_WINDOW``) and must not be empty.
- A day is the UTC day up to the start of its last half-hour interval: 00:00 to 23:30 UTC
  (``day_window``), so 48 intervals of 30 minutes and not the next day's first one.
- A window is fetched in frames of at most 4 hours (``FRAME_LENGTH``, ``interval_frames``):
  one frame when the window fits in one, else frames that each start where the previous one
  ended, the last one ending at the window's end. A frame ``[s, e]`` holds the intervals
  starting in ``s <= t <= e``, so consecutive frames share their boundary interval (the
  interval assembly keeps it once).

The C++ core applies the same rules in ``HalvexMediatorAPI.three_phase_intervals``; tests
pin it to ``interval_frames``.
"""

from __future__ import annotations

import datetime as _dt
from typing import Final

__all__ = [
    "DAY_LAST_INTERVAL_START",
    "FRAME_LENGTH",
    "MAX_WINDOW",
    "IntervalWindowError",
    "check_window",
    "day_window",
    "frame_count",
    "interval_frames",
    "resolve_window",
]

MAX_WINDOW: Final = _dt.timedelta(hours=24)
FRAME_LENGTH: Final = _dt.timedelta(hours=4)
#: A day's window ends at the start of its last half-hour interval, in UTC.
DAY_LAST_INTERVAL_START: Final = _dt.time(23, 30)

_UTC = _dt.timezone.utc
_MIDNIGHT = _dt.time(0, 0)


class IntervalWindowError(ValueError):
    """A window that cannot be downloaded. ``reason`` says why, for callers that word it
    their own way: ``"missing"`` (no start or end), ``"order"`` (start not before end) or
    ``"too_long"`` (more than ``MAX_WINDOW``)."""

    def __init__(self, message: str, reason: str) -> None:
        super().__init__(message)
        self.reason = reason


def day_window(day: _dt.date) -> tuple[_dt.datetime, _dt.datetime]:
    """(00:00 UTC, 23:30 UTC) of ``day``'s date.

    A ``datetime`` counts by its own date, whatever its time or zone (as the core does).
    """
    return (
        _dt.datetime.combine(day, _MIDNIGHT, tzinfo=_UTC),
        _dt.datetime.combine(day, DAY_LAST_INTERVAL_START, tzinfo=_UTC),
    )


def check_window(start: _dt.datetime | None, end: _dt.datetime | None) -> None:
    """Raise ``IntervalWindowError`` unless ``start`` < ``end`` <= ``start + MAX_WINDOW``.

    The messages are the core's: "start_time and end_time must be provided",
    "start_time must come before end_time", "max range between start_time and end_time is
    24 hours".
    """
    if start is None or end is None:
        raise IntervalWindowError("start_time and end_time must be provided", "missing")
    if start >= end:
        raise IntervalWindowError("start_time must come before end_time", "order")
    if end > start + MAX_WINDOW:
        raise IntervalWindowError("max range between start_time and end_time is 24 hours", "too_long")


def resolve_window(
    day: _dt.date | None, start: _dt.datetime | None, end: _dt.datetime | None
) -> tuple[_dt.datetime, _dt.datetime]:
    """The window a download covers: ``day_window(day)`` when a day is given (``start`` and
    ``end`` are then ignored unchecked), else the checked explicit window."""
    if day:
        return day_window(day)
    check_window(start, end)
    return start, end  # type: ignore[return-value]


def interval_frames(start: _dt.datetime, end: _dt.datetime) -> list[tuple[_dt.datetime, _dt.datetime]]:
    """The (start, end) of every frame fetched for the window ``start`` to ``end``, in order.

    >>> t = _dt.datetime(2025, 3, 1, tzinfo=_UTC)
    >>> [(s.hour, e.hour) for s, e in interval_frames(t, t + _dt.timedelta(hours=10))]
    [(0, 4), (4, 8), (8, 10)]
    """
    if end <= start + FRAME_LENGTH:
        return [(start, end)]
    frames = []
    current = start
    while current < end:
        following = min(current + FRAME_LENGTH, end)
        frames.append((current, following))
        current = following
    return frames


def frame_count(start: _dt.datetime, end: _dt.datetime) -> int:
    """How many frames ``interval_frames`` gives for the window."""
    return len(interval_frames(start, end))
