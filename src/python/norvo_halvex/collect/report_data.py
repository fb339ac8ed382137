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

import dataclasses
import datetime as _dt
from collections.abc import Sequence

from norvo_halvex.collect.store import KNOWN_SERIALS, INTERVAL_COLUMNS, Store, last_tries
from norvo_halvex.meters import INTERVAL_SECONDS, local_day, time_zone

OUTCOMES = ("complete", "partial", "failed", "missing")
#: Days a meter needs for a usual day worth comparing with.
MIN_USUAL_DAYS = 3
#: The most unusual meters listed.
DEVIATIONS_SHOWN = 20
#: The quantity a usual day is made of.
USUAL_QUANTITY = INTERVAL_COLUMNS[0]

_LAST = last_tries("day BETWEEN $first AND $last AND zone = $zone")


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


def read(store: Store, days: Sequence[_dt.date], zone: str = "UTC") -> ReportData:
    days = sorted(days)
    con = store.con
    params = {"first": days[0], "last": days[-1], "zone": zone}
    tried = con.execute(
        f"""SELECT serial, day, CASE WHEN bool_and(outcome = 'ok') THEN 'complete'
                                     WHEN bool_and(outcome = 'failed') THEN 'failed' ELSE 'partial' END
            FROM ({_LAST}) GROUP BY serial, day""",
        params,
    ).fetchall()
    known = [s for (s,) in con.execute(f"SELECT serial FROM ({KNOWN_SERIALS}) ORDER BY serial").fetchall()]
    outcomes = {(s, d): "missing" for s in known for d in days}
    outcomes.update({(s, d): o for s, d, o in tried})

    def badness(serial: str) -> tuple:
        mine = [outcomes[serial, d] for d in days]
        return (-sum(o != "complete" for o in mine), -mine.count("failed"), -mine.count("partial"), serial)

    problems = con.execute(
        f"""SELECT day, coalesce(code, ''), what, outcome, count(*), count(DISTINCT serial)
            FROM ({_LAST}) WHERE outcome <> 'ok' GROUP BY ALL ORDER BY day, 2, what, outcome""",
        params,
    ).fetchall()
    codes = con.execute(
        f"""SELECT coalesce(code, ''), count(*), count(DISTINCT serial), min(day), max(day),
                   arg_max(message, started_at), arg_max(serial, started_at)
            FROM ({_LAST}) WHERE outcome <> 'ok' GROUP BY 1 ORDER BY 2 DESC, 1""",
        params,
    ).fetchall()
    every = slots(days, zone)
    load, deviations, too_few = _load(store, every), *_deviations(store, every)
    return ReportData(days, zone, sorted(known, key=badness), outcomes, problems, codes, load, deviations, too_few)


def _load(store: Store, every: list[Slot]) -> list[tuple[Slot, tuple[float, ...], int]]:
    if not every:
        return []
    by_t = {s.t: s for s in every}
    rows = store.con.execute(
        f"""SELECT epoch(interval_start)::BIGINT AS t, {", ".join(f"sum({c})::DOUBLE" for c in INTERVAL_COLUMNS)},
                   count(*)
            FROM intervals WHERE interval_start >= to_timestamp($start) AND interval_start < to_timestamp($end)
            GROUP BY t ORDER BY t""",
        {"start": every[0].t, "end": every[-1].t + INTERVAL_SECONDS},
    ).fetchall()
    return [(by_t[t], tuple(sums), n) for t, *sums, n in rows if t in by_t]


def _deviations(store: Store, every: list[Slot]) -> tuple[list[dict], int]:
    if not every:
        return [], 0
    per_day: dict[_dt.date, int] = {}
    for s in every:
        per_day[s.day] = per_day.get(s.day, 0) + 1
    rows = store.con.execute(
        f"""
        WITH slots AS (SELECT unnest($t) AS t, unnest($day) AS day, unnest($wall) AS wall),
        whole AS (SELECT unnest($days) AS day, unnest($sizes) AS size),
        v AS (
            SELECT i.serial, s.day, s.wall, i.{USUAL_QUANTITY}::DOUBLE AS v
            FROM intervals i JOIN slots s ON epoch(i.interval_start)::BIGINT = s.t
            WHERE i.interval_start >= to_timestamp($start) AND i.interval_start < to_timestamp($end)
        ),
        kept AS (
            SELECT serial, day FROM v JOIN whole USING (day) GROUP BY serial, day, size HAVING count(*) * 2 >= size
        ),
        meters AS (SELECT serial, count(*) AS days FROM kept GROUP BY serial),
        usual AS (
            SELECT serial, wall, percentile_cont(0.5) WITHIN GROUP (ORDER BY v) AS u
            FROM v JOIN kept USING (serial, day) GROUP BY serial, wall
        ),
        daily AS (
            SELECT serial, day, sum(abs(v - u)) AS off, sum(u) AS usual, sum(v) AS kwh
            FROM v JOIN kept USING (serial, day) JOIN usual USING (serial, wall) GROUP BY serial, day
        )
        SELECT serial, day, off, usual, kwh, days FROM daily JOIN meters USING (serial)
        """,
        {"t": [s.t for s in every], "day": [s.day for s in every], "wall": [s.wall.strftime("%H:%M") for s in every],
         "days": list(per_day), "sizes": list(per_day.values()), "start": every[0].t,
         "end": every[-1].t + INTERVAL_SECONDS},
    ).fetchall()
    worst: dict[str, dict] = {}
    too_few: set[str] = set()
    for serial, day, off, usual, kwh, days in rows:
        if days < MIN_USUAL_DAYS:
            too_few.add(serial)
            continue
        deviation = off / usual if usual > 0 else (float("inf") if off > 0 else 0.0)
        best = worst.get(serial)
        if best is None or deviation > best["deviation"] or (deviation == best["deviation"] and day < best["day"]):
            worst[serial] = {"serial": serial, "day": day, "deviation": deviation, "kwh": kwh, "usual_kwh": usual,
                             "days": days}
    ranked = sorted(worst.values(), key=lambda d: (-d["deviation"], d["serial"]))
    return ranked[:DEVIATIONS_SHOWN], len(too_few)
