"""A collection against the simulator, into a real store: each test for both backends, a DuckDB
file and a schema on a PostgreSQL server."""

from __future__ import annotations

import contextlib
import datetime as dt
import os
from decimal import Decimal

import duckdb
import pytest

from collect_support import BACKENDS, DAY, THREE_PHASE, UTC, meter_day, query, table_rows
from norvo_halvex.collect import Store, gaps, open_store
from norvo_halvex.mediator.simulator import Fault, start_simulator
from norvo_halvex.mediator.simulator.messages import interval_block
from support.processes import run_tool

DATA_TABLES = ("meters", "intervals", "registers", "events")


@BACKENDS
def test_a_fleet_day_lands_whole(run_collect, read_db, fleet):
    summary = run_collect(whats=("intervals", "registers", "events"))

    assert (summary.ok, summary.partial, summary.failed) == (8, 0, 0)
    per_meter = dict(read_db("SELECT serial, count(*) FROM intervals GROUP BY serial"))
    assert per_meter == dict.fromkeys(THREE_PHASE, 48)
    assert dict(read_db("SELECT serial, count(*) FROM registers GROUP BY serial")) == dict.fromkeys(fleet.meters, 1)
    # The day's 48 slots, 00:00 to 23:30 UTC, for every three-phase meter.
    first, last = read_db("SELECT min(interval_start), max(interval_start) FROM intervals")[0]
    assert (first.isoformat(), last.isoformat()) == ("2025-06-01T00:00:00+00:00", "2025-06-01T23:30:00+00:00")
    assert read_db("SELECT DISTINCT outcome FROM attempts") == [("ok",)]
    assert read_db("SELECT DISTINCT CAST(event_time AS DATE) FROM events") == [(DAY,)]


@BACKENDS
@pytest.mark.parametrize("serial, decimals", [("HX3000001", 3), ("HX3000002", 4)])
def test_interval_values_are_exact_in_the_meters_decimals(run_collect, read_db, fleet, serial, decimals):
    """Stored quantities equal the meter's raw counts scaled exactly (no float on the way)."""
    run_collect([serial], whats=("intervals",))
    start = int(dt.datetime(2025, 6, 1, tzinfo=UTC).timestamp())
    block = interval_block(fleet[serial], start, start + 4 * 3600, fleet.now())
    expected = [(Decimal(iv.values[0]).scaleb(-decimals), decimals) for iv in block.intervals[:8]]
    assert read_db("SELECT active_import_kwh, decimals FROM intervals WHERE serial = ? ORDER BY interval_start "
                   "LIMIT 8", [serial]) == expected


@BACKENDS
def test_a_second_run_changes_no_data(run_collect, read_db):
    run_collect(whats=("intervals", "registers", "events"))
    before = {t: sorted(read_db(f"SELECT * FROM {t}"), key=repr) for t in DATA_TABLES}
    tries_before = read_db("SELECT count(*) FROM attempts")[0][0]

    second = run_collect(whats=("intervals", "registers", "events"))

    assert {t: sorted(read_db(f"SELECT * FROM {t}"), key=repr) for t in DATA_TABLES} == before
    # The ledger records the second run's tries, and nothing else changed in it.
    runs = read_db("SELECT run_id, count(*) FROM attempts GROUP BY run_id ORDER BY min(started_at)")
    assert [n for _, n in runs] == [tries_before, tries_before]
    assert runs[1][0] == second.run_id


@BACKENDS
@pytest.mark.parametrize(
    "fault, code, tries",
    [
        ({"kind": "connection_failure"}, "HALVEX_CONNECTION_FAILURE", 3),
        ({"kind": "end_of_stream"}, "HALVEX_EOF_ERROR", 3),
        ({"status": "UNAVAILABLE"}, "UNAVAILABLE", 3),
        ({"status": "INTERNAL"}, "INTERNAL", 1),  # not transient: never tried again
        ({"kind": "malformed_reply"}, "CODEC_ERROR", 1),
    ],
)
def test_a_failing_meter_is_recorded_and_resume_fetches_only_it(run_collect, read_db, fleet, fault, code, tries):
    fleet.set_fault("HX3000002", Fault(operations=["message"], **fault))
    first = run_collect(retries=2)

    assert (first.ok, first.partial) == (7, 1)  # its registers were read, its intervals not
    ledger = read_db("SELECT outcome, code, rows FROM attempts WHERE serial = 'HX3000002' AND what = 'intervals'")
    assert ledger == [("failed", code, 0)] * tries
    assert read_db("SELECT count(*) FROM intervals WHERE serial = 'HX3000002'") == [(0,)]

    fleet.clear_fault("HX3000002")
    second = run_collect(resume=True, retries=2)

    assert (second.ok, second.skipped) == (1, 7)
    assert read_db("SELECT DISTINCT serial, what FROM attempts WHERE run_id = ?", [second.run_id]) == [
        ("HX3000002", "intervals")
    ]
    assert read_db("SELECT count(*) FROM intervals WHERE serial = 'HX3000002'") == [(48,)]


