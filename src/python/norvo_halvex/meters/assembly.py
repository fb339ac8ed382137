"""Assembly of the interval blocks of one download (a day, or any window) into one
``ThreePhaseIntervals``: intervals placed by time, shared frame boundaries kept once."""

from __future__ import annotations

import operator
from collections.abc import Sequence
from datetime import datetime, timezone
from typing import Any

from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import (
    IntervalStatus,
)

from norvo_halvex.meters.intervals import (
    VALUE_FIELDS,
    ThreePhaseInterval,
    ThreePhaseIntervals,
)
from norvo_halvex.log import get_logger

__all__ = ["blocks_to_intervals_rec"]

# Logged under the module name callers have always configured for interval downloads.
_log = get_logger("norvo_halvex.util.three_phase_intervals", __file__)

_MISSING = int(IntervalStatus.missing)
_VALUES_PER_INTERVAL = len(VALUE_FIELDS)
_NO_VALUES: list[int | None] = [None] * _VALUES_PER_INTERVAL
_index = operator.index
_from_checked = ThreePhaseInterval._from_checked


def _block_int(block_no: int, count: int, name: str, value: Any) -> int:
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(
            f"interval block {block_no} of {count}: {name} must be an int, "
            f"got {type(value).__name__}"
        ) from None


def _interval_from_record(
    block_no: int, count: int, pos: int, time: datetime, rec: Any
) -> ThreePhaseInterval:
    where = f"interval block {block_no} of {count}, interval {pos}"
    try:
        status = _index(rec.status)
    except TypeError:
        raise TypeError(
            f"{where}: status must be an int, got {type(rec.status).__name__}"
        ) from None
    if status & _MISSING:
        # What a missing interval carries in its value fields is meaningless.
        values: list[int | None] = _NO_VALUES
    else:
        raw = list(rec.values)
        if len(raw) != _VALUES_PER_INTERVAL:
            raise ValueError(
                f"{where}: expected {_VALUES_PER_INTERVAL} values "
                f"({', '.join(VALUE_FIELDS)}), got {len(raw)}"
            )
        try:
            values = list(map(_index, raw))
        except TypeError:
            bad = next(v for v in raw if not hasattr(type(v), "__index__"))
            raise TypeError(
                f"{where}: values must be int counts, got {type(bad).__name__}"
            ) from None
    if status < 0:  # refused by the interval's own checks, with their message
        return ThreePhaseInterval(time, *values, status=status)
    # time is UTC, the values exact ints (or None) and the status an exact int >= 0: what
    # the interval's own checks would make of them.
    return _from_checked(time, values, status)


def _same_content(a: ThreePhaseInterval, b: ThreePhaseInterval) -> bool:
    return a.status == b.status and a.values == b.values


def blocks_to_intervals_rec(blocks: Sequence[Any]) -> ThreePhaseIntervals:
    """Combine the blocks of one download into one collection, ordered by time.

    Each block has ``start_time`` (epoch seconds of its first interval), ``interval_length``
    (seconds) and ``intervals`` (records with ``status`` and six raw ``values``); interval
    ``i`` starts at ``start_time + i * interval_length``. An interval flagged
    ``IntervalStatus.missing`` is kept, with every value None.

    Consecutive frames share their boundary interval, so an interval may come twice:

    - identical copies are kept once;
    - copies that differ are reported with a warning on this module's logger, and one is
      kept: a copy with data wins over a copy flagged missing, otherwise the copy from the
      later block (it was read later, so it holds the meter's latest state, e.g. of an
      interval still in progress during the download).

    Raises TypeError for a None block or fields of the wrong type, and ValueError for an
    interval length that is not positive or differs between blocks.
    """
    if blocks is None:
        raise TypeError(
            "blocks must be a list of interval blocks, got None; "
            "pass the blocks of a download in time order"
        )
    block_list = list(blocks)
    count = len(block_list)
    interval_length: int | None = None
    # Keyed by the start in epoch seconds (one per instant, as the datetimes are).
    by_start: dict[int, ThreePhaseInterval] = {}

    for b, block in enumerate(block_list):
        block_no = b + 1
        if block is None:
            raise TypeError(
                f"interval block {block_no} of {count} is None: every frame of an interval "
                "download must yield a block (a frame requested with the reset profile "
                "yields none); fetch the frame again with profile_0"
            )
        length = _block_int(block_no, count, "interval_length", block.interval_length)
        if length <= 0:
            raise ValueError(
                f"interval block {block_no} of {count} has interval_length {length}; "
                "an interval length must be a positive number of seconds"
            )
        if interval_length is None:
            interval_length = length
        elif length != interval_length:
            raise ValueError(
                f"interval block {block_no} of {count} has interval_length {length} s but "
                f"earlier blocks have {interval_length} s; intervals of different lengths "
                "cannot form one collection (was the meter's profile reconfigured during "
                "the download?)"
            )
        start = _block_int(block_no, count, "start_time", block.start_time)

        for pos, rec in enumerate(block.intervals):
            at = start + pos * length
            time = datetime.fromtimestamp(at, timezone.utc)
            interval = _interval_from_record(block_no, count, pos, time, rec)
            earlier = by_start.get(at)
            if earlier is None:
                by_start[at] = interval
            elif not _same_content(earlier, interval):
                keep = earlier if interval.missing and not earlier.missing else interval
                by_start[at] = keep
                _log.warning(
                    "conflicting copies of one interval in consecutive frames; "
                    "keeping the copy with data, else the later one",
                    time=time.isoformat(),
                    earlier=earlier,
                    later=interval,
                    kept="earlier" if keep is earlier else "later",
                )

    return ThreePhaseIntervals(
        [by_start[at] for at in sorted(by_start)], interval_length
    )
