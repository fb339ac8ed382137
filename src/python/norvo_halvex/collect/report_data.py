"""What the fleet report shows, read from a store: plain rows, no presentation.

A meter-day's outcome is that of its parts' last tries (the rule of a collection's own
summary): ``complete`` when every part tried is ok, ``failed`` when every one failed,
``partial`` otherwise, and ``missing`` for a day of a meter the store knows that was never
tried in the zone asked.

A meter's **usual day** is its median profile over the days of the report: for each
half-hour of the local day (by its wall-clock start, so a day the clocks change still lines
up with the others), the median of the meter's active import in that half-hour over the days
that have it. How far a day is from usual is the sum of its half-hours' absolute differences
from the usual day divided by the usual day's sum over the same half-hours (0.25: a quarter
of a usual day's energy moved or went missing). A meter is ranked by its most unusual day.
Only days that hold at least half their half-hours are compared, and only meters with
``MIN_USUAL_DAYS`` such days: a median of fewer says little.
"""

from __future__ import annotations

import collections
import dataclasses
import datetime as _dt
from collections.abc import Sequence

from norvo_halvex.collect.store import BaseStore
from norvo_halvex.meters import INTERVAL_SECONDS, local_day, time_zone

OUTCOMES = ("complete", "partial", "failed", "missing")
#: Days a meter needs for a usual day worth comparing with.
MIN_USUAL_DAYS = 3
#: The most unusual meters listed.
DEVIATIONS_SHOWN = 20


@dataclasses.dataclass(frozen=True)
class Slot:
    """A half-hour of a local day: its UTC start (epoch seconds) and its wall-clock start."""

    t: int
    day: _dt.date
    wall: _dt.datetime


@dataclasses.dataclass
class ReportData:
    days: list[_dt.date]
    zone: str
    #: Known meters, worst first (most days not complete, then most failed, then serial).
    meters: list[str]
    #: (serial, day) -> outcome; every known meter for every day.
    outcomes: dict[tuple[str, _dt.date], str]
    #: Parts whose last try was not ok: (day, code, what, outcome, parts, meters).
    problems: list[tuple]
    #: Per code: (code, parts, meters, first day, last day, a message, its serial), most parts first.
    codes: list[tuple]
    #: Per slot with intervals: (slot, sums of the six quantities in kWh/kvarh/kVAh, meters).
    load: list[tuple[Slot, tuple[float, ...], int]]
    #: The most unusual meters: dicts of serial, day, deviation, kwh, usual_kwh, days.
    deviations: list[dict]
    #: Meters with intervals but too few whole days for a usual day.
    too_few_days: int

    def counts(self, day: _dt.date | None = None) -> dict[str, int]:
        """Meter-days per outcome, of one day or of all."""
        out = dict.fromkeys(OUTCOMES, 0)
        for (_, d), outcome in self.outcomes.items():
            if day is None or d == day:
                out[outcome] += 1
        return out


def slots(days: Sequence[_dt.date], zone: str) -> list[Slot]:
    """Every half-hour of the local ``days`` in ``zone``, in order."""
    tz = time_zone(zone)
    out = []
    for day in days:
        bounds = local_day(day, tz)
        for t in range(int(bounds.start.timestamp()), int(bounds.end.timestamp()), INTERVAL_SECONDS):
            wall = _dt.datetime.fromtimestamp(t, tz)
            out.append(Slot(t, day, wall))
    return out


def read(store: BaseStore, days: Sequence[_dt.date], zone: str = "UTC") -> ReportData:
    """What the report of the local ``days`` in ``zone`` shows, read through the store's
    interface (either backend)."""
    days = sorted(days)
    parts = store.last_parts(days[0], days[-1], zone)
    by_day: dict[tuple[str, _dt.date], set[str]] = {}
    for serial, day, _what, outcome, *_ in parts:
        by_day.setdefault((serial, day), set()).add(outcome)
    known = store.known_serials()
    outcomes = {(s, d): "missing" for s in known for d in days}
    for key, seen in by_day.items():
        outcomes[key] = "complete" if seen == {"ok"} else "failed" if seen == {"failed"} else "partial"

    def badness(serial: str) -> tuple:
        mine = [outcomes[serial, d] for d in days]
        return (-sum(o != "complete" for o in mine), -mine.count("failed"), -mine.count("partial"), serial)

    every = slots(days, zone)
    deviations, too_few = _deviations(store, every)
    return ReportData(days, zone, sorted(known, key=badness), outcomes, *_problems(parts), _load(store, every),
                      deviations, too_few)


def _problems(parts: list[tuple]) -> tuple[list[tuple], list[tuple]]:
    """The parts not ok: per (day, code, part, outcome), and per code (latest message first)."""
    counts: dict[tuple, list] = {}
    codes: dict[str, dict] = {}
    for serial, day, what, outcome, code, message, started_at in parts:
        if outcome == "ok":
            continue
        code = code or ""
        counts.setdefault((day, code, what, outcome), []).append(serial)
        c = codes.setdefault(code, {"parts": 0, "meters": set(), "days": set(), "latest": None})
        c["parts"] += 1
        c["meters"].add(serial)
        c["days"].add(day)
        if c["latest"] is None or (started_at, serial) > c["latest"][:2]:
            c["latest"] = (started_at, serial, message)
    problems = [(*key, len(serials), len(set(serials))) for key, serials in sorted(counts.items())]
    summary = [(code, c["parts"], len(c["meters"]), min(c["days"]), max(c["days"]), c["latest"][2], c["latest"][1])
               for code, c in codes.items()]
    return problems, sorted(summary, key=lambda row: (-row[1], row[0]))


def _load(store: BaseStore, every: list[Slot]) -> list[tuple[Slot, tuple[float, ...], int]]:
    by_t = {s.t: s for s in every}
    rows = store.load(_instant(every[0].t), _instant(every[-1].t + INTERVAL_SECONDS))
    return [(by_t[t], tuple(float(v) for v in sums), n) for t, *sums, n in rows if t in by_t]


def _instant(t: int) -> _dt.datetime:
    return _dt.datetime.fromtimestamp(t, _dt.timezone.utc)


def _deviations(store: BaseStore, every: list[Slot]) -> tuple[list[dict], int]:
    days = sorted({s.day for s in every})
    number = {d: i for i, d in enumerate(days)}
    sizes = sorted(collections.Counter(number[s.day] for s in every).items())
    rows = store.usual_days([(s.t, number[s.day], s.wall.hour * 3600 + s.wall.minute * 60) for s in every], sizes,
                            _instant(every[0].t), _instant(every[-1].t + INTERVAL_SECONDS))
    worst: dict[str, dict] = {}
    too_few: set[str] = set()
    for serial, d, off, usual, kwh, held in rows:
        if held < MIN_USUAL_DAYS:
            too_few.add(serial)
            continue
        day = days[d]
        deviation = off / usual if usual > 0 else (float("inf") if off > 0 else 0.0)
        best = worst.get(serial)
        if best is None or deviation > best["deviation"] or (deviation == best["deviation"] and day < best["day"]):
            worst[serial] = {"serial": serial, "day": day, "deviation": deviation, "kwh": kwh, "usual_kwh": usual,
                             "days": held}
    ranked = sorted(worst.values(), key=lambda d: (-d["deviation"], d["serial"]))
    return ranked[:DEVIATIONS_SHOWN], len(too_few)
