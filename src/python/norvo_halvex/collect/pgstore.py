"""The PostgreSQL store: the same tables as the DuckDB store, in a schema of their own, for a
team that shares one database and for several collections writing at once.

``postgresql://`` (or ``postgres://``) URLs are libpq's, with one parameter of ours:
``schema=NAME`` (default ``halvex``), taken off before libpq sees the rest. A service of
pg_service.conf is ``postgresql://?service=NAME``. The password comes from ~/.pgpass or
PGPASSWORD as libpq finds it; one written in the URL works, but is never shown: every text
about the store carries ``redact(url)``, and errors have it taken out.

Several writers at once: every row goes in by its key (a plain INSERT first, then, when a row
is there already, the transaction again with ``ON CONFLICT`` upserts), the rows of each
statement in key order and the tables always in the same order, so two writers of the same
meter-days wait for each other instead of deadlocking; a deadlock or serialization failure
all the same is tried again. A meter-day's registers take a transaction-level advisory lock
first: "one final reading a day" spans rows, which no key guards.
"""

from __future__ import annotations

import contextlib
import datetime as _dt
import functools
import os
import re
import threading
import urllib.parse
from collections.abc import Sequence

import duckdb
import psycopg
from psycopg import errors, sql

from norvo_halvex.collect.store import (
    _ADDED_IN_3,
    _FINISHED_INTERVAL_DAYS,
    _QTY,
    DAY_PLACED,
    INDEXES,
    INTERVAL_COLUMNS,
    REGISTER_COLUMNS,
    SCHEMA_VERSION,
    TABLES,
    BaseStore,
    StoreError,
    _create,
    _statements,
    _query_pairs,
    _secrets,
    batch_params,
    column_types,
    connect,
    redact,
)
from norvo_halvex.meters import INTERVAL_SECONDS

UTC = _dt.timezone.utc

DEFAULT_SCHEMA = "halvex"
_SCHEMA_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]{0,62}")
#: Transactions tried again after a deadlock or a serialization failure.
RETRIES = 5


# -- URLs ---------------------------------------------------------------------------------


def split_url(url: str) -> tuple[str, str]:
    """(the URL libpq is given, the schema): ``schema=`` taken off the query."""
    parts = urllib.parse.urlsplit(url)
    pairs = _query_pairs(parts.query)
    schemas = [urllib.parse.unquote(v) for k, v in pairs if k == "schema"]
    schema = schemas[-1] if schemas else DEFAULT_SCHEMA
    if not _SCHEMA_NAME.fullmatch(schema):
        raise StoreError(f"schema={schema!r} in --db {redact(url)}: a schema name is 1 to 63 letters, digits "
                         "or _, not beginning with a digit")
    rest = "&".join(f"{k}={v}" for k, v in pairs if k != "schema")
    return urllib.parse.urlunsplit(parts._replace(query=rest)), schema


# -- statements ---------------------------------------------------------------------------


def _ddl(table: str) -> str:
    """DuckDB's table definition in PostgreSQL's words."""
    text = _create(table).replace("TINYINT", "SMALLINT")
    return text.replace(f"CHECK (epoch_ms(interval_start) % {INTERVAL_SECONDS * 1000} = 0)",
                        f"CHECK (mod(extract(epoch FROM interval_start), {INTERVAL_SECONDS}) = 0)")


@functools.cache
def _pg(text: str, binary: bool = False) -> str:
    """The shared SQL's ``$name`` parameters as psycopg's ``%(name)s`` (``%(name)b``: sent in
    binary, which spares the column arrays of a write most of their conversion)."""
    return re.sub(r"\$(\w+)", r"%(\1)b" if binary else r"%(\1)s", text.replace("%", "%%"))


def _unnest(columns: Sequence[tuple[str, str]]) -> str:
    """``unnest($a::T[], ...) AS u(a, ...)``: rows from column arrays."""
    arrays = ", ".join(f"${name}::{kind}[]" for name, kind in columns)
    return f"unnest({arrays}) AS u({', '.join(name for name, _ in columns)})"


# Interval rows, the bulk of a write, are copied (COPY, binary) into a table of the session
# and inserted from there: faster than the same rows as arrays.
_INCOMING = [("s", "text"), ("t", "int8"), *((f"v{i}", "text") for i in range(6)), ("d", "int2"), ("st", "int4"),
             ("fl", "text")]
