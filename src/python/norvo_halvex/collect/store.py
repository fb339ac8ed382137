"""The collection store: one interface, two backends.

``open_store(db)`` (collect/backends.py) gives a DuckDB store for a file path (the embedded
default, ``Store``, here) and a PostgreSQL store for a ``postgresql://`` URL (``PostgresStore``,
collect/pgstore.py, for a team sharing one database). Both hold the same tables with the same guarantees: every write is an upsert by
primary key, and a transaction holds whole meter-days only (the collector groups up to 256 of
them), so running a collection again changes nothing that is already right, and a crash or an
interrupt leaves whole meter-days only. A row that is unchanged keeps its ``collected_at``.
Collection, ``gaps``, ``export`` and readers of the store go through ``BaseStore``'s methods,
never through SQL of one backend. The schema is documented in docs/collect.md.

A store is data: its connections fetch and load no extension and touch no file but the
store (``connect``), and a database that defines views or functions, or whose tables have
other columns, is refused before anything is read from it (``store_version``).
"""

from __future__ import annotations

import contextlib
import datetime as _dt
import functools
import os
import re
import sys
import threading
import time
import urllib.parse
from collections.abc import Iterable, Iterator, Sequence

import duckdb

from norvo_halvex.collect.task import MeterDayResult
from norvo_halvex.meters import (
    INTERVAL_SECONDS,
    MOST_DECIMALS,
    REGISTER_COLUMNS,
    THREE_PHASE_QUANTITIES,
    is_three_phase,
    local_day,
    scale_for,
    status_flag_names,
    time_zone,
)

UTC = _dt.timezone.utc

DEFAULT_DB = "halvex.duckdb"
#: 2: local days (a zone on every try, registers tied to their day), intervals on the grid;
#: 3: the meters each collection planned.
SCHEMA_VERSION = 3

#: The six interval quantities, named with their units like the three-phase totals.
INTERVAL_COLUMNS = tuple(REGISTER_COLUMNS[k] for k in THREE_PHASE_QUANTITIES)

# Exact kWh / kvarh / kVAh with the decimals of every meter (3 whole-current, 4 CT-operated);
# the row's ``decimals`` says how many the meter counts.
_QTY = f"DECIMAL(18,{MOST_DECIMALS})"

# Each table's columns and constraints, by name: created as they are for a new store, and
# under another name while an older store is brought up to date.
TABLES = {
    "schema_info": """
        name  VARCHAR PRIMARY KEY,
        value VARCHAR NOT NULL""",
    "meters": """
        serial           VARCHAR PRIMARY KEY,
        hardware         VARCHAR NOT NULL,
        three_phase      BOOLEAN NOT NULL,
        decimals         TINYINT NOT NULL,
        interval_seconds INTEGER,
        updated_at       TIMESTAMPTZ NOT NULL""",
    # Every meter a collection planned, since the first that did: gaps knows it even when
    # nothing of it was ever stored.
    "planned": """
        serial     VARCHAR PRIMARY KEY,
        planned_at TIMESTAMPTZ NOT NULL""",
    # One row per slot of a meter: a start off the grid cannot be stored.
    "intervals": f"""
        serial         VARCHAR NOT NULL,
        interval_start TIMESTAMPTZ NOT NULL,
        {", ".join(f"{c} {_QTY} NOT NULL" for c in INTERVAL_COLUMNS)},
        decimals       TINYINT NOT NULL,
        status         INTEGER NOT NULL,
        status_flags   VARCHAR NOT NULL,
        collected_at   TIMESTAMPTZ NOT NULL,
        PRIMARY KEY (serial, interval_start),
        CHECK (epoch_ms(interval_start) % {INTERVAL_SECONDS * 1000} = 0)""",
    # Every reading, with the local day (and zone) it was taken for; ``final`` marks the
    # day's reading: the first taken after the day was over, with every value.
    "registers": f"""
        serial       VARCHAR NOT NULL,
        read_at      TIMESTAMPTZ NOT NULL,
        day          DATE NOT NULL,
        zone         VARCHAR NOT NULL,
        final        BOOLEAN NOT NULL,
        hardware     VARCHAR NOT NULL,
        decimals     TINYINT NOT NULL,
        {", ".join(f"{c} {_QTY}" for c in REGISTER_COLUMNS.values())},
        collected_at TIMESTAMPTZ NOT NULL,
        PRIMARY KEY (serial, read_at)""",
    "events": """
        serial       VARCHAR NOT NULL,
        event_time   TIMESTAMPTZ NOT NULL,
        code         INTEGER NOT NULL,
        code_name    VARCHAR,
        detail       INTEGER NOT NULL,
        collected_at TIMESTAMPTZ NOT NULL,
        PRIMARY KEY (serial, event_time, code, detail)""",
    # A meter-day is its serial, local date and zone.
    "attempts": """
        run_id      VARCHAR NOT NULL,
        serial      VARCHAR NOT NULL,
        day         DATE NOT NULL,
        zone        VARCHAR NOT NULL,
        what        VARCHAR NOT NULL,
        attempt     SMALLINT NOT NULL,
        outcome     VARCHAR NOT NULL CHECK (outcome IN ('ok', 'failed', 'partial')),
        code        VARCHAR,
        message     VARCHAR,
        rows        INTEGER NOT NULL,
        started_at  TIMESTAMPTZ NOT NULL,
        duration_ms INTEGER NOT NULL,
        PRIMARY KEY (run_id, serial, day, what, attempt)""",
}
INDEXES = {
    "attempts_by_meter_day": "attempts (serial, day)",
    "registers_by_day": "registers (day, zone)",
}