@BACKENDS
def test_a_transient_failure_is_retried_and_every_try_recorded(run_collect, read_db, fleet):
    fleet.set_fault("HX3000001", Fault("connection_failure", operations=["message"], after=2, times=1))
    summary = run_collect(["HX3000001"], whats=("intervals",), retries=2)

    assert summary.ok == 1
    assert read_db("SELECT attempt, outcome, code, rows FROM attempts ORDER BY attempt") == [
        (1, "failed", "HALVEX_CONNECTION_FAILURE", 0),
        (2, "ok", None, 48),
    ]


@BACKENDS
def test_writes_are_never_retried(run_collect, fleet):
    """Collection only reads: a meter whose every write fails is collected in full."""
    fleet.set_fault("HX3000001", Fault("connection_failure", operations=["write"]))
    summary = run_collect(["HX3000001"], whats=("intervals", "registers", "events"), retries=2)
    assert (summary.ok, fleet.fault_calls("HX3000001")) == (1, 0)


@BACKENDS
def test_a_partly_read_register_set_is_partial_with_null_for_the_missing_total(run_collect, read_db, fleet):
    fleet.set_fault("HX3000003", Fault("connection_failure", object_ids=["three_phase_total_reactive_export"]))
    summary = run_collect(["HX3000003"], whats=("registers",))

    assert summary.partial == 1
    assert read_db("SELECT outcome, code FROM attempts") == [("partial", "TOTALS_NOT_READ")]
    row = read_db("SELECT reactive_export_kvarh, active_import_kwh FROM registers")[0]
    assert row[0] is None and row[1] is not None


@BACKENDS
def test_missing_intervals_are_absent_rows_and_the_exact_gaps(simulator, fleet, run_collect, read_db, db):
    holes = [dt.datetime(2025, 6, 1, h, m, tzinfo=UTC) for h, m in ((3, 30), (4, 0), (17, 0))]
    fleet["HX3000004"].missing_intervals.update(int(t.timestamp()) for t in holes)
    fleet.set_fault("HX3000001", Fault(status="NOT_FOUND", operations=["message"]))
    run_collect()

    assert read_db("SELECT count(*) FROM intervals WHERE serial = 'HX3000004'") == [(45,)]
    assert read_db("SELECT count(*) FROM intervals WHERE active_import_kwh = 0 AND serial = 'HX3000004'") == [(0,)]
    with open_store(db, read_only=True) as store:
        report = gaps(store, [DAY])
    by_serial = {m["serial"]: m for m in report["meters"]}
    assert set(by_serial) == {"HX3000001", "HX3000004"}
    assert [(f["what"], f["code"]) for f in by_serial["HX3000001"]["failed"]] == [("intervals", "NOT_FOUND")]
    assert by_serial["HX3000004"]["missing_slots"] == [{"day": DAY, "slots": holes}]
    assert report["counts"] == {"meters_with_gaps": 2, "failed": 1, "missing_slots": 3, "not_collected": 0}


@BACKENDS
def test_gaps_name_days_never_collected(run_collect, db):
    run_collect(["HX3000001"], whats=("intervals",))
    with open_store(db, read_only=True) as store:
        report = gaps(store, [DAY, DAY + dt.timedelta(days=1)])
    assert report["meters"] == [
        {"serial": "HX3000001", "failed": [], "missing_slots": [], "not_collected": [DAY + dt.timedelta(days=1)]}
    ]


@BACKENDS
def test_the_meters_a_run_planned_are_known_to_gaps_even_when_it_stored_nothing(simulator, run_collect, read_db,
                                                                                db):
    import threading

    from norvo_halvex.collect import CollectOptions, collect

    serials = ["HX1000001", "HX3000001", "NOPE"]
    stopped = threading.Event()
    stopped.set()  # stopped before the first meter-day: nothing of them is stored
    first = collect(serials, CollectOptions(day=DAY), mediator=simulator.address, store=db, stop=stopped)
    assert first.done == 0 and read_db("SELECT count(*) FROM attempts") == [(0,)]
    with open_store(db, read_only=True) as store:
        report = gaps(store, [DAY])
    assert [(m["serial"], m["not_collected"]) for m in report["meters"]] == [(s, [DAY]) for s in sorted(serials)]
    planned = read_db("SELECT serial, planned_at FROM planned ORDER BY serial")
    run_collect(serials)  # planned again: the first plan stays
    assert read_db("SELECT serial, planned_at FROM planned ORDER BY serial") == planned


