"""Planning a collection: which meter-days to fetch, and which parts of each."""

from __future__ import annotations

import datetime as _dt
from collections.abc import Iterable, Iterator, Sequence

from norvo_halvex.collect.task import WHATS, MeterDay

from norvo_halvex.meters import UTC_ZONE, today

UTC = _dt.timezone.utc


def yesterday(zone=UTC_ZONE, now: _dt.datetime | None = None) -> _dt.date:
    """The day before today in ``zone`` (a ``ZoneInfo``)."""
    return today(zone, now) - _dt.timedelta(days=1)


def day_range(day: _dt.date, days: int = 1) -> list[_dt.date]:
    """The ``days`` days up to and including ``day``, oldest first."""
    if days < 1:
        raise ValueError(f"days must be at least 1, got {days}")
    return [day - _dt.timedelta(days=n) for n in range(days - 1, -1, -1)]


def parse_whats(text: str | Iterable[str]) -> tuple[str, ...]:
    """``intervals,registers,events`` (any subset, any order) in the order they are read."""
    items = [w.strip() for w in text.split(",")] if isinstance(text, str) else [str(w).strip() for w in text]
    items = [w for w in items if w]
    unknown = [w for w in items if w not in WHATS]
    if unknown or not items:
        raise ValueError(
            f"unknown part(s) {', '.join(repr(w) for w in unknown) or '(none given)'}; "
            f"choose from {', '.join(WHATS)}"
        )
    return tuple(w for w in WHATS if w in items)


class Plan:
    """Meter-days in serial order, produced lazily (the fleet is never held as tasks).

    Registers describe a meter at the moment they are read: they are read once per meter,
    for the newest day of the range. With ``done`` (a callable giving the (day, what) pairs of a
    serial whose last try succeeded) those parts are skipped; a meter-day with nothing
    left is counted in ``skipped`` and not produced.
    """

    def __init__(
        self, serials: Iterable[str], days: Sequence[_dt.date], whats: Sequence[str], *, done=None,
        zone: str = "UTC", as_of: _dt.datetime | None = None,
    ) -> None:
        self.serials = serials
        self.days = sorted(days)
        self.whats = tuple(whats)
        self.done = done
        self.zone = zone
        self.as_of = as_of
        self.skipped = 0

    def __iter__(self) -> Iterator[MeterDay]:
        newest = self.days[-1]
        first = self.days[0]
        seen: set[str] = set()
        for serial in self.serials:
            if serial in seen:  # a serial given twice is collected once
                continue
            seen.add(serial)
            finished = self.done(serial, first, newest) if self.done is not None else ()
            for day in self.days:
                parts = tuple(
                    w for w in self.whats
                    if (w != "registers" or day == newest) and (day, w) not in finished
                )
                if parts:
                    yield MeterDay(serial, day, parts, self.zone, self.as_of)
                else:
                    self.skipped += 1