def column_types(table: str) -> list[tuple[str, str]]:
    """(column, DuckDB type) of ``table``, in order."""
    # Definitions are split at the commas outside parentheses.
    parts = re.split(r",(?![^(]*\))", TABLES[table])
    return [(d.split()[0], d.split()[1]) for d in parts if d.split()[0] not in ("PRIMARY", "CHECK")]


def _create(table: str, name: str | None = None) -> str:
    return f"CREATE TABLE {name or table} ({TABLES[table]}\n);"


SCHEMA = "\n".join([*(_create(t) for t in TABLES), *(f"CREATE INDEX {i} ON {on};" for i, on in INDEXES.items())])


def _statements(
    table: str, key: tuple[str, ...], columns: Iterable[str], select: str, *, stamp: str = "collected_at"
) -> tuple[str, str]:
    """(plain INSERT, upsert) of the rows ``select`` produces. The upsert rewrites a row
    (and its ``stamp``) only when one of ``columns`` changed."""
    columns = tuple(columns)
    names = ", ".join((*key, *columns, stamp))
    insert = f"INSERT INTO {table} ({names}) {select}"
    changed = " OR ".join(f"{table}.{c} IS DISTINCT FROM excluded.{c}" for c in columns)
    sets = ", ".join(f"{c} = excluded.{c}" for c in (*columns, stamp))
    return insert, f"{insert} ON CONFLICT ({', '.join(key)}) DO UPDATE SET {sets} WHERE {changed}"


# Each statement takes its rows as column lists (unnest), for any number of meter-days.
_INTERVAL_DATA = (*INTERVAL_COLUMNS, "decimals", "status", "status_flags")
_INTERVALS = _statements(
    "intervals",
    ("serial", "interval_start"),
    _INTERVAL_DATA,
    "SELECT s, to_timestamp(t), "
    + ", ".join(f"CAST(v{i} AS {_QTY})" for i in range(6))
    + ", d, st, fl, $collected_at FROM (SELECT unnest($s) AS s, unnest($t) AS t, "
    + ", ".join(f"unnest($v{i}) AS v{i}" for i in range(6))
    + ", unnest($d) AS d, unnest($st) AS st, unnest($fl) AS fl)",
)
_REGISTER_DATA = ("day", "zone", "final", "hardware", "decimals", *REGISTER_COLUMNS.values())
# A meter-day whose reading is final takes no other: collecting it again changes nothing.
_REGISTERS = _statements(
    "registers",
    ("serial", "read_at"),
    _REGISTER_DATA,
    "SELECT s, r, dy, z, f, h, d, "
    + ", ".join(f"CAST({k} AS {_QTY})" for k in REGISTER_COLUMNS)
    + ", $collected_at FROM (SELECT unnest($s) AS s, unnest($r) AS r, unnest($dy) AS dy, unnest($z) AS z, "
    "unnest($f) AS f, unnest($h) AS h, unnest($d) AS d, "
    + ", ".join(f"unnest(${k}) AS {k}" for k in REGISTER_COLUMNS)
    + ") u WHERE NOT EXISTS (SELECT 1 FROM registers k WHERE k.serial = u.s AND k.day = u.dy AND k.zone = u.z "
    "AND k.final)",
)
_EVENTS = _statements(
    "events",
    ("serial", "event_time", "code", "detail"),
    ("code_name",),
    "SELECT s, to_timestamp(t), c, d, n, $collected_at "
    "FROM (SELECT unnest($s) AS s, unnest($t) AS t, unnest($c) AS c, unnest($d) AS d, unnest($n) AS n)",
)
_METERS = _statements(
    "meters",
    ("serial",),
    ("hardware", "three_phase", "decimals", "interval_seconds"),
    "SELECT unnest($s), unnest($h), unnest($p), unnest($d), unnest($i), $collected_at",
    stamp="updated_at",
)


def last_tries(where: str) -> str:
    """A query of the last try of each part of each meter-day among the attempts that
    ``where`` selects: serial, day, what, outcome, code, message, started_at."""
    return f"""
        SELECT serial, day, what, outcome, code, message, started_at FROM (
            SELECT *, row_number() OVER (PARTITION BY serial, day, zone, what ORDER BY started_at DESC, attempt DESC)
                AS n
            FROM attempts WHERE {where}
        ) AS t WHERE n = 1
    """


_INSERT_ATTEMPTS = (
    "INSERT INTO attempts SELECT $run_id, unnest($serial), unnest($day), unnest($zone), unnest($what), "
    "unnest($attempt), unnest($outcome), unnest($code), unnest($message), unnest($rows), unnest($started_at), "
    "unnest($duration_ms)"
)
# The meters of a collection not planned before (this process alone writes the file).
_PLAN = ("INSERT INTO planned SELECT s, $at FROM (SELECT DISTINCT unnest($s) AS s) AS u "
         "ANTI JOIN planned p ON p.serial = u.s")
# Table -> (plain INSERT, upsert) of DuckDB; the ledger is only ever added to.
_DUCKDB = {"meters": _METERS, "intervals": _INTERVALS, "registers": _REGISTERS, "events": _EVENTS,
           "attempts": (_INSERT_ATTEMPTS,)}

# What collection, gaps and readers ask, in SQL both backends speak ($name: a parameter).
_SUCCEEDED = ("SELECT day, what FROM ("
              + last_tries("serial = $serial AND day BETWEEN $first AND $last AND zone = $zone")
              + ") AS l WHERE outcome = 'ok'")