@BACKENDS
def test_a_collection_starts_the_meters_the_store_knows_to_be_three_phase(run_collect, db):
    serials = ["HX1000001", "HX3000001"]
    run_collect(serials, whats=("registers",), workers=1)
    with open_store(db) as store:
        known = [store.three_phase(serial) for serial in (*serials, "HX9")]
    seen = []
    run_collect(serials, whats=("registers",), workers=1, on_result=lambda result, summary: seen.append(result.serial))
    assert known == [False, True, None]
    assert seen == ["HX3000001", "HX1000001"]


@BACKENDS
def test_a_mediator_stopped_mid_run_leaves_whole_meter_days_and_resumes(simulator, fleet, run_collect, read_db):
    seen = []

    def stop_after_two(result, summary):
        seen.append(result.serial)
        if len(seen) == 2:
            simulator.stop()

    first = run_collect(workers=1, on_result=stop_after_two, group_seconds=0)
    assert first.ok >= 2 and first.failed >= 1 and first.done == 8

    counts = dict(read_db("SELECT serial, count(*) FROM intervals GROUP BY serial"))
    assert set(counts.values()) <= {48}  # whole days or nothing
    done = {s for s, in read_db("SELECT DISTINCT serial FROM attempts WHERE outcome = 'ok'")}
    assert done >= set(seen[:2])

    with start_simulator(fleet) as again:
        second = run_collect(mediator=again.address, resume=True)
    assert second.failed == 0 and second.skipped >= 2
    assert dict(read_db("SELECT serial, count(*) FROM intervals GROUP BY serial")) == dict.fromkeys(THREE_PHASE, 48)
    again_serials = {s for s, in read_db("SELECT DISTINCT serial FROM attempts WHERE run_id = ?", [second.run_id])}
    assert again_serials.isdisjoint(seen[:2])


@BACKENDS
@pytest.mark.parametrize(
    "second, stored, a_rewritten",
    [
        # Nothing held yet: plain inserts.
        ([("B", "1.500", 1800)], {"A": ("1.500", 1800), "B": ("1.500", 1800)}, False),
        # Held already: the rows that changed are rewritten, the others stay as they were.
        ([("A", "2.250", 1800), ("C", "1.500", 1800)], {"A": ("2.250", 1800), "C": ("1.500", 1800)}, True),
        ([("A", "1.500", 900)], {"A": ("1.500", 900)}, False),
    ],
)
def test_writes_insert_new_rows_and_rewrite_only_changed_ones(db, second, stored, a_rewritten):
    def a_stamps(store):
        return query(store, "SELECT collected_at FROM intervals WHERE serial = 'A' ORDER BY collected_at")

    with open_store(db) as store:
        store.write("run1", meter_day("A"))
        before = a_stamps(store)
        store.write_many("run2", [meter_day(s, v, seconds=n) for s, v, n in second])
        rows = query(store, "SELECT i.serial, max(active_import_kwh), max(m.interval_seconds) FROM intervals i "
                            "JOIN meters m USING (serial) GROUP BY i.serial")
        after = a_stamps(store)
    expected = {"A": ("1.500", 1800), **stored}
    assert {s: (v, n) for s, v, n in rows} == {s: (Decimal(v), n) for s, (v, n) in expected.items()}
    assert (after != before) == a_rewritten


@BACKENDS
@pytest.mark.parametrize("held_before", [False, True])
def test_a_transaction_that_fails_stores_none_of_its_meter_days(db, held_before):
    """A write that fails part-way (here a bad ledger row of the second meter-day) leaves
    no row of any meter-day of that transaction, on the insert path and the upsert path."""
    with open_store(db) as store:
        if held_before:
            store.write("run1", meter_day("A"))
        before = {t: table_rows(store, t) for t in DATA_TABLES}
        with pytest.raises(Exception, match="(?i)check") as refused:
            store.write_many("run2", [meter_day("A", "9.000"), meter_day("B", outcome="fine")])
        assert type(refused.value).__module__.split(".")[0] in ("duckdb", "_duckdb", "psycopg")
        assert {t: table_rows(store, t) for t in DATA_TABLES} == before
        store.write("run3", meter_day("B"))  # the store and its meters cache are still usable
        assert query(store, "SELECT count(*) FROM meters WHERE serial = 'B'") == [(1,)]


