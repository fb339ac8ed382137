"""What the collection tests share (a module of its own: test folders run together)."""

import datetime as dt

UTC = dt.timezone.utc
#: The simulated fleet's "now"; the collected day is the day before.
NOW = dt.datetime(2025, 6, 2, 12, 0, tzinfo=UTC)
DAY = dt.date(2025, 6, 1)
THREE_PHASE = ("HX3000001", "HX3000002", "HX3000003", "HX3000004")


def meter_day(serial, value="1.500", *, seconds=1800, outcome="ok", message=None):
    """A three-phase meter-day of DAY as a worker hands it to the store: three intervals of
    ``value`` kWh and one try of the intervals (``message`` its failure text)."""
    from norvo_halvex.collect.task import Attempt, MeterDayResult

    start = int(dt.datetime.combine(DAY, dt.time(0), tzinfo=UTC).timestamp())
    return MeterDayResult(serial, DAY, hardware="P1.ax", interval_seconds=seconds,
                          intervals=[(start + 1800 * k, value, "0.000", "0.000", "0.000", "0.000", "0.000", 0)
                                     for k in range(3)],
                          attempts=[Attempt("intervals", 1, outcome, message and "X", message, 3,
                                            dt.datetime.now(UTC), 5)])