_LAST_IN_DAYS = last_tries("day BETWEEN $first AND $last AND zone = $zone")
# Intervals missing on the meter are listed by slot; every other shortfall by its part.
_FAILED_PARTS = (
    f"SELECT * FROM ({_LAST_IN_DAYS}) AS l "
    "WHERE outcome <> 'ok' AND NOT (what = 'intervals' AND code IS NOT DISTINCT FROM 'MISSING_INTERVALS') "
    "ORDER BY serial, day, what"
)
# The days of three-phase meters whose interval download finished: they should hold every slot.
_FINISHED_INTERVAL_DAYS = (
    f"SELECT l.serial, l.day FROM ({_LAST_IN_DAYS}) AS l JOIN meters m USING (serial) "
    "WHERE l.what = 'intervals' AND m.three_phase "
    "AND (l.outcome = 'ok' OR l.code IS NOT DISTINCT FROM 'MISSING_INTERVALS')"
)
_TRIED = "SELECT DISTINCT serial, day FROM attempts WHERE day BETWEEN $first AND $last AND zone = $zone"
_EPOCH = "CAST(extract(epoch FROM interval_start) AS BIGINT)"
_LOAD = (f"SELECT {_EPOCH}, {', '.join(f'sum({c})' for c in INTERVAL_COLUMNS)}, count(*) FROM intervals "
         "WHERE interval_start >= $start AND interval_start < $end GROUP BY interval_start ORDER BY interval_start")
# A meter's usual day: per wall-clock slot, the median of its active import over the days
# holding at least half their slots; then each such day's distance from it.
_USUAL_DAYS = f"""
    WITH slots (t, d, w) AS (VALUES {{slots}}),
    sizes (d, size) AS (VALUES {{sizes}}),
    vals AS (
        SELECT serial, d, w, CAST({INTERVAL_COLUMNS[0]} AS DOUBLE PRECISION) AS x
        FROM intervals JOIN slots ON {_EPOCH} = t
        WHERE interval_start >= $start AND interval_start < $end
    ),
    kept AS (
        SELECT serial, d FROM vals JOIN sizes USING (d) GROUP BY serial, d, size HAVING count(*) * 2 >= size
    ),
    held AS (SELECT serial, count(*) AS days FROM kept GROUP BY serial),
    usual AS (
        SELECT serial, w, percentile_cont(0.5) WITHIN GROUP (ORDER BY x) AS u
        FROM vals JOIN kept USING (serial, d) GROUP BY serial, w
    ),
    daily AS (
        SELECT serial, d, sum(abs(x - u)) AS off, sum(u) AS base, sum(x) AS total
        FROM vals JOIN kept USING (serial, d) JOIN usual USING (serial, w) GROUP BY serial, d
    )
    SELECT serial, d, off, base, total, days FROM daily JOIN held USING (serial) ORDER BY serial, d
"""
_KNOWN = "SELECT serial FROM planned UNION SELECT serial FROM attempts ORDER BY serial"

#: Table -> (the column that places a row in a day: an instant, or the local day it was
#: collected for; the order of its rows).
DAY_PLACED = {
    "intervals": ("interval_start", "serial, interval_start"),
    "registers": ("day", "serial, day, read_at"),
    "events": ("event_time", "serial, event_time, code, detail"),
    "attempts": ("day", "run_id, serial, day, what, attempt"),
}


def batch_params(run_id: str, results: Sequence[MeterDayResult], meters: dict[str, tuple],
                 collected_at: _dt.datetime) -> Iterator[tuple[str, dict]]:
    """(table, its rows as named column lists) of a transaction of ``results``, in the order
    every backend writes them: meters, intervals, registers, events, attempts."""
    if meters:
        rows = list(meters.values())
        yield "meters", {"s": list(meters), "h": [r[0] for r in rows], "p": [r[1] for r in rows],
                         "d": [r[2] for r in rows], "i": [r[3] for r in rows], "collected_at": collected_at}
    serials: list[str] = []
    decimals: list[int] = []
    intervals: list[tuple] = []
    for r in results:
        if r.intervals:
            serials += [r.serial] * len(r.intervals)
            decimals += [scale_for(r.hardware).decimals] * len(r.intervals)
            intervals += r.intervals
    if intervals:
        t, *values, status = (list(column) for column in zip(*intervals))
        params = {"s": serials, "t": t, "st": status, "d": decimals, "collected_at": collected_at,
                  "fl": [status_flag_names(s) if s else "" for s in status]}
        params.update((f"v{i}", v) for i, v in enumerate(values))
        yield "intervals", params
    read = [r for r in results if r.registers is not None]
    if read:
        params = {"s": [r.serial for r in read], "r": [r.registers[0] for r in read],
                  "dy": [r.day for r in read], "z": [r.zone for r in read], "f": [r.registers[2] for r in read],
                  "h": [r.hardware for r in read], "d": [scale_for(r.hardware).decimals for r in read],
                  "collected_at": collected_at}
        for key in REGISTER_COLUMNS:
            params[key] = [r.registers[1].get(key) for r in read]
        yield "registers", params
    events = [(r.serial, *e) for r in results for e in r.events]
    if events:
        yield "events", {"s": [e[0] for e in events], "t": [e[1] for e in events], "c": [e[2] for e in events],
                         "n": [e[3] for e in events], "d": [e[4] for e in events], "collected_at": collected_at}
    tries = [(r, a) for r in results for a in r.attempts]
    if tries:
        yield "attempts", {
            "run_id": run_id,
            "serial": [r.serial for r, _ in tries],
            "day": [r.day for r, _ in tries],
            "zone": [r.zone for r, _ in tries],
            "what": [a.what for _, a in tries],
            "attempt": [a.attempt for _, a in tries],
            "outcome": [a.outcome for _, a in tries],
            "code": [a.code for _, a in tries],
            "message": [a.message for _, a in tries],
            "rows": [a.rows for _, a in tries],
            "started_at": [a.started_at for _, a in tries],
            "duration_ms": [a.duration_ms for _, a in tries],
        }


class StoreError(Exception):
    """The store cannot be opened or used (locked by another process, not a store or not
    plain data, newer schema)."""