@BACKENDS
@pytest.mark.parametrize(
    "fault, rule, value",
    [
        ({"kind": "shifted_intervals"}, "grid", "2025-06-01T00:00:07+00:00"),
        ({"kind": "wrong_interval_length", "seconds": 1}, "interval_length", "last 1 s"),
        ({"kind": "duplicated_intervals"}, "duplicate", "2025-06-01T03:30:00+00:00"),
        ({"kind": "too_many_intervals"}, "too_many", "holds 18 intervals"),
    ],
)
def test_a_download_off_the_meters_grid_is_refused_whole(run_collect, read_db, fleet, db, fault, rule, value):
    """Nothing of it is stored, gaps names it, and an honest resume stores the day once."""
    fleet.set_fault("HX3000001", Fault(**fault))
    first = run_collect(["HX3000001", "HX3000002"], whats=("intervals",))

    assert (first.ok, first.failed) == (1, 1)
    ((code, message),) = read_db("SELECT code, message FROM attempts WHERE serial = 'HX3000001'")
    assert code == "INVALID_INTERVALS" and message.startswith(f"{rule}: ") and value in message
    assert read_db("SELECT count(*) FROM intervals WHERE serial = 'HX3000001'") == [(0,)]
    with open_store(db, read_only=True) as store:
        listed = [(m["serial"], [(f["code"], f["message"]) for f in m["failed"]]) for m in gaps(store, [DAY])["meters"]]
    assert listed == [("HX3000001", [(code, message)])]

    fleet.clear_fault("HX3000001")
    again = run_collect(["HX3000001", "HX3000002"], whats=("intervals",), resume=True)
    assert (again.ok, again.skipped) == (1, 1)
    assert dict(read_db("SELECT serial, count(*) FROM intervals GROUP BY serial")) == {"HX3000001": 48, "HX3000002": 48}


@BACKENDS
@pytest.mark.parametrize(
    "what, rows_at_noon, rows_after",
    [("intervals", 24, 48), ("registers", 1, 1), ("events", None, None)],
)
def test_a_day_not_over_is_partial_and_a_later_resume_completes_it(run_collect, read_db, fleet, db, what,
                                                                    rows_at_noon, rows_after):
    noon, next_morning = (dt.datetime.combine(DAY + dt.timedelta(days=d), dt.time(h), tzinfo=UTC)
                          for d, h in ((0, 12), (1, 1)))
    fleet.freeze_time(noon)
    first = run_collect(["HX3000001"], whats=(what,), now=noon)

    assert first.partial == 1
    ((outcome, code, noon_rows),) = read_db("SELECT outcome, code, rows FROM attempts")
    assert (outcome, code) == ("partial", "DAY_NOT_OVER") and noon_rows == (rows_at_noon or noon_rows)
    with open_store(db, read_only=True) as store:
        (meter,) = gaps(store, [DAY])["meters"]
    assert ([(f["what"], f["code"]) for f in meter["failed"]], meter["missing_slots"]) == ([(what, code)], [])

    fleet.freeze_time(next_morning)
    second = run_collect(["HX3000001"], whats=(what,), now=next_morning, resume=True)
    assert (second.ok, second.skipped) == (1, 0)
    later_rows = read_db("SELECT rows FROM attempts WHERE run_id = ?", [second.run_id])[0][0]
    assert later_rows == (rows_after or later_rows) and later_rows >= noon_rows
    if what == "registers":  # the noon reading stays beside the day's final one
        assert read_db("SELECT final FROM registers ORDER BY read_at") == [(False,), (True,)]
    assert (run_collect(["HX3000001"], whats=(what,), now=next_morning, resume=True).skipped, ) == (1,)
    day_end = dt.datetime.combine(DAY + dt.timedelta(days=1), dt.time(0), tzinfo=UTC)
    assert read_db("SELECT count(*) FROM events WHERE event_time >= ?", [day_end]) == [(0,)]


def _as_older(db, version, off_grid):
    """The store at ``db`` turned into the layout an older halvex wrote: version 2 kept no
    plans; version 1 also had no zones, registers by instant alone and no grid check (with an
    interval off the grid if asked)."""
    import duckdb

    with duckdb.connect(db) as con:
        con.execute("SET TimeZone = 'UTC'")
        con.execute("DROP TABLE planned")
        if version == 1:
            for table, dropped in (("registers", "EXCLUDE (day, zone, final)"), ("attempts", "EXCLUDE (zone)"),
                                   ("intervals", "")):
                con.execute(f"CREATE TABLE old AS SELECT * {dropped} FROM {table}")
                con.execute(f"DROP TABLE {table}")
                con.execute(f"ALTER TABLE old RENAME TO {table}")
        con.execute(f"UPDATE schema_info SET value = '{version}'")
        if off_grid:
            con.execute("INSERT INTO intervals SELECT * REPLACE (interval_start + INTERVAL 7 SECOND AS interval_start) "
                        "FROM intervals LIMIT 1")


