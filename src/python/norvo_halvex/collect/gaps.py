"""What a store is missing for some local days: failed parts, missing interval slots, days never
collected."""

from __future__ import annotations

import datetime as _dt
from collections.abc import Sequence

from norvo_halvex.collect.store import Store, last_tries
from norvo_halvex.meters import INTERVAL_SECONDS, local_day, time_zone

UTC = _dt.timezone.utc

_LAST = last_tries("day BETWEEN $first AND $last AND zone = $zone")


def gaps(store: Store, days: Sequence[_dt.date], zone: str = "UTC") -> dict:
    """Per meter, for the local ``days`` in ``zone``: parts whose last try failed (or was
    partial), interval slots not in the store for days whose interval download finished, and
    days with no try at all.

    Returns ``{"days", "zone", "meters": [{"serial", "failed", "missing_slots",
    "not_collected"}], "counts"}``; only meters with a gap are listed. A meter is known to
    the store once one of its meter-days was tried.
    """
    days = sorted(days)
    first, last = days[0], days[-1]
    con = store.con
    params = {"first": first, "last": last, "zone": zone}
    meters: dict[str, dict] = {}

    def entry(serial: str) -> dict:
        return meters.setdefault(serial, {"serial": serial, "failed": [], "missing_slots": [], "not_collected": []})

    # Intervals missing on the meter are listed by slot below; every other shortfall by its part.
    failed = con.execute(
        f"SELECT * FROM ({_LAST}) "
        "WHERE outcome <> 'ok' AND NOT (what = 'intervals' AND code IS NOT DISTINCT FROM 'MISSING_INTERVALS') "
        "ORDER BY serial, day, what",
        params,
    ).fetchall()
    for serial, day, what, outcome, code, message, started_at in failed:
        entry(serial)["failed"].append(
            {"day": day, "what": what, "outcome": outcome, "code": code, "message": message,
             "attempted_at": started_at}
        )

    # Expected slots of every local day whose interval download finished, minus the stored ones.
    tz = time_zone(zone)
    bounds = [local_day(day, tz) for day in days]
    missing = con.execute(
        f"""
        WITH bounds AS (
            SELECT unnest($days) AS day, unnest($starts) AS s, unnest($ends) AS e
        ),
        done AS (
            SELECT l.serial, l.day FROM ({_LAST}) l JOIN meters m USING (serial)
            WHERE l.what = 'intervals' AND m.three_phase
              AND (l.outcome = 'ok' OR l.code IS NOT DISTINCT FROM 'MISSING_INTERVALS')
        ),
        slots AS (
            SELECT serial, day, unnest(range(s, e, {INTERVAL_SECONDS})) AS t FROM done JOIN bounds USING (day)
        )
        SELECT s.serial, s.day, s.t FROM slots s
        ANTI JOIN intervals i ON i.serial = s.serial AND epoch(i.interval_start)::BIGINT = s.t
        ORDER BY s.serial, s.day, s.t
        """,
        {**params, "days": [b.day for b in bounds], "starts": [int(b.start.timestamp()) for b in bounds],
         "ends": [int(b.end.timestamp()) for b in bounds]},
    ).fetchall()
    by_day: dict[tuple[str, _dt.date], list] = {}
    for serial, day, t in missing:
        by_day.setdefault((serial, day), []).append(_dt.datetime.fromtimestamp(t, UTC))
    for (serial, day), slots in by_day.items():
        entry(serial)["missing_slots"].append({"day": day, "slots": slots})

    tried = {
        (s, d)
        for s, d in con.execute(
            "SELECT DISTINCT serial, day FROM attempts WHERE day BETWEEN $first AND $last AND zone = $zone", params
        ).fetchall()
    }
    known = [s for (s,) in con.execute("SELECT DISTINCT serial FROM attempts ORDER BY serial").fetchall()]
    for serial in known:
        for day in days:
            if (serial, day) not in tried:
                entry(serial)["not_collected"].append(day)

    listed = [meters[s] for s in sorted(meters)]
    return {
        "days": days,
        "zone": zone,
        "meters": listed,
        "counts": {
            "meters_with_gaps": len(listed),
            "failed": sum(len(m["failed"]) for m in listed),
            "missing_slots": sum(len(d["slots"]) for m in listed for d in m["missing_slots"]),
            "not_collected": sum(len(m["not_collected"]) for m in listed),
        },
    }