# A store is data. DuckDB can do more with a file it opens: install and load extensions on
# its own (over the network), and run what the file defines (views, macros) with table
# functions that read any file or URL. None of that is needed, so it is all off from the
# connection's first statement; export alone may write files, in one folder of its own.
_CLOSED = {"autoinstall_known_extensions": False, "autoload_known_extensions": False,
           "allow_community_extensions": False}
# Columns added by schema version 2 (the first version has the others, in the same order), and
# the tables of version 3.
_ADDED_IN_2 = {"registers": ("day", "zone", "final"), "attempts": ("zone",)}
_ADDED_IN_3 = ("planned",)


def connect(path: str, *, read_only: bool, files_in: str | None = None) -> duckdb.DuckDBPyConnection:
    """A DuckDB connection to the store at ``path`` that installs and loads no extension and
    reads and writes no file but its own, except in the folder ``files_in`` when given."""
    con = duckdb.connect(path, read_only=read_only,
                         config=_CLOSED if files_in else {**_CLOSED, "enable_external_access": False})
    try:
        # DuckDB's own progress bar would land in the middle of a command's output.
        con.execute("SET enable_progress_bar = false")
        if files_in:
            # Only settable before file access is switched off, and never again after.
            con.execute("SET allowed_directories = $folders", {"folders": [os.path.join(files_in, "")]})
            con.execute("SET enable_external_access = false")
    except BaseException:
        con.close()
        raise
    return con


@functools.cache
def _columns(version: int) -> dict[str, tuple[tuple, ...]]:
    """Each table's columns (name, type, default or generating expression) in a store of
    ``version``, as DuckDB reports them for a store made by this code."""
    with duckdb.connect(":memory:", config={**_CLOSED, "enable_external_access": False}) as con:
        con.execute(SCHEMA)
        columns: dict[str, list[tuple]] = {}
        for table, *column in con.execute(_COLUMNS_QUERY).fetchall():
            if (version == 1 and column[0] in _ADDED_IN_2.get(table, ())) or (version < 3 and table in _ADDED_IN_3):
                continue
            columns.setdefault(table, []).append(tuple(column))
    return {table: tuple(cols) for table, cols in columns.items()}


_COLUMNS_QUERY = """
    SELECT table_name, column_name, data_type, column_default FROM duckdb_columns()
    WHERE database_name = current_database() AND schema_name = 'main' ORDER BY table_name, column_index
"""


def _refuse(path: str, problem: str) -> StoreError:
    return StoreError(f"{path} is refused as a store: {problem}; it was left as it is, and nothing was read from "
                      "it: give a store halvex made with --db")


def _check_plain(con: duckdb.DuckDBPyConnection, path: str) -> None:
    """StoreError when the database defines views or functions: they would run in this
    process whenever a command reads the store."""
    views = [name for (name,) in con.execute(
        "SELECT view_name FROM duckdb_views() WHERE NOT internal AND database_name = current_database()").fetchall()]
    if views:
        raise _refuse(path, f"{', '.join(sorted(views))} {'is a view' if len(views) == 1 else 'are views'}, "
                            "not a table (a view runs a query, which may read other files)")
    functions = sorted({name for (name,) in con.execute(
        "SELECT function_name FROM duckdb_functions() WHERE NOT internal AND database_name = current_database()"
    ).fetchall()})
    if functions:
        raise _refuse(path, f"it defines functions of its own ({', '.join(functions)}), which would stand in for "
                            "DuckDB's when the store is read")


def _check_columns(con: duckdb.DuckDBPyConnection, path: str, version: int, tables: Iterable[str] | None = None) -> None:
    """StoreError unless ``tables`` (default: all) have the columns of a store of
    ``version``: a column that is not ours (a default, a generated value) would compute what
    no one stored."""
    expected = _columns(version)
    stored: dict[str, list[tuple]] = {}
    for table, *column in con.execute(_COLUMNS_QUERY).fetchall():
        stored.setdefault(table, []).append(tuple(column))
    for table in expected if tables is None else tables:
        if tuple(stored.get(table, ())) != expected[table]:
            have = ", ".join(c[0] for c in stored.get(table, ())) or "none"
            raise _refuse(path, f"its table {table} does not have the store's columns (it has: {have}; "
                                f"expected: {', '.join(c[0] for c in expected[table])}, with their types)")


class StoreLocked(StoreError):
    """Another process held the store for longer than this one would wait."""


#: Seconds a reader waits for a DuckDB store another process is writing (gaps, export) ...
DEFAULT_WAIT = 10.0
#: ... and a collection for one that readers hold.
WRITER_WAIT = 120.0

_SERVER_SCHEMES = ("postgresql://", "postgres://")


def is_server(db: str | os.PathLike[str]) -> bool:
    """Whether ``db`` names a PostgreSQL database (a libpq URI) rather than a DuckDB file."""
    return isinstance(db, str) and db.lower().startswith(_SERVER_SCHEMES)


def shown(db: str | os.PathLike[str]) -> str:
    """``db`` as it may be shown: a URL's password (in the user part or as ``password=``)
    replaced by ``***``. Everything a command prints about a store goes through here."""
    db = os.fspath(db)
    return redact(db) if is_server(db) else db


def _query_pairs(query: str) -> list[tuple[str, str]]:
    return [(k, v) for k, _, v in (p.partition("=") for p in query.split("&") if p)]


def redact(url: str) -> str:
    """``url`` with its password (``user:PASSWORD@`` or ``password=``) shown as ``***``."""
    parts = urllib.parse.urlsplit(url)
    netloc = parts.netloc
    user, at, hosts = netloc.rpartition("@")
    if at and ":" in user:
        netloc = f"{user.partition(':')[0]}:***@{hosts}"
    query = "&".join(f"{k}={'***' if urllib.parse.unquote(k).lower() == 'password' else v}"
                     for k, v in _query_pairs(parts.query))
    return urllib.parse.urlunsplit(parts._replace(netloc=netloc, query=query))


