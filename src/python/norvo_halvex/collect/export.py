"""Exporting a table of the store for some days with DuckDB's own ``COPY ... TO``: from the
DuckDB store itself, or from a copy of the rows a PostgreSQL store holds for those days, so that
both give the same files."""

from __future__ import annotations

import datetime as _dt
import os
import shutil
import tempfile
from collections.abc import Sequence

from norvo_halvex import files
from norvo_halvex.collect.store import DAY_PLACED, BaseStore
from norvo_halvex.meters import WHOLE_CURRENT
from norvo_halvex.untrusted import CONTROL_ESCAPES, FORMULA_GUARD, FORMULA_PREFIXES, JSON_ESCAPES, NUMERIC_CELL


FORMATS = ("parquet", "csv", "jsonl")
TABLES = DAY_PLACED
_ISO = "%Y-%m-%dT%H:%M:%S+00:00"


def _sql_text(value: str) -> str:
    return "'" + value.replace("'", "''") + "'"


def _csv_text_macro() -> str:
    """``halvex_csv_text(t)``: the tool's rule for a text cell of a CSV for people, in SQL
    (control characters shown escaped, then formula-like text guarded), built from the
    same tables the rest of the tool uses."""
    shown = "t"
    for code, text in CONTROL_ESCAPES.items():
        shown = f"replace({shown}, chr({code}), {_sql_text(text)})"
    controls = "[" + "".join(f"\\x{{{code:x}}}" for code in CONTROL_ESCAPES) + "]"
    prefixes = ", ".join(_sql_text(p) for p in FORMULA_PREFIXES)
    return (
        "CREATE OR REPLACE TEMP MACRO halvex_csv_shown(t) AS "
        f"(CASE WHEN regexp_matches(t, {_sql_text(controls)}) THEN {shown} ELSE t END);\n"
        "CREATE OR REPLACE TEMP MACRO halvex_csv_text(t) AS "
        f"(CASE WHEN left(halvex_csv_shown(t), 1) IN ({prefixes}) "
        f"AND NOT regexp_full_match(halvex_csv_shown(t), {_sql_text(NUMERIC_CELL.pattern)}) "
        f"THEN {_sql_text(FORMULA_GUARD)} || halvex_csv_shown(t) ELSE halvex_csv_shown(t) END);"
    )


def _select(con, table: str, fmt: str, where: str) -> str:
    """The export query: for people (CSV) every value is text as they should read it."""
    order = TABLES[table][1]
    cols = [(name, str(kind)) for name, kind, *_ in con.execute(f"DESCRIBE {table}").fetchall()]
    has_decimals = any(name == "decimals" for name, _ in cols)
    out = []
    for name, kind in cols:
        q = f'"{name}"'
        if kind == "TIMESTAMP WITH TIME ZONE" and fmt != "parquet":
            out.append(f"strftime({q}, '{_ISO}') AS {q}")
        elif fmt == "csv" and kind.startswith("DECIMAL") and has_decimals:
            # The meter's own precision: fewer decimals on whole-current meters than the
            # store keeps for CT-operated ones.
            fewer = WHOLE_CURRENT.decimals
            out.append(
                f"CASE WHEN decimals = {fewer} THEN CAST(CAST({q} AS DECIMAL(18,{fewer})) AS VARCHAR) "
                f"ELSE CAST({q} AS VARCHAR) END AS {q}"
            )
        elif fmt == "csv" and kind == "VARCHAR":
            out.append(f"halvex_csv_text({q}) AS {q}")
        else:
            out.append(q)
    return f"SELECT {', '.join(out)} FROM {table} WHERE {where} ORDER BY {order}"


def _options(fmt: str) -> str:
    return {"parquet": "FORMAT parquet", "csv": "FORMAT csv, HEADER true", "jsonl": "FORMAT json"}[fmt]


def export(
    store: BaseStore, table: str, days: Sequence[_dt.date], fmt: str, out: str, *, stdout=None, zone: str = "UTC"
) -> int:
    """Writes the rows of ``table`` for the local ``days`` in ``zone`` to ``out`` and returns
    how many rows were written: intervals and events by their instant, registers and tries
    by the day they were collected for. A file appears complete or not at all; ``-`` (standard output, ``stdout``),
    a pipe, a character device or a socket is written as it is (never replaced), from a
    complete scratch copy. Text in JSON lines has the characters a terminal would act on
    escaped (``\\u009b``). Parquet is binary: never to standard output."""
    if table not in TABLES:
        raise ValueError(f"unknown table {table!r}; choose from {', '.join(TABLES)}")
    if fmt not in FORMATS:
        raise ValueError(f"unknown format {fmt!r}; choose from {', '.join(FORMATS)}")
    if out == files.STDOUT and fmt == "parquet":
        raise ValueError("Parquet is binary: give --out FILE, not '-'")
    where, params = store.selection(table, days, zone)
    with tempfile.TemporaryDirectory(prefix="halvex-export-") as scratch, \
            store.exporting(table, days, zone, scratch) as files_in:

        def copy(path: str) -> int:
            # The connection may write files for this copy only, and only in the copy's own folder.
            with files_in(os.path.dirname(path)) as con:
                if fmt == "csv":
                    con.execute(_csv_text_macro())
                query = _select(con, table, fmt, where)
                row = con.execute(f"COPY ({query}) TO {_sql_text(path)} ({_options(fmt)})", params).fetchone()
            return int(row[0]) if row else 0

        return _write(copy, fmt, out, stdout, scratch)


def _write(copy, fmt: str, out: str, stdout, scratch: str) -> int:
    # DuckDB writes JSON with the C1 controls and bidirectional overrides raw: JSON lines
    # pass through here to have them escaped, as every JSON text of the tool has.
    if fmt != "jsonl" and not files.in_place(out):
        with files.atomic_path(out) as tmp:
            return copy(tmp)
    path = os.path.join(scratch, f"export.{fmt}")
    rows = copy(path)
    with files.output(out, newline="", stdout=stdout) as target:
        if fmt == "parquet":
            target.flush()
            with open(path, "rb") as src:
                shutil.copyfileobj(src, target.buffer)
        else:
            with open(path, encoding="utf-8", newline="") as src:
                if fmt == "jsonl":
                    for line in src:
                        target.write(line.translate(JSON_ESCAPES))
                else:
                    shutil.copyfileobj(src, target)
    return rows