_INCOMING_TABLE = ("CREATE TEMP TABLE incoming_intervals ("
                   + ", ".join(f"{name} {kind}" for name, kind in _INCOMING) + ") ON COMMIT DELETE ROWS")
_COPY_INCOMING = f"COPY incoming_intervals ({', '.join(name for name, _ in _INCOMING)}) FROM STDIN (FORMAT BINARY)"
_INTERVALS = _statements(
    "intervals", ("serial", "interval_start"), (*INTERVAL_COLUMNS, "decimals", "status", "status_flags"),
    "SELECT s, to_timestamp(t), " + ", ".join(f"CAST(v{i} AS {_QTY})" for i in range(6))
    + ", d, st, fl, $collected_at FROM incoming_intervals ORDER BY s, t",
)
_REGISTERS = _statements(
    "registers", ("serial", "read_at"), ("day", "zone", "final", "hardware", "decimals", *REGISTER_COLUMNS.values()),
    "SELECT s, r, dy, z, f, h, d, " + ", ".join(f"CAST({k} AS {_QTY})" for k in REGISTER_COLUMNS)
    + ", $collected_at FROM "
    + _unnest([("s", "text"), ("r", "timestamptz"), ("dy", "date"), ("z", "text"), ("f", "bool"), ("h", "text"),
               ("d", "int2"), *((k, "text") for k in REGISTER_COLUMNS)])
    + " WHERE NOT EXISTS (SELECT 1 FROM registers k WHERE k.serial = u.s AND k.day = u.dy AND k.zone = u.z "
      "AND k.final) ORDER BY s, r",
)
_EVENTS = _statements(
    "events", ("serial", "event_time", "code", "detail"), ("code_name",),
    "SELECT s, to_timestamp(t), c, d, n, $collected_at FROM "
    + _unnest([("s", "text"), ("t", "bigint"), ("c", "int4"), ("d", "int4"), ("n", "text")])
    + " ORDER BY s, t, c, d",
)
_METERS = _statements(
    "meters", ("serial",), ("hardware", "three_phase", "decimals", "interval_seconds"),
    "SELECT s, h, p, d, i, $collected_at FROM "
    + _unnest([("s", "text"), ("h", "text"), ("p", "bool"), ("d", "int2"), ("i", "int4")]) + " ORDER BY s",
    stamp="updated_at",
)
_ATTEMPTS = (
    "INSERT INTO attempts SELECT $run_id, u.* FROM "
    + _unnest([("serial", "text"), ("day", "date"), ("zone", "text"), ("what", "text"), ("attempt", "int2"),
               ("outcome", "text"), ("code", "text"), ("message", "text"), ("rows", "int4"),
               ("started_at", "timestamptz"), ("duration_ms", "int4")]),
)
# The meters of a collection not planned before; another writer may be planning them too.
_PLAN = _pg("INSERT INTO planned SELECT s, $at FROM unnest($s::text[]) AS u(s) ON CONFLICT (serial) DO NOTHING")
_STATEMENTS = {table: tuple(_pg(s, binary=True) for s in pair) for table, pair in
               {"meters": _METERS, "intervals": _INTERVALS, "registers": _REGISTERS, "events": _EVENTS,
                "attempts": _ATTEMPTS}.items()}
# One writer of a meter-day's registers at a time, the locks taken in one order by everyone.
_LOCK_METER_DAYS = _pg(
    "SELECT pg_advisory_xact_lock(k) FROM (SELECT DISTINCT hashtextextended(s || '/' || dy || '/' || z, 0) AS k "
    "FROM " + _unnest([("s", "text"), ("dy", "date"), ("z", "text")]) + ") AS l ORDER BY k",
    binary=True,
)
_MISSING_SLOTS = _pg(
    f"""
    WITH bounds AS (SELECT * FROM unnest($days::date[], $starts::bigint[], $ends::bigint[]) AS b(day, s, e)),
    done AS ({_FINISHED_INTERVAL_DAYS}),
    slots AS (SELECT serial, day, generate_series(s, e - {INTERVAL_SECONDS}, {INTERVAL_SECONDS}) AS t
              FROM done JOIN bounds USING (day))
    SELECT s.serial, s.day, s.t FROM slots s
    WHERE NOT EXISTS (SELECT 1 FROM intervals i WHERE i.serial = s.serial AND i.interval_start = to_timestamp(s.t))
    ORDER BY s.serial, s.day, s.t
    """
)