def _secrets(url: str) -> list[str]:
    """The password texts ``url`` holds, as written and decoded, longest first."""
    parts = urllib.parse.urlsplit(url)
    found = []
    user, at, _ = parts.netloc.rpartition("@")
    if at and ":" in user:
        found.append(user.partition(":")[2])
    found += [v for k, v in _query_pairs(parts.query) if urllib.parse.unquote(k).lower() == "password"]
    found += [urllib.parse.unquote(v) for v in found]
    return sorted({v for v in found if v}, key=len, reverse=True)



class BaseStore:
    """What every store offers: writing whole meter-days, and the questions collection, gaps,
    export and readers ask. A store is used by the thread that opened it only.

    Backends provide ``write_many``, ``_fetch(sql, params)`` (the shared SQL, ``$name``
    parameters), ``missing_slots`` and ``exporting``; ``path`` is what may be shown of it;
    ``url`` the address other processes reach it by, for a store they may write too (None:
    this process alone writes it)."""

    path: str
    url: str | None = None

    def close(self) -> None:
        raise NotImplementedError

    def _own(self) -> None:
        # One connection, one thread (``_owner``, set on opening): results reach the store
        # through the writer only.
        if threading.get_ident() != self._owner:
            raise RuntimeError("the store's connection belongs to the thread that opened it")

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _fetch(self, sql: str, params: dict) -> list[tuple]:
        raise NotImplementedError

    def idle(self) -> None:
        """Called while the writer has nothing to store: a DuckDB file is let go of."""

    # -- writing ------------------------------------------------------------------------

    def write(self, run_id: str, result: MeterDayResult) -> None:
        """Stores one meter-day in one transaction: its rows and every try of the ledger."""
        self.write_many(run_id, [result])

    def write_many(self, run_id: str, results: Sequence[MeterDayResult]) -> None:
        """Stores whole meter-days in one transaction: all of them or none."""
        raise NotImplementedError

    def _meter_changes(self, results) -> dict[str, tuple]:
        """The ``meters`` rows of ``results`` that are new or differ from the stored ones
        (as far as this store knows them: ``self._meters``)."""
        changed: dict[str, tuple] = {}
        for r in results:
            hw = r.hardware
            if hw is None:
                continue
            known = changed.get(r.serial) or self._meters.get(r.serial)
            seconds = r.interval_seconds if r.interval_seconds is not None else (known or (None,) * 4)[3]
            row = (hw, bool(is_three_phase(hw)), scale_for(hw).decimals, seconds)
            if known != row:
                changed[r.serial] = row
        return changed

    def _which(self, table: str, meters: dict, upsert: bool) -> int:
        """0: the plain INSERT of ``table``, 1: its upsert. Meters the store holds already are
        upserted even on the first pass: they change rarely, and then on purpose."""
        if table == "meters" and not upsert:
            return 0 if not any(serial in self._meters for serial in meters) else 1
        return 1 if upsert and table != "attempts" else 0

    # -- reading ------------------------------------------------------------------------

    def three_phase(self, serial: str) -> bool | None:
        """Whether the meter ``serial`` was three-phase when last collected (None: never
        collected, or the store is open read-only)."""
        row = self._meters.get(serial)
        return None if row is None else bool(row[1])

    def succeeded(self, serial: str, first: _dt.date, last: _dt.date, zone: str = "UTC") -> set[tuple[_dt.date, str]]:
        """(day, what) of ``serial`` in ``first..last`` (local days in ``zone``) whose last try
        succeeded."""
        rows = self._fetch(_SUCCEEDED, {"serial": serial, "first": first, "last": last, "zone": zone})
        return {(d, w) for d, w in rows}

    def failed_parts(self, first: _dt.date, last: _dt.date, zone: str) -> list[tuple]:
        """(serial, day, what, outcome, code, message, started_at) of each part of a meter-day
        in ``first..last`` whose last try was not ok, but for intervals missing on the meter
        (``missing_slots`` lists those), by serial, day and part."""
        return self._fetch(_FAILED_PARTS, {"first": first, "last": last, "zone": zone})

    def missing_slots(self, first: _dt.date, last: _dt.date, zone: str, bounds: Sequence) -> list[tuple]:
        """(serial, day, slot start in epoch seconds) of every interval slot the store lacks
        on the days (``bounds``: their ``LocalDay``) whose interval download finished."""
        raise NotImplementedError

    def tried(self, first: _dt.date, last: _dt.date, zone: str) -> set[tuple[str, _dt.date]]:
        """(serial, day) of every meter-day in ``first..last`` with a try in the ledger."""
        return set(self._fetch(_TRIED, {"first": first, "last": last, "zone": zone}))

    def known_serials(self) -> list[str]:
        """The meters the store knows: those a collection planned, and those with a try in the
        ledger (a store of an older halvex recorded no plans)."""
        return [s for (s,) in self._fetch(_KNOWN, {})]

    def plan(self, serials: Sequence[str]) -> None:
        """Records ``serials`` as meters the store knows (``known_serials``), before any of
        them is read: a collection that then stores nothing still leaves them to ``gaps``."""
        raise NotImplementedError

    @staticmethod
    def selection(table: str, days: Sequence[_dt.date], zone: str) -> tuple[str, dict]:
        """(WHERE clause, parameters) of the rows of ``table`` that belong to the local
        ``days`` in ``zone``: intervals and events by their instant, registers and tries by the
        day they were collected for."""
        if table not in DAY_PLACED:
            raise ValueError(f"unknown table {table!r}; choose from {', '.join(DAY_PLACED)}")
        days = sorted(days)
        when = DAY_PLACED[table][0]
        if when == "day":
            return "day BETWEEN $first AND $last AND zone = $zone", {"first": days[0], "last": days[-1], "zone": zone}
        tz = time_zone(zone)
        return f"{when} >= $start AND {when} < $end", {"start": local_day(days[0], tz).start,
                                                       "end": local_day(days[-1], tz).end}

    @staticmethod
    def columns(table: str) -> list[str]:
        """The columns of ``table``, in the store's order."""
        return [name for name, _ in column_types(table)]

    def rows(self, table: str, days: Sequence[_dt.date], zone: str = "UTC") -> list[tuple]:
        """The rows of ``table`` (``columns(table)``) for the local ``days`` in ``zone``, in
        the export's order."""
        where, params = self.selection(table, days, zone)
        return self._fetch(f"SELECT {', '.join(self.columns(table))} FROM {table} WHERE {where} "
                           f"ORDER BY {DAY_PLACED[table][1]}", params)

    def meter_counts(self, days: Sequence[_dt.date], zone: str = "UTC") -> list[tuple[str, int, int, int]]:
        """(serial, intervals, registers, events) of every meter the store knows: the rows
        it holds for the local ``days`` in ``zone`` (``selection``), by serial."""
        params: dict = {}
        counts = []
        for table in ("intervals", "registers", "events"):
            where, more = self.selection(table, days, zone)
            params.update(more)
            counts.append(f"(SELECT count(*) FROM {table} t WHERE t.serial = m.serial AND {where})")
        return self._fetch(f"SELECT m.serial, {', '.join(counts)} FROM meters m ORDER BY m.serial", params)

    def last_parts(self, first: _dt.date, last: _dt.date, zone: str) -> list[tuple]:
        """(serial, day, what, outcome, code, message, started_at): the last try of every
        part of every meter-day in ``first..last`` (local days in ``zone``)."""
        return self._fetch(_LAST_IN_DAYS, {"first": first, "last": last, "zone": zone})

    def load(self, start: _dt.datetime, end: _dt.datetime) -> list[tuple]:
        """(slot start in epoch seconds, the sum of each interval quantity over the meters,
        how many meters) of every slot in ``start..end`` that any meter holds, in order."""
        return self._fetch(_LOAD, {"start": start, "end": end})

    def usual_days(self, slots: Sequence[tuple[int, int, int]], sizes: Sequence[tuple[int, int]],
                   start: _dt.datetime, end: _dt.datetime) -> list[tuple]:
        """How far each meter-day is from the meter's usual day (see ``report_data``).

        ``slots``: (slot start in epoch seconds, its day's number, its wall-clock second of
        the day) of every slot in ``start..end``; ``sizes``: (day number, slots it has).
        Returns (serial, day number, sum of |active import - usual|, the usual day's sum, the
        day's sum, days the meter has) of each day holding at least half its slots."""
        def values(rows) -> str:  # numbers of our own making, inline in both dialects
            return ", ".join("(" + ", ".join(str(int(v)) for v in row) + ")" for row in rows)

        return self._fetch(_USUAL_DAYS.format(slots=values(slots), sizes=values(sizes)), {"start": start, "end": end})

    def exporting(self, table: str, days: Sequence[_dt.date], zone: str, scratch: str):
        """A context giving ``files_in(folder)``: a context giving a DuckDB connection whose
        ``table`` holds at least the rows of ``days`` (``selection``) and which may write
        files in ``folder`` only, for the export's ``COPY``; ``scratch``: a private folder
        the store may use meanwhile."""
        raise NotImplementedError


