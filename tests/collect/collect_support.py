"""What the collection tests share (a module of its own: test folders run together)."""

import datetime as dt

import pytest

UTC = dt.timezone.utc
#: The simulated fleet's "now"; the collected day is the day before.
NOW = dt.datetime(2025, 6, 2, 12, 0, tzinfo=UTC)
DAY = dt.date(2025, 6, 1)
THREE_PHASE = ("HX3000001", "HX3000002", "HX3000003", "HX3000004")

#: A test of the store, run for each backend (the ``db`` fixture is one of them).
BACKENDS = pytest.mark.parametrize("db", ["duckdb", "postgres"], indirect=True)


def query(store, sql, params=None):
    """The rows of ``sql`` (``?`` parameters) on an open store of either backend (none for
    a statement that returns none on PostgreSQL)."""
    if hasattr(store, "schema"):
        cursor = store.con.execute(sql.replace("?", "%s"), params or [])
        return cursor.fetchall() if cursor.description else []
    return store.con.execute(sql, params or []).fetchall()


def table_rows(store, table):
    """Every row of ``table``, in a stable order."""
    return sorted(query(store, f"SELECT * FROM {table}"), key=repr)


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
