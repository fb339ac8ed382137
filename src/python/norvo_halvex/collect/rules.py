"""The few meter-domain rules a collection needs, in one place for collect/."""

from __future__ import annotations

import datetime as _dt

UTC = _dt.timezone.utc

FRAME = _dt.timedelta(hours=4)
# A day download covers the intervals starting 00:00 to 23:30 UTC.
DAY_WINDOW_END = _dt.timedelta(hours=23, minutes=30)


def day_window(day: _dt.date) -> tuple[_dt.datetime, _dt.datetime]:
    start = _dt.datetime.combine(day, _dt.time(0, 0), tzinfo=UTC)
    return start, start + DAY_WINDOW_END


def frames(start: _dt.datetime, end: _dt.datetime) -> list[tuple[_dt.datetime, _dt.datetime]]:
    """The frames the meter is asked for: at most 4 hours each, sharing their boundaries."""
    if end <= start + FRAME:
        return [(start, end)]
    out = []
    current = start
    while current < end:
        nxt = min(current + FRAME, end)
        out.append((current, nxt))
        current = nxt
    return out


def decimals_for(hardware: str) -> int:
    """CT-operated meters count 0.1 Wh (4 decimals in kWh); every other meter counts Wh."""
    return 4 if hardware == "P1.cx" else 3


def count_text(count: int, decimals: int) -> str:
    """An exact decimal text of ``count`` / 10**decimals (integer arithmetic only)."""
    sign = "-" if count < 0 else ""
    whole, frac = divmod(abs(count), 10**decimals)
    return f"{sign}{whole}.{frac:0{decimals}d}"