def store_version(con: duckdb.DuckDBPyConnection, path: str) -> int | None:
    """The schema version of the store open on ``con``; None for an empty database (a store
    to be). StoreError for a database that is not a halvex store, or not one as this code
    writes it (views, functions of its own, other columns, no usable version): every
    command asks this before it reads a meter or anything of the file, or changes it."""
    tables = sorted(name for (name,) in con.execute(
        "SELECT table_name FROM information_schema.tables WHERE table_catalog = current_database()").fetchall())
    if not tables:
        return None
    if "schema_info" not in tables:
        raise StoreError(
            f"{path} is a DuckDB database but not a halvex store (it holds {', '.join(tables[:5])}"
            f"{', ...' if len(tables) > 5 else ''}); it was left as it is: give a new or a halvex store with --db")
    _check_plain(con, path)
    _check_columns(con, path, SCHEMA_VERSION, ("schema_info",))
    rows = con.execute("SELECT value FROM schema_info WHERE name = 'version'").fetchall()
    text = rows[0][0] if len(rows) == 1 else None
    if text is None or not (text.isascii() and text.isdigit()) or int(text) < 1:
        raise _refuse(path, f"its schema_info holds no schema version halvex knows ({text!r})")
    version = int(text)
    if version <= SCHEMA_VERSION:
        _check_columns(con, path, version)
    return version


