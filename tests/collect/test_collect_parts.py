"""Planning, the day and frame rules, export and the Dask runner."""

from __future__ import annotations

import datetime as dt

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from collect_support import DAY, run_tool

UTC = dt.timezone.utc


@pytest.mark.parametrize(
    "days, done, expected",
    [
        # Registers describe the meter now: read once, with the newest day.
        (2, set(), [("S1", 0, ("intervals",)), ("S1", 1, ("intervals", "registers"))]),
        (1, {(1, "intervals")}, [("S1", 1, ("registers",))]),
        (2, {(0, "intervals"), (1, "intervals"), (1, "registers")}, []),
    ],
)
def test_the_plan_reads_registers_once_and_skips_what_succeeded(days, done, expected):
    from norvo_halvex.collect import Plan, day_range

    base = dt.date(2025, 1, 1)
    span = day_range(base + dt.timedelta(days=1), days)
    finished = {(base + dt.timedelta(days=d), w) for d, w in done}
    plan = Plan(["S1"], span, ("intervals", "registers"), done=lambda serial, first, last: finished)

    got = [(md.serial, (md.day - base).days, md.whats) for md in plan]
    assert got == expected
    assert plan.skipped == days - len(expected)


@pytest.mark.parametrize(
    "text, expected",
    [("events,intervals", ("intervals", "events")), (" registers ", ("registers",)), ("", None), ("intervals,tariffs", None)],
)
def test_parts_are_parsed_in_reading_order(text, expected):
    from norvo_halvex.collect import parse_whats

    if expected is None:
        with pytest.raises(ValueError, match="choose from intervals, registers, events"):
            parse_whats(text)
    else:
        assert parse_whats(text) == expected


@pytest.mark.parametrize(
    "start_h, hours, frames",
    [(0, 23.5, [(0, 4), (4, 8), (8, 12), (12, 16), (16, 20), (20, 23.5)]), (0, 4, [(0, 4)]), (2, 5, [(2, 6), (6, 7)])],
)
def test_a_window_is_fetched_in_frames_of_at_most_four_hours(start_h, hours, frames):
    from norvo_halvex.collect import rules

    base = dt.datetime(2025, 1, 1, tzinfo=UTC)
    at = lambda h: base + dt.timedelta(hours=h)  # noqa: E731
    assert rules.frames(at(start_h), at(start_h + hours)) == [(at(a), at(b)) for a, b in frames]


@pytest.mark.parametrize(
    "count, decimals, text", [(0, 3, "0.000"), (1234567, 3, "1234.567"), (5, 4, "0.0005"), (-12, 3, "-0.012")]
)
def test_counts_become_exact_decimal_texts(count, decimals, text):
    from norvo_halvex.collect import rules

    assert rules.count_text(count, decimals) == text


@pytest.fixture
def collected(run_collect, db):
    run_collect(whats=("intervals", "registers", "events"))
    return db


@pytest.mark.parametrize("table", ["intervals", "registers", "events", "attempts"])
def test_parquet_export_round_trips_through_duckdb(collected, tmp_path, table):
    import duckdb

    from norvo_halvex.collect import Store, export

    out = tmp_path / f"{table}.parquet"
    with Store(collected, read_only=True) as store:
        when = [DAY + dt.timedelta(days=1)] if table == "registers" else [DAY]
        rows = export(store, table, when, "parquet", str(out))
        stored = store.con.execute(f"SELECT * FROM {table} ORDER BY ALL").fetchall()
    con = duckdb.connect()
    con.execute("SET TimeZone = 'UTC'")
    back = con.execute(f"SELECT * FROM read_parquet('{out}') ORDER BY ALL").fetchall()
    assert rows == len(stored) > 0
    assert back == stored
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["halvex.duckdb", out.name])  # no temporary left


@pytest.mark.parametrize(
    "serial, cell",
    [("=HYPERLINK(1)", "'=HYPERLINK(1)"), ("+1", "+1"), ("@A", "'@A"), ("-x", "'-x"), ("HX9", "HX9"),
     ("\x1b]0;owned\x07", "\\x1b]0;owned\\x07"), ("\t=1", "\\t=1"), ("-\u202e1", "'-\\u202e1")],
)
def test_csv_export_protects_text_cells_and_keeps_numbers(tmp_path, db, serial, cell):
    import csv

    from norvo_halvex.collect import Store, export
    from norvo_halvex.collect.task import Attempt, MeterDayResult

    start = int(dt.datetime.combine(DAY, dt.time(0), tzinfo=UTC).timestamp())
    now = dt.datetime.now(UTC)
    result = MeterDayResult(serial, DAY, hardware="P1.ax", interval_seconds=1800,
                            intervals=[(start, "-1.500", "0.000", "0.000", "0.000", "0.000", "0.000", 0)],
                            attempts=[Attempt("intervals", 1, "partial", "X", "=1+1", 1, now, 3)])
    with Store(db) as store:
        store.write("run", result)
        export(store, "intervals", [DAY], "csv", str(tmp_path / "i.csv"))
        export(store, "attempts", [DAY], "csv", str(tmp_path / "a.csv"))
    with open(tmp_path / "i.csv", newline="") as f:
        row = next(csv.DictReader(f))
    assert (row["serial"], row["active_import_kwh"], row["interval_start"]) == (cell, "-1.500", "2025-06-01T00:00:00+00:00")
    with open(tmp_path / "a.csv", newline="") as f:
        assert next(csv.DictReader(f))["message"] == "'=1+1"


