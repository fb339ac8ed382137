"""Planning, export and the Dask runner."""

from __future__ import annotations

import csv
import datetime as dt
import functools
import os
import stat
import threading

import duckdb
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from collect_support import DAY, meter_day
from norvo_halvex.collect import CollectOptions, Plan, Store, collect, day_range, export, parse_whats
from norvo_halvex.collect.export import _csv_text_macro
from norvo_halvex.mediator.grpc.settings import ConnectionSettings
from norvo_halvex.untrusted import for_csv_cell, for_terminal
from support.processes import run_tool


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
    base = dt.date(2025, 1, 1)
    span = day_range(base + dt.timedelta(days=1), days)
    finished = {(base + dt.timedelta(days=d), w) for d, w in done}
    plan = Plan(["S1"], span, ("intervals", "registers"), done=lambda serial, first, last: finished)

    got = [(md.serial, (md.day - base).days, md.whats) for md in plan]
    assert got == expected
    assert plan.skipped == days - len(expected)


@pytest.mark.parametrize(
    "kinds, expected",
    [
        # three-phase first, then meters never collected, then single-phase; each as given
        ({"A": False, "B": True, "D": True}, ["B", "D", "C", "E", "A"]),
        ({}, ["A", "B", "C", "D", "E"]),
        (None, ["A", "B", "C", "D", "E"]),  # no knowledge asked for: the order given
    ],
)
def test_the_plan_starts_the_longest_meter_days_first(kinds, expected):
    span = day_range(dt.date(2025, 1, 2), 2)
    three_phase = None if kinds is None else kinds.get
    plan = Plan(iter(["A", "B", "C", "B", "D", "E"]), span, ("intervals",), three_phase=three_phase)
    got = [md.serial for md in plan]
    assert got == [serial for serial in expected for _ in span]


class Waits:
    """A stop event that is never set and notes the waits asked of it instead of waiting."""

    def __init__(self):
        self.asked = []

    def is_set(self):
        return False

    def wait(self, seconds):
        self.asked.append(seconds)
        return False


@pytest.mark.parametrize(
    "outcomes, retries, tries, waits",
    [
        (["ok"], 2, 1, []),
        (["transient", "ok"], 2, 2, [(0.5, 1.0)]),
        (["transient"] * 4, 3, 4, [(0.5, 1.0), (1.0, 1.5), (2.0, 2.5)]),  # doubling, with jitter
        (["transient"] * 3, 0, 1, []),
        (["transient", "other", "ok"], 2, 2, [(0.5, 1.0)]),  # not transient: never tried again
    ],
)
def test_a_part_is_tried_again_after_growing_waits_on_transient_failures_only(outcomes, retries, tries, waits):
    from norvo_halvex.collect.task import _with_retries
    from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure

    made = []

    def once():
        outcome = outcomes[len(made)]
        made.append(outcome)
        if outcome == "transient":
            raise HalvexConnectionFailure("no answer from the modem")
        if outcome == "other":
            raise ValueError("not worth another try")
        return outcome

    stop = Waits()
    try:
        _with_retries(once, retries, stop, 0.5)
    except (HalvexConnectionFailure, ValueError) as exc:
        assert made[-1] != "ok" and type(exc).__name__ in ("HalvexConnectionFailure", "ValueError")
    assert len(made) == tries
    assert len(stop.asked) == len(waits)
    assert all(low <= asked <= high for asked, (low, high) in zip(stop.asked, waits))


@pytest.mark.parametrize(
    "text, expected",
    [("events,intervals", ("intervals", "events")), (" registers ", ("registers",)), ("", None), ("intervals,tariffs", None)],
)
def test_parts_are_parsed_in_reading_order(text, expected):
    if expected is None:
        with pytest.raises(ValueError, match="choose from intervals, registers, events"):
            parse_whats(text)
    else:
        assert parse_whats(text) == expected


@pytest.mark.parametrize("options, match", [({"workers": 0}, "workers must be at least 1"),
                                            ({"retries": -1}, "retries must be 0 or more"),
                                            ({"stop_after_refused": -1}, "stop_after_refused must be 0 or more")])
def test_options_refuse_a_run_that_cannot_happen(options, match):
    with pytest.raises(ValueError, match=match):
        CollectOptions(**options)


@pytest.fixture
def collected(run_collect, db):
    run_collect(whats=("intervals", "registers", "events"))
    return db