class Store(BaseStore):
    """The DuckDB store: a file, with one writing process at a time. Used by one thread only.

    An existing file is looked at read-only first, so that one that is not a store (or is
    locked, or newer) is refused unchanged. A store of schema version 1 is brought up to
    date in place, in one transaction, the first time it is opened (see ``migrate``).

    DuckDB lets one process write a file, and none read it meanwhile. ``hold=False`` opens
    the file when it is written or asked, and lets go of it after a write (or when ``idle``)
    once it has held it ``RELEASE_EVERY`` seconds, so that readers get in between: opening
    the file costs more than a batch of meter-days, so not after every write. A file another
    process holds is tried again for ``wait`` seconds.
    """

    #: Seconds between two tries of a file another process holds.
    RETRY_EVERY = 0.05
    #: Seconds the file is held at most (while it is used) before it is let go.
    RELEASE_EVERY = 5.0

    def __init__(self, path: str | os.PathLike[str] = DEFAULT_DB, *, read_only: bool = False,
                 wait: float = 0.0, hold: bool = True) -> None:
        self.path = os.fspath(path)
        self.read_only, self.wait, self.hold = read_only, wait, hold
        self._con: duckdb.DuckDBPyConnection | None = None
        self._opened = 0.0
        exists = os.path.exists(self.path)
        if read_only and not exists:
            raise StoreError(f"no store at {self.path}: run 'halvex collect --db {self.path}' first")
        # An empty file is no database yet; DuckDB makes one of it when writing.
        version = self._inspect() if exists and os.path.getsize(self.path) else None
        if version is not None and version > SCHEMA_VERSION:
            raise StoreError(
                f"the store {self.path} has schema version {version}; this halvex reads version "
                f"{SCHEMA_VERSION}: use the halvex that wrote it, or a new --db"
            )
        if read_only and version is None:
            raise StoreError(f"{self.path} holds no collection yet: run 'halvex collect --db {self.path}' first")
        if read_only and version < SCHEMA_VERSION:
            with Store(self.path, wait=wait):  # brought up to date, then read
                pass
        self._owner = threading.get_ident()
        # The stored meters rows: which to insert, and which to leave alone, without asking.
        self._meters: dict[str, tuple] = {}
        con = self.con
        try:
            if not read_only:
                if version is None:
                    con.execute("BEGIN TRANSACTION")
                    con.execute(SCHEMA)
                    con.execute("INSERT INTO schema_info VALUES ('version', ?)", [str(SCHEMA_VERSION)])
                    con.execute("COMMIT")
                elif version < SCHEMA_VERSION:
                    migrate(con, self.path, version)
                self._meters = {serial: tuple(row) for serial, *row in con.execute(
                    "SELECT serial, hardware, three_phase, decimals, interval_seconds FROM meters").fetchall()}
        except BaseException:
            self.close()
            raise
        self.release()

    @property
    def con(self) -> duckdb.DuckDBPyConnection:
        """The connection to the file, opened (again) when it was let go."""
        if self._con is None:
            self._con = self._connect(self.read_only)
            self._opened = time.monotonic()
            try:
                self._con.execute("SET TimeZone = 'UTC'")
            except BaseException:
                self.close()
                raise
        return self._con

    def release(self, *, now: bool = False) -> None:
        """Lets go of the file if it was held ``RELEASE_EVERY`` seconds (or ``now``), unless
        this store holds it (``hold``): the next use opens it again."""
        if not self.hold and (now or time.monotonic() - self._opened >= self.RELEASE_EVERY):
            self.close()

    def idle(self) -> None:
        self.release()

    def _connect(self, read_only: bool, files_in: str | None = None) -> duckdb.DuckDBPyConnection:
        deadline = time.monotonic() + self.wait
        while True:
            try:
                return connect(self.path, read_only=read_only, files_in=files_in)
            except duckdb.Error as e:  # locked, not a DuckDB file
                if "extension" in str(e).lower():  # a SQLite file, say: DuckDB would fetch a reader for it
                    raise StoreError(f"{self.path} is not a DuckDB database (reading it would take a DuckDB "
                                     "extension, and a store never loads one): give a halvex store with --db") from None
                held = "lock" in str(e).lower()
                if held and time.monotonic() < deadline:
                    time.sleep(self.RETRY_EVERY)
                    continue
                if held:
                    raise StoreLocked(
                        f"the store {self.path} is in use by another process"
                        f"{_holder(str(e))}{f' and stayed so for {self.wait:g} s' if self.wait else ''}: "
                        "a collection holds it while it writes, a reader while it reads; try again, "
                        "or wait longer with --wait SECONDS") from None
                raise StoreError(f"cannot open the store {self.path}: {first_line(e)}") from None

    def _inspect(self) -> int | None:
        """``store_version`` of the file, looked at without writing to it."""
        con = self._connect(read_only=True)
        try:
            return store_version(con, self.path)
        finally:
            con.close()

    def close(self) -> None:
        if self._con is not None:
            con, self._con = self._con, None
            con.close()

    @contextlib.contextmanager
    def files_in(self, folder: str) -> Iterator[duckdb.DuckDBPyConnection]:
        """A connection to the store made for the block, allowed to read and write files in
        ``folder`` and nowhere else (for DuckDB's own ``COPY ... TO``); the store's own
        connection is opened again, closed to files, when next used."""
        self._own()
        self.close()
        con = self._connect(self.read_only, files_in=folder)
        try:
            con.execute("SET TimeZone = 'UTC'")
            yield con
        finally:
            con.close()

    def _fetch(self, sql: str, params: dict) -> list[tuple]:
        self._own()
        return self.con.execute(sql, params).fetchall()

    # -- writing ------------------------------------------------------------------------

    def write_many(self, run_id: str, results: Sequence[MeterDayResult]) -> None:
        """Stores whole meter-days in one transaction: all of them or none.

        Rows go in with plain INSERTs first: what the store does not hold yet is the usual
        case, and DuckDB's conflict check costs several times the insert itself. When a
        row is there already the transaction is rolled back and done again with upserts."""
        self._own()
        collected_at = _dt.datetime.now(UTC)
        meters = self._meter_changes(results)
        try:
            try:
                self._transaction(run_id, results, meters, collected_at, upsert=False)
            except duckdb.ConstraintException:
                self._transaction(run_id, results, meters, collected_at, upsert=True)
        finally:
            self.release()
        self._meters.update(meters)

    def _transaction(self, run_id, results, meters, collected_at, *, upsert: bool) -> None:
        con = self.con
        con.execute("BEGIN TRANSACTION")
        try:
            for table, params in batch_params(run_id, results, meters, collected_at):
                con.execute(_DUCKDB[table][self._which(table, meters, upsert)], params)
            con.execute("COMMIT")
        except BaseException:
            try:
                con.execute("ROLLBACK")
            except duckdb.Error:
                pass
            raise

    def plan(self, serials: Sequence[str]) -> None:
        self._own()
        try:
            self.con.execute(_PLAN, {"s": list(serials), "at": _dt.datetime.now(UTC)})
        finally:
            self.release()

    # -- reading ------------------------------------------------------------------------

    def missing_slots(self, first, last, zone, bounds) -> list[tuple]:
        return self._fetch(
            f"""
            WITH bounds AS (SELECT unnest($days) AS day, unnest($starts) AS s, unnest($ends) AS e),
            done AS ({_FINISHED_INTERVAL_DAYS}),
            slots AS (SELECT serial, day, unnest(range(s, e, {INTERVAL_SECONDS})) AS t FROM done JOIN bounds USING (day))
            SELECT s.serial, s.day, s.t FROM slots s
            ANTI JOIN intervals i ON i.serial = s.serial AND epoch(i.interval_start)::BIGINT = s.t
            ORDER BY s.serial, s.day, s.t
            """,
            {"first": first, "last": last, "zone": zone, "days": [b.day for b in bounds],
             "starts": [int(b.start.timestamp()) for b in bounds], "ends": [int(b.end.timestamp()) for b in bounds]},
        )

    @contextlib.contextmanager
    def exporting(self, table, days, zone, scratch):
        yield self.files_in