@given(st.text(alphabet=st.sampled_from("=+-@\t\r\n\x1b\x9b\u202e\x00.1eE 'aé"), max_size=8) | st.text(max_size=12))
@settings(max_examples=300, deadline=None)
def test_the_csv_text_rule_in_sql_is_the_tools_own(text):
    """The export's SQL rule for text cells gives what the tool's own helpers give."""
    import duckdb

    from norvo_halvex.cli.untrusted import for_csv_cell, for_terminal
    from norvo_halvex.collect.export import _csv_text_macro

    con = _SQL.get("con")
    if con is None:
        con = _SQL["con"] = duckdb.connect()
        con.execute(_csv_text_macro())
    assert con.execute("SELECT halvex_csv_text(?)", [text]).fetchone()[0] == for_csv_cell(for_terminal(text))


_SQL: dict = {}


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_export_to_a_pipe_writes_it_in_place(collected, tmp_path, fmt):
    import os
    import stat
    import threading

    import duckdb

    from norvo_halvex.collect import Store, export

    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    got = []
    reader = threading.Thread(target=lambda: got.append(pipe.read_bytes()))
    reader.start()
    with Store(collected, read_only=True) as store:
        rows = export(store, "intervals", [DAY], fmt, str(pipe))
    reader.join(30)
    assert stat.S_ISFIFO(os.stat(pipe).st_mode)  # never replaced by a file
    if fmt == "csv":
        assert len(got[0].decode().splitlines()) == 1 + rows == 1 + 4 * 48
    else:
        copy = tmp_path / "copy.parquet"
        copy.write_bytes(got[0])
        assert duckdb.connect().execute(f"SELECT count(*) FROM read_parquet('{copy}')").fetchone() == (rows,)


def test_a_failed_export_leaves_the_old_file(collected, tmp_path):
    from norvo_halvex.collect import Store, export

    out = tmp_path / "i.jsonl"
    out.write_text("old\n")
    with Store(collected, read_only=True) as store, pytest.raises(ValueError, match="unknown table"):
        export(store, "nope", [DAY], "jsonl", str(out))
    assert out.read_text() == "old\n"


def test_a_local_dask_cluster_stores_the_same_rows_as_threads(secure_simulator, tls_files, token_file, tmp_path):
    """Through TLS with a token: the settings (file paths) reach the worker processes; the
    tool shows its summary and nothing of the cluster's own start and stop."""
    from norvo_halvex.collect import Store, collect
    from norvo_halvex.mediator.grpc.settings import ConnectionSettings

    serials = ["HX1000002", "HX3000001", "HX3000002"]
    threads, dask = str(tmp_path / "threads.duckdb"), str(tmp_path / "dask.duckdb")
    settings = ConnectionSettings(tls_ca=tls_files.ca, token_file=str(token_file))
    summary = collect(serials, mediator=secure_simulator.address, settings=settings, day=DAY, db=threads,
                      workers=2, retries=0)
    assert (summary.ok, summary.failed) == (3, 0), summary.failures
    code, _, err = run_tool("--mediator", secure_simulator.address, "--tls-ca", tls_files.ca, "--token-file",
                            token_file, "collect", *serials, "--day", DAY, "--db", dask, "--retries", "0",
                            "--cluster", "local:2", "--workers", "2")
    assert code == 0
    assert err.startswith("halvex: collect done: 3 ok, 0 partial, 0 failed meter-days; 99 rows") and err.count("\n") == 1

    tables = {}
    for name, path in (("threads", threads), ("dask", dask)):
        with Store(path, read_only=True) as store:
            tables[name] = {t: store.con.execute(f"SELECT * EXCLUDE (collected_at) FROM {t} ORDER BY ALL").fetchall()
                            for t in ("intervals", "registers")}
    assert tables["dask"] == tables["threads"]
    assert len(tables["dask"]["intervals"]) == 96
