"""What a store is missing for some local days: failed parts, missing interval slots, days never
collected."""

from __future__ import annotations

import datetime as _dt
from collections.abc import Sequence

from norvo_halvex.collect.store import BaseStore
from norvo_halvex.meters import local_day, time_zone

UTC = _dt.timezone.utc


def gaps(store: BaseStore, days: Sequence[_dt.date], zone: str = "UTC") -> dict:
    """Per meter, for the local ``days`` in ``zone``: parts whose last try failed (or was
    partial), interval slots not in the store for days whose interval download finished, and
    days with no try at all.

    Returns ``{"days", "zone", "meters": [{"serial", "failed", "missing_slots",
    "not_collected"}], "counts"}``; only meters with a gap are listed. A meter is known to
    the store once one of its meter-days was tried.
    """
    days = sorted(days)
    first, last = days[0], days[-1]
    meters: dict[str, dict] = {}

    def entry(serial: str) -> dict:
        return meters.setdefault(serial, {"serial": serial, "failed": [], "missing_slots": [], "not_collected": []})

    for serial, day, what, outcome, code, message, started_at in store.failed_parts(first, last, zone):
        entry(serial)["failed"].append(
            {"day": day, "what": what, "outcome": outcome, "code": code, "message": message,
             "attempted_at": started_at}
        )

    tz = time_zone(zone)
    by_day: dict[tuple[str, _dt.date], list] = {}
    for serial, day, t in store.missing_slots(first, last, zone, [local_day(day, tz) for day in days]):
        by_day.setdefault((serial, day), []).append(_dt.datetime.fromtimestamp(t, UTC))
    for (serial, day), slots in by_day.items():
        entry(serial)["missing_slots"].append({"day": day, "slots": slots})

    tried = store.tried(first, last, zone)
    for serial in store.known_serials():
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
