"""The collection store: an embedded DuckDB database with one writer.

Every write is an upsert by primary key and every meter-day is one transaction, so
running a collection again changes nothing that is already right, and a crash or an
interrupt leaves whole meter-days only. A row that is unchanged keeps its
``collected_at``. The schema is documented in docs/collect.md.
"""

from __future__ import annotations

import datetime as _dt
import os
import threading
from collections.abc import Iterable

import duckdb

from norvo_halvex.collect.task import ELEMENT_KEYS, THREE_PHASE_KEYS, MeterDayResult

UTC = _dt.timezone.utc

DEFAULT_DB = "halvex.duckdb"
SCHEMA_VERSION = 1

_UNITS = {
    "import_active": "kwh",
    "export_active": "kwh",
    "import_reactive": "kvarh",
    "export_reactive": "kvarh",
    "active_import": "kwh",
    "active_export": "kwh",
    "reactive_import": "kvarh",
    "reactive_export": "kvarh",
    "apparent_import": "kvah",
    "apparent_export": "kvah",
}

#: The six interval quantities, named with their units.
INTERVAL_COLUMNS = tuple(f"{k}_{_UNITS[k]}" for k in THREE_PHASE_KEYS)
#: Register columns by the key the collection step uses for them.
REGISTER_COLUMNS = {
    **{f"{e}_{k}": f"{e}_{k}_{_UNITS[k]}" for e in ("a", "b") for k in ELEMENT_KEYS},
    **{k: f"{k}_{_UNITS[k]}" for k in THREE_PHASE_KEYS},
}

# Exact kWh / kvarh / kVAh: 4 decimals hold both whole-current (3) and CT-operated (4)
# values; the row's ``decimals`` says how many the meter counts.
_QTY = "DECIMAL(18,4)"

SCHEMA = f"""
CREATE TABLE IF NOT EXISTS schema_info (
    name  VARCHAR PRIMARY KEY,
    value VARCHAR NOT NULL
);
CREATE TABLE IF NOT EXISTS meters (
    serial           VARCHAR PRIMARY KEY,
    hardware         VARCHAR NOT NULL,
    three_phase      BOOLEAN NOT NULL,
    decimals         TINYINT NOT NULL,
    interval_seconds INTEGER,
    updated_at       TIMESTAMPTZ NOT NULL
);
CREATE TABLE IF NOT EXISTS intervals (
    serial         VARCHAR NOT NULL,
    interval_start TIMESTAMPTZ NOT NULL,
    {", ".join(f"{c} {_QTY} NOT NULL" for c in INTERVAL_COLUMNS)},
    decimals       TINYINT NOT NULL,
    status         INTEGER NOT NULL,
    status_flags   VARCHAR NOT NULL,
    collected_at   TIMESTAMPTZ NOT NULL,
    PRIMARY KEY (serial, interval_start)
);
CREATE TABLE IF NOT EXISTS registers (
    serial       VARCHAR NOT NULL,
    read_at      TIMESTAMPTZ NOT NULL,
    hardware     VARCHAR NOT NULL,
    decimals     TINYINT NOT NULL,
    {", ".join(f"{c} {_QTY}" for c in REGISTER_COLUMNS.values())},
    collected_at TIMESTAMPTZ NOT NULL,
    PRIMARY KEY (serial, read_at)
);
CREATE TABLE IF NOT EXISTS events (
    serial       VARCHAR NOT NULL,
    event_time   TIMESTAMPTZ NOT NULL,
    code         INTEGER NOT NULL,
    code_name    VARCHAR,
    detail       INTEGER NOT NULL,
    collected_at TIMESTAMPTZ NOT NULL,
    PRIMARY KEY (serial, event_time, code, detail)
);
CREATE TABLE IF NOT EXISTS attempts (
    run_id      VARCHAR NOT NULL,
    serial      VARCHAR NOT NULL,
    day         DATE NOT NULL,
    what        VARCHAR NOT NULL,
    attempt     SMALLINT NOT NULL,
    outcome     VARCHAR NOT NULL CHECK (outcome IN ('ok', 'failed', 'partial')),
    code        VARCHAR,
    message     VARCHAR,
    rows        INTEGER NOT NULL,
    started_at  TIMESTAMPTZ NOT NULL,
    duration_ms INTEGER NOT NULL,
    PRIMARY KEY (run_id, serial, day, what, attempt)
);
CREATE INDEX IF NOT EXISTS attempts_by_meter_day ON attempts (serial, day);
"""


