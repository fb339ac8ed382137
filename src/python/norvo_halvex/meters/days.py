"""Local days: a billing day runs from 00:00 to the next 00:00 in a time zone.

A local day holds the slots of the grid that start in it: 48 half-hours, or 46 and 50 on the
days daylight saving time begins and ends. Instants stay in UTC; a day is named by its local
date and zone. It is fetched in windows of at most ``MAX_WINDOW`` (``LocalDay.windows``), so
that the download of one window keeps the client's 24-hour limit; consecutive windows share no
slot. A day that has not ended yet offers only its slots that are over.

A zone whose day does not begin on the grid (Asia/Kathmandu begins at 18:15 UTC) cannot be
cut into whole intervals: ``local_day`` refuses it.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
import zoneinfo
from typing import Final

from norvo_halvex.meters.grid import INTERVAL_SECONDS
from norvo_halvex.meters.window import MAX_WINDOW

__all__ = ["UTC_ZONE", "LocalDay", "local_day", "time_zone", "today"]

UTC_ZONE: Final = zoneinfo.ZoneInfo("UTC")
_UTC = _dt.timezone.utc
_LENGTH = _dt.timedelta(seconds=INTERVAL_SECONDS)
#: Slots one window holds at most: its first and last start are MAX_WINDOW apart.
_PER_WINDOW = MAX_WINDOW // _LENGTH + 1


def time_zone(name: str) -> zoneinfo.ZoneInfo:
    """The IANA time zone ``name`` (``Europe/Oslo``, ``UTC``); ValueError naming it otherwise."""
    try:
        return zoneinfo.ZoneInfo(name)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError, TypeError, OSError):
        raise ValueError(f"unknown time zone {name!r}: give an IANA name such as Europe/Oslo, or UTC") from None


def _midnight(day: _dt.date, tz: zoneinfo.ZoneInfo) -> _dt.datetime:
    # A midnight that does not exist (clocks jump at 00:00) is the instant of the jump.
    return _dt.datetime.combine(day, _dt.time(0), tzinfo=tz).astimezone(_UTC)


def _epoch(t: _dt.datetime) -> int:
    return int(t.timestamp())


@dataclasses.dataclass(frozen=True)
class LocalDay:
    """``day`` in ``zone``: the UTC instants ``start`` (its midnight) and ``end`` (the next)."""

    day: _dt.date
    zone: zoneinfo.ZoneInfo
    start: _dt.datetime
    end: _dt.datetime

    @property
    def key(self) -> str:
        """The zone's IANA name, as stores record it."""
        return self.zone.key

    @property
    def slots(self) -> int:
        return (_epoch(self.end) - _epoch(self.start)) // INTERVAL_SECONDS

    def over(self, as_of: _dt.datetime) -> bool:
        return as_of >= self.end

    def slots_over(self, as_of: _dt.datetime | None = None) -> int:
        """The day's slots that have ended by ``as_of`` (all of them without it)."""
        if as_of is None:
            return self.slots
        cut = min(_epoch(self.end), _epoch(as_of) // INTERVAL_SECONDS * INTERVAL_SECONDS)
        return max(0, (cut - _epoch(self.start)) // INTERVAL_SECONDS)

    def windows(self, as_of: _dt.datetime | None = None) -> list[tuple[_dt.datetime, _dt.datetime]]:
        """(first slot start, last slot start) of each window the day is fetched in, oldest
        first: as few as keep each within ``MAX_WINDOW``, the slots shared out evenly (a 25-hour
        day is two windows of 25 slots). With ``as_of`` only the slots over by then."""
        n = self.slots_over(as_of)
        count = -(-n // _PER_WINDOW)
        out = []
        offset = 0
        for i in range(count):
            size = n // count + (i < n % count)
            first = self.start + offset * _LENGTH
            out.append((first, first + (size - 1) * _LENGTH))
            offset += size
        return out


def local_day(day: _dt.date, tz: zoneinfo.ZoneInfo) -> LocalDay:
    """The local day ``day`` in ``tz``; ValueError when its bounds are not on the slot grid."""
    start, end = _midnight(day, tz), _midnight(day + _dt.timedelta(days=1), tz)
    for edge in (start, end):
        if _epoch(edge) % INTERVAL_SECONDS:
            raise ValueError(
                f"{day.isoformat()} in {tz.key} begins or ends at {edge:%H:%M} UTC, inside one of the "
                f"meters' {INTERVAL_SECONDS // 60}-minute intervals: "
                "its intervals cannot be divided into its days; use a zone whose offset is a whole number "
                "of half-hours"
            )
    return LocalDay(day, tz, start, end)


def today(tz: zoneinfo.ZoneInfo, now: _dt.datetime | None = None) -> _dt.date:
    """The date in ``tz`` at ``now`` (default: this machine's clock)."""
    return (now or _dt.datetime.now(_UTC)).astimezone(tz).date()
