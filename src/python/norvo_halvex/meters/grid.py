"""The meter's slot grid, and the rules a download's blocks must keep before any interval of
them is believed.

These meters record 30-minute intervals (``INTERVAL_SECONDS``), each starting a whole number of
interval lengths after midnight UTC, so every slot of every day is known in advance. A download
is a list of frames: the window ``[start, end]`` asked for (the intervals starting in it) and
the block the meter answered. ``check_frames`` applies the rules in this order and raises
``InvalidIntervals`` for the first one broken, with its first offending value:

==================  ===========================================================================
rule                what it says
==================  ===========================================================================
``interval_length`` every block has the meter's interval length
``grid``            every interval starts on the slot grid
``too_many``        no block holds more slots than its window
``duplicate``       no slot comes twice, except the boundary slot two consecutive frames share
``window``          every interval starts inside its frame's window
==================  ===========================================================================

A mediator that shifts its frames, stretches or shrinks the interval length, repeats slots or
pads its blocks would otherwise put rows on instants no meter recorded, or a slot twice.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Iterable, Sequence
from typing import Any, Final, NamedTuple

__all__ = [
    "INTERVAL_SECONDS",
    "RULES",
    "Frame",
    "InvalidIntervals",
    "block_frame",
    "check_frames",
    "intervals_frame",
    "slots_in",
]

#: The length of every interval these meters record.
INTERVAL_SECONDS: Final = 1800

RULES: Final = ("interval_length", "grid", "too_many", "duplicate", "window")

_UTC = _dt.timezone.utc


class InvalidIntervals(ValueError):
    """A download broke one of the grid rules: ``rule`` (one of ``RULES``) and ``value``,
    the first offending value (an interval length, a slot start, a count). The message
    begins with the rule's name."""

    def __init__(self, rule: str, value: object, message: str) -> None:
        super().__init__(f"{rule}: {message}")
        self.rule = rule
        self.value = value

    def __reduce__(self):
        return (_rebuild, (self.rule, self.value, str(self).partition(": ")[2]))


def _rebuild(rule, value, message):
    return InvalidIntervals(rule, value, message)


class Frame(NamedTuple):
    """One frame of a download in epoch seconds: the window asked for, the interval length
    the block claims and the start of each interval the block holds."""

    start: int
    end: int
    length: int
    starts: Sequence[int]


def _epoch(t: _dt.datetime) -> int:
    return int(t.timestamp())


def _iso(seconds: int) -> str:
    return _dt.datetime.fromtimestamp(seconds, _UTC).isoformat()


def block_frame(start: _dt.datetime, end: _dt.datetime, block: Any) -> Frame:
    """The frame of a block the meter answered for the window ``start`` .. ``end``."""
    first, length, count = int(block.start_time), int(block.interval_length), len(block.intervals)
    return Frame(_epoch(start), _epoch(end), length, range(first, first + count * length, length) if length > 0
                 else [first] * count)


def intervals_frame(start: _dt.datetime, end: _dt.datetime, intervals: Any) -> Frame:
    """The frame of a download seen only by what it returned (a ``ThreePhaseIntervals``)."""
    length = intervals.interval_length or INTERVAL_SECONDS
    return Frame(_epoch(start), _epoch(end), length, [_epoch(iv.time) for iv in intervals])


def slots_in(start: int, end: int, length: int = INTERVAL_SECONDS) -> int:
    """How many slots of the grid start in ``start <= t <= end`` (epoch seconds)."""
    first = -(-start // length) * length
    return 0 if end < first else (end - first) // length + 1


def check_frames(frames: Iterable[Frame], length: int = INTERVAL_SECONDS) -> None:
    """Raise ``InvalidIntervals`` for the first rule the frames of one download break (see the
    module's table), naming the frame and the first offending value."""
    frames = list(frames)
    count = len(frames)

    def where(i: int) -> str:
        f = frames[i]
        return f"frame {i + 1} of {count} ({_iso(f.start)} .. {_iso(f.end)})"

    for i, f in enumerate(frames):
        if f.length != length:
            raise InvalidIntervals(
                "interval_length", f.length,
                f"{where(i)} says its intervals last {f.length} s; the meter records {length} s intervals")
    for i, f in enumerate(frames):
        for t in f.starts:
            if t % length:
                raise InvalidIntervals(
                    "grid", _iso(t),
                    f"interval start {_iso(t)} in {where(i)} is not on the {length} s grid "
                    "(a whole number of intervals after midnight UTC)")
    for i, f in enumerate(frames):
        room = slots_in(f.start, f.end, length)
        if len(f.starts) > room:
            raise InvalidIntervals(
                "too_many", len(f.starts), f"{where(i)} holds {len(f.starts)} intervals; its window holds {room}")
    seen: set[int] = set()
    for i, f in enumerate(frames):
        shared = frames[i - 1].end if i and frames[i - 1].end == f.start else None
        for t in f.starts:
            if t in seen and t != shared:
                raise InvalidIntervals("duplicate", _iso(t), f"slot {_iso(t)} comes again in {where(i)}")
        seen.update(f.starts)
    for i, f in enumerate(frames):
        for t in f.starts:
            if not f.start <= t <= f.end:
                raise InvalidIntervals("window", _iso(t), f"interval start {_iso(t)} lies outside {where(i)}")
