"""Exporting a table of the store for some days with DuckDB's own ``COPY ... TO``."""

from __future__ import annotations

import datetime as _dt
import os
import shutil
import sys
import tempfile
from collections.abc import Sequence

from norvo_halvex.collect.store import Store
from norvo_halvex.files import atomic_path

UTC = _dt.timezone.utc

FORMATS = ("parquet", "csv", "jsonl")
# Table -> (the column that places a row in a day, the order of the rows).
TABLES = {
    "intervals": ("interval_start", "serial, interval_start"),
    "registers": ("read_at", "serial, read_at"),
    "events": ("event_time", "serial, event_time, code, detail"),
    "attempts": ("day", "run_id, serial, day, what, attempt"),
}
# Text cells a spreadsheet would run as a formula.
FORMULA_PREFIXES = ("=", "+", "-", "@", "\t", "\r")
_ISO = "%Y-%m-%dT%H:%M:%S+00:00"


def _sql_text(value: str) -> str:
    return "'" + value.replace("'", "''") + "'"


def _columns(store: Store, table: str) -> list[tuple[str, str]]:
    return [(name, str(kind)) for name, kind, *_ in store.con.execute(f"DESCRIBE {table}").fetchall()]


def _select(store: Store, table: str, fmt: str) -> str:
    """The export query: for people (CSV) every value is text as they should read it."""
    when, order = TABLES[table]
    cols = _columns(store, table)
    has_decimals = any(name == "decimals" for name, _ in cols)
    out = []
    for name, kind in cols:
        q = f'"{name}"'
        if kind == "TIMESTAMP WITH TIME ZONE" and fmt != "parquet":
            out.append(f"strftime({q}, '{_ISO}') AS {q}")
        elif fmt == "csv" and kind.startswith("DECIMAL") and has_decimals:
            # The meter's own precision: 3 decimals on whole-current meters, 4 on CT-operated.
            out.append(
                f"CASE WHEN decimals = 3 THEN CAST(CAST({q} AS DECIMAL(18,3)) AS VARCHAR) "
                f"ELSE CAST({q} AS VARCHAR) END AS {q}"
            )
        elif fmt == "csv" and kind == "VARCHAR":
            prefixes = ", ".join(_sql_text(p) for p in FORMULA_PREFIXES)
            out.append(f"CASE WHEN left({q}, 1) IN ({prefixes}) THEN '''' || {q} ELSE {q} END AS {q}")
        else:
            out.append(q)
    if when == "day":
        where = "day BETWEEN $first AND $last"
    else:
        where = f"{when} >= $start AND {when} < $end"
    return f"SELECT {', '.join(out)} FROM {table} WHERE {where} ORDER BY {order}"


def _options(fmt: str) -> str:
    return {"parquet": "FORMAT parquet", "csv": "FORMAT csv, HEADER true", "jsonl": "FORMAT json"}[fmt]


def export(
    store: Store, table: str, days: Sequence[_dt.date], fmt: str, out: str, *, stdout=None
) -> int:
    """Writes the rows of ``table`` for ``days`` to ``out`` (``-``: standard output, CSV and
    JSONL only) and returns how many rows were written. A file appears complete or not at all."""
    if table not in TABLES:
        raise ValueError(f"unknown table {table!r}; choose from {', '.join(TABLES)}")
    if fmt not in FORMATS:
        raise ValueError(f"unknown format {fmt!r}; choose from {', '.join(FORMATS)}")
    if out == "-" and fmt == "parquet":
        raise ValueError("Parquet is binary: give --out FILE, not '-'")
    days = sorted(days)
    start = _dt.datetime.combine(days[0], _dt.time(0), tzinfo=UTC)
    end = _dt.datetime.combine(days[-1], _dt.time(0), tzinfo=UTC) + _dt.timedelta(days=1)
    query = _select(store, table, fmt)
    params = {"first": days[0], "last": days[-1]} if TABLES[table][0] == "day" else {"start": start, "end": end}

    def copy(path: str) -> int:
        row = store.con.execute(f"COPY ({query}) TO {_sql_text(path)} ({_options(fmt)})", params).fetchone()
        return int(row[0]) if row else 0

    if out == "-":
        stream = stdout if stdout is not None else sys.stdout
        with tempfile.TemporaryDirectory(prefix="halvex-export-") as scratch:
            path = os.path.join(scratch, f"export.{fmt}")
            rows = copy(path)
            with open(path, encoding="utf-8", newline="") as f:
                shutil.copyfileobj(f, stream)
            stream.flush()
        return rows
    with atomic_path(out) as tmp:
        return copy(tmp)