@pytest.mark.parametrize("table", ["intervals", "registers", "events", "attempts"])
def test_parquet_export_round_trips_through_duckdb(collected, tmp_path, table):
    out = tmp_path / f"{table}.parquet"
    with Store(collected, read_only=True) as store:
        rows = export(store, table, [DAY], "parquet", str(out))  # registers too: they belong to the day
        stored = store.con.execute(f"SELECT * FROM {table} ORDER BY ALL").fetchall()
    con = duckdb.connect()
    con.execute("SET TimeZone = 'UTC'")
    back = con.execute(f"SELECT * FROM read_parquet('{out}') ORDER BY ALL").fetchall()
    assert rows == len(stored) > 0
    assert back == stored
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["halvex.duckdb", out.name])  # no temporary left


@pytest.mark.parametrize("serial, cell", [("=HYPERLINK(1)", "'=HYPERLINK(1)"), ("+1", "+1"), ("-\u202e1", "'-\\u202e1")])
def test_csv_export_protects_text_cells_and_keeps_numbers(tmp_path, db, serial, cell):
    with Store(db) as store:
        store.write("run", meter_day(serial, "-1.500", outcome="partial", message="=1+1"))
        for table in ("intervals", "attempts"):
            export(store, table, [DAY], "csv", str(tmp_path / f"{table}.csv"))
    with open(tmp_path / "intervals.csv", newline="") as f:
        row = next(csv.DictReader(f))
    assert (row["serial"], row["active_import_kwh"], row["interval_start"]) == (cell, "-1.500", "2025-06-01T00:00:00+00:00")
    with open(tmp_path / "attempts.csv", newline="") as f:
        assert next(csv.DictReader(f))["message"] == "'=1+1"


@functools.cache
def csv_text_rule():
    con = duckdb.connect()
    con.execute(_csv_text_macro())
    return con


@given(st.text(alphabet=st.sampled_from("=+-@\t\r\n\x1b\x9b\u202e\x00.1eE 'aé"), max_size=8) | st.text(max_size=12))
@settings(max_examples=300, deadline=None)
def test_the_csv_text_rule_in_sql_is_the_tools_own(text):
    """The export's SQL rule for text cells gives what the tool's own helpers give."""
    assert csv_text_rule().execute("SELECT halvex_csv_text(?)", [text]).fetchone()[0] == for_csv_cell(for_terminal(text))


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_export_to_a_pipe_writes_it_in_place(collected, tmp_path, fmt):
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    got = []
    # A daemon: an export that never opens the pipe must fail the test, not hang the session.
    reader = threading.Thread(target=lambda: got.append(pipe.read_bytes()), daemon=True)
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
    out = tmp_path / "i.jsonl"
    out.write_text("old\n")
    with Store(collected, read_only=True) as store, pytest.raises(ValueError, match="unknown table"):
        export(store, "nope", [DAY], "jsonl", str(out))
    assert out.read_text() == "old\n"


def test_a_local_dask_cluster_stores_the_same_rows_as_threads(secure_simulator, tls_files, token_file, tmp_path):
    """Through TLS with a token: the settings (file paths) reach the worker processes; the
    tool shows its summary and nothing of the cluster's own start and stop."""
    serials = ["HX1000002", "HX3000001", "HX3000002"]
    threads, dask = str(tmp_path / "threads.duckdb"), str(tmp_path / "dask.duckdb")
    settings = ConnectionSettings(tls_ca=tls_files.ca, token_file=str(token_file))
    summary = collect(serials, CollectOptions(day=DAY, workers=2, retries=0), mediator=secure_simulator.address,
                      settings=settings, store=threads)
    assert (summary.ok, summary.failed) == (3, 0), summary.failures
    run = run_tool("--mediator", secure_simulator.address, "--tls-ca", tls_files.ca, "--token-file", token_file,
                   "collect", *serials, "--day", DAY, "--db", dask, "--retries", "0", "--cluster", "local:2",
                   "--workers", "2")
    assert run.code == 0, run.err
    assert run.err.startswith("halvex: collect done: 3 ok, 0 partial, 0 failed meter-days; 99 rows")
    assert run.err.count("\n") == 1

    tables = {}
    for name, path in (("threads", threads), ("dask", dask)):
        with Store(path, read_only=True) as store:
            tables[name] = {t: store.con.execute(f"SELECT * EXCLUDE (collected_at) FROM {t} ORDER BY ALL").fetchall()
                            for t in ("intervals", "registers")}
    assert tables["dask"] == tables["threads"]
    assert len(tables["dask"]["intervals"]) == 96