def _upsert(table: str, key: tuple[str, ...], columns: Iterable[str], select: str, *, stamp: str = "collected_at") -> str:
    """INSERT ... ON CONFLICT that rewrites a row (and its ``stamp``) only when one of
    ``columns`` changed."""
    columns = tuple(columns)
    changed = " OR ".join(f"{table}.{c} IS DISTINCT FROM excluded.{c}" for c in columns)
    sets = ", ".join(f"{c} = excluded.{c}" for c in (*columns, stamp))
    names = ", ".join((*key, *columns, stamp))
    return (
        f"INSERT INTO {table} ({names}) {select} "
        f"ON CONFLICT ({', '.join(key)}) DO UPDATE SET {sets} WHERE {changed}"
    )


_INTERVAL_DATA = (*INTERVAL_COLUMNS, "decimals", "status", "status_flags")
_UPSERT_INTERVALS = _upsert(
    "intervals",
    ("serial", "interval_start"),
    _INTERVAL_DATA,
    # One statement per meter-day, its columns passed as lists: far cheaper than a row each.
    "SELECT $serial, to_timestamp(t), "
    + ", ".join(f"CAST(v{i} AS {_QTY})" for i in range(6))
    + ", $decimals, st, fl, $collected_at FROM (SELECT unnest($t) AS t, "
    + ", ".join(f"unnest($v{i}) AS v{i}" for i in range(6))
    + ", unnest($st) AS st, unnest($fl) AS fl)",
)
_REGISTER_DATA = ("hardware", "decimals", *REGISTER_COLUMNS.values())
_UPSERT_REGISTERS = _upsert(
    "registers",
    ("serial", "read_at"),
    _REGISTER_DATA,
    "SELECT $serial, $read_at, $hardware, $decimals, "
    + ", ".join(f"CAST(${k} AS {_QTY})" for k in REGISTER_COLUMNS)
    + ", $collected_at",
)
_UPSERT_EVENTS = _upsert(
    "events",
    ("serial", "event_time", "code", "detail"),
    ("code_name",),
    "SELECT $serial, to_timestamp(t), c, d, n, $collected_at "
    "FROM (SELECT unnest($t) AS t, unnest($c) AS c, unnest($d) AS d, unnest($n) AS n)",
)
_UPSERT_METER = _upsert(
    "meters",
    ("serial",),
    ("hardware", "three_phase", "decimals", "interval_seconds"),
    "SELECT $serial, $hardware, $three_phase, $decimals, $interval_seconds, $collected_at",
    stamp="updated_at",
)
_INSERT_ATTEMPTS = (
    "INSERT INTO attempts SELECT $run_id, $serial, $day, unnest($what), unnest($attempt), "
    "unnest($outcome), unnest($code), unnest($message), unnest($rows), unnest($started_at), "
    "unnest($duration_ms)"
)


class StoreError(Exception):
    """The store cannot be opened or used (locked by another process, not a store, newer schema)."""