# -- schema version 1 ------------------------------------------------------------------------

# Version 1 knew UTC days only and kept registers by their read instant alone. Every try was
# UTC; a reading's day is that of the try that read it (the ledger's registers try of the same
# meter that started last before the reading was stored); it is final when that try was ok and
# the reading was taken after the day. Interval rows are kept as they are, when on the grid.
_FROM_VERSION_1 = {
    "attempts": "SELECT run_id, serial, day, 'UTC', what, attempt, outcome, code, message, rows, started_at, "
                "duration_ms FROM attempts",
    "intervals": "SELECT * FROM intervals",
    "registers": f"""
        WITH tagged AS (
            SELECT r.*, coalesce(a.day, CAST(r.read_at AS DATE)) AS d,
                   coalesce(a.outcome = 'ok', false)
                   AND epoch(r.read_at) >= epoch(CAST(coalesce(a.day, CAST(r.read_at AS DATE)) AS TIMESTAMP)) + 86400
                   AS complete
            FROM registers r ASOF LEFT JOIN (
                SELECT serial, day, outcome, started_at FROM attempts WHERE what = 'registers' AND outcome <> 'failed'
            ) a ON r.serial = a.serial AND r.collected_at >= a.started_at
        )
        SELECT serial, read_at, d, 'UTC',
               complete AND row_number() OVER (PARTITION BY serial, d, complete ORDER BY read_at) = 1,
               hardware, decimals, {", ".join(REGISTER_COLUMNS.values())}, collected_at
        FROM tagged""",
}


def migrate(con: duckdb.DuckDBPyConnection, path: str, version: int) -> None:
    """Brings a store of ``version`` up to date in one transaction: all of it, or nothing.

    A version 1 store is refused (StoreError, nothing changed) when it holds interval rows
    off the meters' grid, which a mediator shifting its intervals left there and this version
    cannot hold."""
    if version == 1:
        off_grid, = con.execute(
            f"SELECT count(*) FROM intervals WHERE epoch_ms(interval_start) % {INTERVAL_SECONDS * 1000} <> 0"
        ).fetchone()
        if off_grid:
            raise StoreError(
                f"the store {path} was written by an older halvex and holds {off_grid} interval rows off the "
                f"meters' {INTERVAL_SECONDS // 60}-minute grid (from a mediator that shifted its intervals); they "
                f"cannot be carried over, and nothing was changed: delete them (DELETE FROM intervals WHERE "
                f"epoch_ms(interval_start) % {INTERVAL_SECONDS * 1000} <> 0), then collect the days "
                "'halvex gaps' lists again, without --resume; or keep this store for the older halvex and use a new "
                "--db"
            )
    con.execute("BEGIN TRANSACTION")
    try:
        if version == 1:
            for table, rows in _FROM_VERSION_1.items():
                con.execute(_create(table, f"{table}_v2"))
                con.execute(f"INSERT INTO {table}_v2 {rows}")
                con.execute(f"DROP TABLE {table}")
                con.execute(f"ALTER TABLE {table}_v2 RENAME TO {table}")
            for index, on in INDEXES.items():
                con.execute(f"CREATE INDEX {index} ON {on}")
        for table in _ADDED_IN_3:  # no plans were recorded before: the ledger still names those meters
            con.execute(_create(table))
        con.execute("UPDATE schema_info SET value = ? WHERE name = 'version'", [str(SCHEMA_VERSION)])
        con.execute("COMMIT")
    except BaseException:
        con.execute("ROLLBACK")
        raise


def backend_error(exc: BaseException) -> str | None:
    """The first line of a database's own error (DuckDB's or PostgreSQL's), None for any
    other exception. Errors of a PostgreSQL server never carry the password of a URL."""
    if isinstance(exc, duckdb.Error):
        return first_line(exc)
    psycopg = sys.modules.get("psycopg")
    if psycopg is not None and isinstance(exc, psycopg.Error):
        return first_line(exc)
    return None


def _holder(message: str) -> str:
    """`` (PID n)`` of the process DuckDB names as holding the file, if it does."""
    pid = re.search(r"\(PID (\d+)\)", message)
    return f" (PID {pid.group(1)})" if pid else ""


def first_line(exc: BaseException) -> str:
    """The first line of a DuckDB error: the rest is its internals."""
    return str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