@pytest.mark.parametrize("version, off_grid", [(1, False), (1, True), (2, False)],
                         ids=["version-1", "version-1-off-grid", "version-2"])
@pytest.mark.parametrize("read_only", [False, True], ids=["collect", "gaps"])
def test_an_older_store_is_brought_up_to_date_in_place_or_left_as_it_was(run_collect, db, version, off_grid,
                                                                         read_only, fleet):
    import hashlib
    import pathlib

    from norvo_halvex.collect import StoreError

    run_collect(whats=("intervals", "registers"))
    with Store(db, read_only=True) as store:
        before = {t: store.con.execute(f"SELECT count(*) FROM {t}").fetchone() for t in DATA_TABLES}
    _as_older(db, version, off_grid)
    digest = hashlib.sha256(pathlib.Path(db).read_bytes()).hexdigest()

    if off_grid:
        with pytest.raises(StoreError, match="holds 1 interval rows off the meters' 30-minute grid"):
            Store(db, read_only=read_only)
        assert hashlib.sha256(pathlib.Path(db).read_bytes()).hexdigest() == digest
        return
    with Store(db, read_only=read_only) as store:
        con = store.con
        assert con.execute("SELECT value FROM schema_info").fetchall() == [("3",)]
        assert {t: con.execute(f"SELECT count(*) FROM {t}").fetchone() for t in DATA_TABLES} == before
        # Each reading is the day's of the try that read it; every try was a UTC day.
        assert con.execute("SELECT DISTINCT day, zone, final FROM registers").fetchall() == [(DAY, "UTC", True)]
        assert con.execute("SELECT DISTINCT zone FROM attempts").fetchall() == [("UTC",)]
        # No plans were kept: the ledger names the meters the store knows.
        assert con.execute("SELECT count(*) FROM planned").fetchone() == (0,)
        assert store.known_serials() == sorted(fleet.meters)
    assert run_collect(resume=True).skipped == 8  # the ledger carried over whole


@pytest.mark.parametrize("read_only", [False, True], ids=["collect", "gaps"])
@pytest.mark.parametrize(
    "statement",
    ["SELECT content FROM read_text('{secret}')", "COPY (SELECT 1) TO '{folder}/out.csv'", "INSTALL sqlite",
     "ATTACH '{folder}/other.duckdb' AS other"],
    ids=["read-a-file", "write-a-file", "install", "attach"],
)
def test_a_store_connection_touches_no_file_but_the_store_and_loads_nothing(db, token_file, tmp_path, read_only,
                                                                           statement):
    Store(db).close()
    with Store(db, read_only=read_only) as store, pytest.raises(duckdb.Error, match="disabled|Cannot access"):
        store.con.execute(statement.format(secret=token_file, folder=tmp_path))
    assert sorted(os.listdir(tmp_path)) == ["halvex.duckdb", "token"]


def test_export_may_write_in_the_folder_it_was_given_and_only_there_and_then(db, tmp_path):
    Store(db).close()
    inside = tmp_path / "inside"
    inside.mkdir()
    with Store(db, read_only=True) as store:
        with store.files_in(str(inside)) as con:
            con.execute(f"COPY (SELECT 1) TO '{inside}/a.csv'")
            with pytest.raises(duckdb.PermissionException):
                con.execute(f"COPY (SELECT 1) TO '{tmp_path}/b.csv'")
        with pytest.raises(duckdb.PermissionException):
            store.con.execute(f"COPY (SELECT 1) TO '{inside}/c.csv'")
        assert store.con.execute("SELECT count(*) FROM intervals").fetchone() == (0,)
    assert os.listdir(inside) == ["a.csv"]


def test_a_sqlite_file_given_as_store_is_refused_without_fetching_a_reader_for_it(tmp_path):
    import sqlite3

    path = tmp_path / "x.sqlite"
    with contextlib.closing(sqlite3.connect(path)) as con:
        con.execute("CREATE TABLE t (a)")
        con.commit()
    run = run_tool("gaps", "--db", path, HOME=str(tmp_path))  # where DuckDB would keep what it fetched
    assert run.code == 7 and f"{path} is not a DuckDB database (reading it would take a DuckDB extension" in run.err
    assert os.listdir(tmp_path) == ["x.sqlite"]