class Store:
    """The DuckDB store. One instance is one connection, used by one thread only."""

    def __init__(self, path: str | os.PathLike[str] = DEFAULT_DB, *, read_only: bool = False) -> None:
        self.path = os.fspath(path)
        if read_only and not os.path.exists(self.path):
            raise StoreError(f"no store at {self.path}: run 'halvex collect --db {self.path}' first")
        try:
            self.con = duckdb.connect(self.path, read_only=read_only)
        except (duckdb.IOException, duckdb.InvalidInputException) as e:
            raise StoreError(f"cannot open the store {self.path}: {_first_line(e)}") from None
        self._owner = threading.get_ident()
        self._meters: dict[str, tuple] = {}
        try:
            self.con.execute("SET TimeZone = 'UTC'")
            if read_only:
                self._check_version()
            else:
                self.con.execute(SCHEMA)
                self._check_version()
        except BaseException:
            self.con.close()
            raise

    def _check_version(self) -> None:
        try:
            row = self.con.execute("SELECT value FROM schema_info WHERE name = 'version'").fetchone()
        except duckdb.CatalogException:
            raise StoreError(f"{self.path} is a DuckDB file but not a halvex collection store") from None
        if row is None:
            self.con.execute("INSERT INTO schema_info VALUES ('version', ?)", [str(SCHEMA_VERSION)])
        elif int(row[0]) != SCHEMA_VERSION:
            raise StoreError(
                f"the store {self.path} has schema version {row[0]}; this halvex reads version "
                f"{SCHEMA_VERSION}: use the halvex that wrote it, or a new --db"
            )

    def close(self) -> None:
        self.con.close()

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _own(self) -> None:
        # One connection, one thread: results reach the store through the writer only.
        if threading.get_ident() != self._owner:
            raise RuntimeError("the store's connection belongs to the thread that opened it")

    # -- writing ------------------------------------------------------------------------

    def write(self, run_id: str, result: MeterDayResult) -> None:
        """Stores one meter-day in one transaction: its rows and every try of the ledger."""
        self._own()
        con = self.con
        collected_at = _dt.datetime.now(UTC)
        con.execute("BEGIN TRANSACTION")
        try:
            self._write_meter(result, collected_at)
            if result.intervals:
                self._write_intervals(result, collected_at)
            if result.registers is not None:
                self._write_registers(result, collected_at)
            if result.events:
                self._write_events(result, collected_at)
            self._write_attempts(run_id, result)
            con.execute("COMMIT")
        except BaseException:
            try:
                con.execute("ROLLBACK")
            except duckdb.Error:
                pass
            raise

    def _write_meter(self, result: MeterDayResult, collected_at) -> None:
        from norvo_halvex.util.meters import is_three_phase

        from norvo_halvex.collect.rules import decimals_for

        hw = result.hardware
        if hw is None:
            return
        known = self._meters.get(result.serial)
        seconds = result.interval_seconds if result.interval_seconds is not None else (known or (None,) * 4)[3]
        row = (hw, bool(is_three_phase(hw)), decimals_for(hw), seconds)
        if known == row:
            return
        self.con.execute(
            _UPSERT_METER,
            {"serial": result.serial, "hardware": row[0], "three_phase": row[1], "decimals": row[2],
             "interval_seconds": row[3], "collected_at": collected_at},
        )
        self._meters[result.serial] = row

    def _write_intervals(self, result: MeterDayResult, collected_at) -> None:
        from norvo_halvex.util.three_phase_intervals import status_flag_names

        from norvo_halvex.collect.rules import decimals_for

        rows = result.intervals
        params = {"serial": result.serial, "decimals": decimals_for(result.hardware or ""),
                  "collected_at": collected_at, "t": [r[0] for r in rows]}
        for i in range(6):
            params[f"v{i}"] = [r[1 + i] for r in rows]
        params["st"] = [r[7] for r in rows]
        params["fl"] = [status_flag_names(r[7]) for r in rows]
        self.con.execute(_UPSERT_INTERVALS, params)

    def _write_registers(self, result: MeterDayResult, collected_at) -> None:
        from norvo_halvex.collect.rules import decimals_for

        read_at, values = result.registers
        params = {"serial": result.serial, "read_at": read_at, "hardware": result.hardware,
                  "decimals": decimals_for(result.hardware or ""), "collected_at": collected_at}
        for key in REGISTER_COLUMNS:
            params[key] = values.get(key)
        self.con.execute(_UPSERT_REGISTERS, params)

    def _write_events(self, result: MeterDayResult, collected_at) -> None:
        rows = result.events
        self.con.execute(
            _UPSERT_EVENTS,
            {"serial": result.serial, "collected_at": collected_at, "t": [r[0] for r in rows],
             "c": [r[1] for r in rows], "n": [r[2] for r in rows], "d": [r[3] for r in rows]},
        )

    def _write_attempts(self, run_id: str, result: MeterDayResult) -> None:
        attempts = result.attempts
        if not attempts:
            return
        self.con.execute(
            _INSERT_ATTEMPTS,
            {
                "run_id": run_id,
                "serial": result.serial,
                "day": result.day,
                "what": [a.what for a in attempts],
                "attempt": [a.attempt for a in attempts],
                "outcome": [a.outcome for a in attempts],
                "code": [a.code for a in attempts],
                "message": [a.message for a in attempts],
                "rows": [a.rows for a in attempts],
                "started_at": [a.started_at for a in attempts],
                "duration_ms": [a.duration_ms for a in attempts],
            },
        )

    # -- reading ------------------------------------------------------------------------

    def succeeded(self, serial: str, first: _dt.date, last: _dt.date) -> set[tuple[_dt.date, str]]:
        """(day, what) of ``serial`` in ``first..last`` whose last try succeeded."""
        self._own()
        rows = self.con.execute(
            """
            SELECT day, what FROM (
                SELECT day, what, outcome,
                       row_number() OVER (PARTITION BY day, what ORDER BY started_at DESC, attempt DESC) AS n
                FROM attempts WHERE serial = ? AND day BETWEEN ? AND ?
            ) WHERE n = 1 AND outcome = 'ok'
            """,
            [serial, first, last],
        ).fetchall()
        return {(d, w) for d, w in rows}

    def table_rows(self, table: str) -> list[tuple]:
        """Every row of a table, ordered by its columns (tests and small stores only)."""
        self._own()
        if table not in ("meters", "intervals", "registers", "events", "attempts"):
            raise ValueError(f"no table {table!r}")
        return self.con.execute(f"SELECT * FROM {table} ORDER BY ALL").fetchall()


def _first_line(exc: BaseException) -> str:
    return str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