class PostgresStore(BaseStore):
    """The PostgreSQL store: one connection, used by the thread that opened it."""

    #: Rows fetched at a time for an export.
    CHUNK = 50_000

    def __init__(self, url: str, *, read_only: bool = False) -> None:
        self.url = url
        self.path = redact(url)
        self._hidden = _secrets(url)
        conninfo, self.schema = split_url(url)
        self._owner = threading.get_ident()
        self._meters: dict[str, tuple] = {}
        try:
            self.con = psycopg.connect(conninfo, autocommit=True, application_name="halvex",
                                       **({} if "connect_timeout" in conninfo else {"connect_timeout": 10}))
        except psycopg.Error as e:
            raise StoreError(f"cannot connect to the store {self.path}: {self.scrub(e)}") from None
        try:
            self.con.execute("SET TIME ZONE 'UTC'")
            self.con.execute("SET DateStyle TO ISO")
            self.con.execute(sql.SQL("SET search_path TO {}").format(sql.Identifier(self.schema)))
            if read_only:
                self.con.execute("SET default_transaction_read_only TO on")
            self._set_up(read_only)
        except psycopg.Error as e:
            self.close()
            raise StoreError(f"the store {self.path} cannot be used: {self.scrub(e)}") from None
        except BaseException:
            self.close()
            raise

    def scrub(self, exc: BaseException | str) -> str:
        """The first line of an error, with any password of the URL taken out."""
        text = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        for secret in self._hidden:
            text = text.replace(secret, "***")
        return text

    def _where(self) -> str:
        return f"the schema {self.schema} of {self.path}"

    def _version(self) -> int | None:
        tables = sorted(name for (name,) in self.con.execute(
            "SELECT table_name FROM information_schema.tables WHERE table_schema = %s", [self.schema]).fetchall())
        if not tables:
            return None
        foreign = StoreError(
            f"{self._where()} holds tables but is not a halvex store ({', '.join(tables[:5])}"
            f"{', ...' if len(tables) > 5 else ''}); it was left as it is: give another with ?schema=NAME")
        if "schema_info" not in tables:
            raise foreign
        row = self.con.execute("SELECT value FROM schema_info WHERE name = 'version'").fetchone()
        try:
            return int(row[0])
        except (TypeError, ValueError):
            raise foreign from None

    def _set_up(self, read_only: bool) -> None:
        """Checks the schema, creating it when it is empty; two collections starting at once
        take turns (a session-level advisory lock)."""
        lock = ("halvex store " + self.schema,)
        self.con.execute("SELECT pg_advisory_lock(hashtextextended(%s, 0))", lock)
        try:
            version = self._version()
            if version is None and read_only:
                raise StoreError(f"{self._where()} holds no collection yet: run 'halvex collect --db {self.path}' "
                                 "first")
            if version == 2:  # the tables of version 3 added, in one transaction
                with self.con.transaction():
                    if read_only:
                        self.con.execute("SET TRANSACTION READ WRITE")
                    for table in _ADDED_IN_3:
                        self.con.execute(_ddl(table))
                    self.con.execute("UPDATE schema_info SET value = %s WHERE name = 'version'", [str(SCHEMA_VERSION)])
            elif version is not None and version != SCHEMA_VERSION:
                raise StoreError(
                    f"{self._where()} has schema version {version}; this halvex reads version {SCHEMA_VERSION}: "
                    "use the halvex that wrote it, or another schema")
            if version is None:
                with self.con.transaction():
                    self.con.execute(sql.SQL("CREATE SCHEMA IF NOT EXISTS {}").format(sql.Identifier(self.schema)))
                    for table in TABLES:
                        self.con.execute(_ddl(table))
                    for index, on in INDEXES.items():
                        self.con.execute(f"CREATE INDEX {index} ON {on}")
                    self.con.execute("INSERT INTO schema_info VALUES ('version', %s)", [str(SCHEMA_VERSION)])
        finally:
            self.con.execute("SELECT pg_advisory_unlock(hashtextextended(%s, 0))", lock)
        if not read_only:
            self._meters = {serial: tuple(row) for serial, *row in self.con.execute(
                "SELECT serial, hardware, three_phase, decimals, interval_seconds FROM meters").fetchall()}
            self.con.execute(_INCOMING_TABLE)

    def close(self) -> None:
        con = getattr(self, "con", None)
        if con is not None:
            con.close()

    def _fetch(self, text: str, params: dict) -> list[tuple]:
        self._own()
        return self.con.execute(_pg(text), params).fetchall()

    # -- writing ------------------------------------------------------------------------

    def write_many(self, run_id: str, results: Sequence) -> None:
        """Stores whole meter-days in one transaction: all of them or none. Plain INSERTs
        first (an insert-only role can store new days); a row there already, written by an
        earlier run or by another writer just now, has the transaction done again with upserts."""
        self._own()
        collected_at = _dt.datetime.now(UTC)
        meters = self._meter_changes(results)
        batch = list(batch_params(run_id, results, meters, collected_at))
        upsert, tries = False, 0
        while True:
            try:
                with self.con.transaction():
                    for table, params in batch:
                        if table == "registers":
                            self.con.execute(_LOCK_METER_DAYS, {"s": params["s"], "dy": params["dy"], "z": params["z"]})
                        if table == "intervals":
                            self._copy_intervals(params)
                            params = {"collected_at": params["collected_at"]}
                        self.con.execute(_STATEMENTS[table][self._which(table, meters, upsert)], params)
                break
            except errors.UniqueViolation:
                if upsert:
                    raise
                upsert = True
            except (errors.DeadlockDetected, errors.SerializationFailure):
                tries += 1
                if tries > RETRIES:
                    raise
            except errors.InsufficientPrivilege as e:
                raise StoreError(
                    f"the store {self.path} refused a write: {self.scrub(e)}; a role that collects needs INSERT and "
                    "SELECT on the schema's tables, and UPDATE on meters, intervals, registers and events to "
                    "collect stored days again (see docs/collect.md)") from None
        self._meters.update(meters)

    def _copy_intervals(self, params: dict) -> None:
        with self.con.cursor() as cur, cur.copy(_COPY_INCOMING) as copy:
            copy.set_types([kind for _, kind in _INCOMING])
            for row in zip(*(params[name] for name, _ in _INCOMING)):
                copy.write_row(row)

    def plan(self, serials: Sequence[str]) -> None:
        self._own()
        try:
            self.con.execute(_PLAN, {"s": list(serials), "at": _dt.datetime.now(UTC)})
        except errors.InsufficientPrivilege as e:
            raise StoreError(
                f"the store {self.path} refused a write: {self.scrub(e)}; a role that collects needs INSERT and "
                "SELECT on all of the schema's tables, planned included (see docs/collect.md)") from None

    # -- reading ------------------------------------------------------------------------

    def missing_slots(self, first, last, zone, bounds) -> list[tuple]:
        self._own()
        return self.con.execute(_MISSING_SLOTS, {
            "first": first, "last": last, "zone": zone, "days": [b.day for b in bounds],
            "starts": [int(b.start.timestamp()) for b in bounds], "ends": [int(b.end.timestamp()) for b in bounds],
        }).fetchall()

    @contextlib.contextmanager
    def exporting(self, table, days, zone, scratch):
        """The rows of ``days`` copied into a DuckDB file in ``scratch`` (memory stays bounded),
        as text from here and cast back to the same types there: the export's files come
        out as the DuckDB store's would."""
        self._own()
        where, params = self.selection(table, days, zone)
        types = column_types(table)
        path = os.path.join(scratch, "rows.duckdb")
        con = connect(path, read_only=False)
        try:
            con.execute("SET TimeZone = 'UTC'")
            con.execute(_create(table))
            insert = (f"INSERT INTO {table} SELECT "
                      + ", ".join(f"CAST(c{i} AS {kind})" for i, (_, kind) in enumerate(types))
                      + " FROM (SELECT " + ", ".join(f"unnest($c{i}) AS c{i}" for i in range(len(types))) + ")")
            query = (f"SELECT {', '.join(f'{name}::text' for name, _ in types)} FROM {table} WHERE {where} "
                     f"ORDER BY {DAY_PLACED[table][1]}")
            with self.con.transaction(), self.con.cursor(name="halvex_export") as cur:
                cur.execute(_pg(query), params)
                while chunk := cur.fetchmany(self.CHUNK):
                    con.execute(insert, {f"c{i}": list(column) for i, column in enumerate(zip(*chunk))})
        finally:
            con.close()

        @contextlib.contextmanager
        def files_in(folder: str):
            copy = connect(path, read_only=True, files_in=folder)
            try:
                copy.execute("SET TimeZone = 'UTC'")
                yield copy
            finally:
                copy.close()

        yield files_in
