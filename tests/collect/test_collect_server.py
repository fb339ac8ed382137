"""The PostgreSQL store beyond what both backends share: credentials that are never shown,
several writers at once, roles with fewer rights, exports equal to the DuckDB store's."""

from __future__ import annotations

import datetime as dt
import json
import os
import threading
import time
import urllib.parse

import pytest

from collect_support import DAY, THREE_PHASE, meter_day, query
from norvo_halvex.collect import CollectOptions, collect, export, open_store
from support import postgres
from support.processes import Run

ALL = ("intervals", "registers", "events")


@pytest.fixture
def halvex(capsys, monkeypatch):
    from norvo_halvex.cli import main

    for variable in [v for v in os.environ if v.startswith(("HALVEX_", "PG"))]:
        monkeypatch.delenv(variable)
    return lambda *argv: Run(main([str(a) for a in argv]), *capsys.readouterr())


@pytest.fixture
def schema(postgres_server, request):
    return "s_" + "".join(c if c.isalnum() else "_" for c in request.node.name.lower())[-40:]


@pytest.mark.parametrize(
    "given, code",
    [
        ("in the URL", 0),
        ("PGPASSWORD", 0),
        ("~/.pgpass", 0),
        ("a wrong one in the URL", 7),
        ("none", 7),
    ],
)
def test_the_password_is_taken_where_libpq_looks_and_never_shown(halvex, postgres_server, schema, tmp_path,
                                                                   monkeypatch, given, code):
    server, secret = postgres_server, postgres.PASSWORD
    password = {"in the URL": secret, "a wrong one in the URL": secret[::-1]}.get(given)
    url = server.url(user=postgres.PASSWORD_ROLE, password=password, schema=schema)
    monkeypatch.setenv("HOME", str(tmp_path))
    if given == "PGPASSWORD":
        monkeypatch.setenv("PGPASSWORD", secret)
    if given == "~/.pgpass":
        pgpass = tmp_path / ".pgpass"
        pgpass.write_text(f"{server.socket_dir}:{server.port}:*:{postgres.PASSWORD_ROLE}:{secret}\n")
        pgpass.chmod(0o600)

    report = tmp_path / "run.json"
    runs = [halvex("--simulate", "collect", "HX3000001", "--day", DAY, "--db", url, "--report", report, *extra)
            for extra in ((), ("--json",))]
    runs += [halvex("gaps", "--db", url, "--day", DAY, *extra) for extra in ((), ("--json",))]
    runs.append(halvex("export", "--db", url, "--day", DAY, "--format", "jsonl", "--out", "-"))
    monkeypatch.setenv("HALVEX_DB", url)
    runs.append(halvex("config", "show", "--json"))

    assert [r.code for r in runs] == [code, code, code, code, 0 if code == 0 else 7, 0]
    for text in [r.out + r.err for r in runs] + [report.read_text() if report.exists() else ""]:
        assert secret not in text and secret[::-1] not in text
    shown = url.replace(urllib.parse.quote(password, safe=""), "***") if password else url
    if code:
        assert f"cannot connect to the store {shown}: " in runs[0].err
        assert "password" in runs[0].err  # libpq's reason: none supplied, or authentication failed
    else:
        assert runs[1].json()["result"]["db"] == shown == json.loads(report.read_text())["db"]
        assert runs[4].out.startswith('{"serial":"HX3000001"')
    assert {"setting": "db", "value": shown, "source": "$HALVEX_DB"} in runs[5].json()["result"]["settings"]


def test_two_collections_of_overlapping_fleets_store_every_row_once(postgres_server, schema, simulator, fleet):
    """Two collections at once, one transaction per meter-day, each through its own
    connection, share half their meters; the meters' clocks run, so each run reads other
    registers: a meter-day keeps the first final reading only."""
    fleet.time_source = time.time
    url = postgres_server.url(schema=schema)
    serials = sorted(fleet.meters)
    halves = (serials[:6], serials[2:])
    day = dt.datetime.now(dt.timezone.utc).date() - dt.timedelta(days=1)
    summaries, failures = [], []
    start = threading.Barrier(2)

    def run(part):
        try:
            start.wait()
            summaries.append(collect(part, CollectOptions(day=day, whats=ALL, workers=4, retries=0, group_seconds=0),
                                     mediator=simulator.address, store=url))
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(e)

    threads = [threading.Thread(target=run, args=(part,)) for part in halves]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    assert failures == [] and sorted(s.ok for s in summaries) == [6, 6]
    with open_store(url, read_only=True) as store:
        assert dict(query(store, "SELECT serial, count(*) FROM intervals GROUP BY serial")) == dict.fromkeys(
            THREE_PHASE, 48)
        assert query(store, "SELECT serial, count(*), count(*) FILTER (WHERE final) FROM registers GROUP BY serial "
                            "ORDER BY serial") == [(s, 1, 1) for s in serials]
        events = query(store, "SELECT count(*), count(DISTINCT (serial, event_time, code, detail)) FROM events")
        assert events[0][0] == events[0][1] > 0
        assert query(store, "SELECT count(DISTINCT run_id), count(*) FROM attempts") == [(2, 3 * (6 + 6))]


def test_writers_of_the_same_meter_days_in_opposite_orders_neither_deadlock_nor_lose_rows(postgres_server, schema):
    """Two connections write overlapping batches over and over, one in the other's reverse
    order, the second pass with changed values (the upsert path)."""
    url = postgres_server.url(schema=schema)
    open_store(url).close()
    serials = [f"M{i:02d}" for i in range(12)]
    failures = []
    start = threading.Barrier(2)

    def writer(name, order):
        try:
            with open_store(url) as store:
                start.wait()
                for n in range(6):
                    store.write_many(f"{name}-{n}", [meter_day(s, "2.000" if n % 2 else "1.000") for s in order])
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(e)

    threads = [threading.Thread(target=writer, args=("up", serials)),
               threading.Thread(target=writer, args=("down", serials[::-1]))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    assert failures == []
    with open_store(url, read_only=True) as store:
        assert query(store, "SELECT count(*), count(DISTINCT serial), min(active_import_kwh) FROM intervals") == [
            (3 * 12, 12, 2)]
        assert query(store, "SELECT count(*) FROM attempts") == [(2 * 6 * 12,)]


@pytest.mark.parametrize(
    "grants, again, code, message",
    [
        ("SELECT, INSERT", False, 0, None),
        # A stored day collected again rewrites changed rows: an upsert needs UPDATE.
        ("SELECT, INSERT", True, 7, "permission denied for table"),
        ("SELECT, INSERT, UPDATE", True, 0, None),
    ],
)
def test_a_role_that_may_only_insert_and_select_collects_new_days(halvex, postgres_server, schema, grants, again,
                                                                   code, message):
    server = postgres_server
    owner = server.url(schema=schema)
    # The owner makes the tables (a day of intervals: the registers read below are the first).
    halvex("--simulate", "collect", "HX3000001", "--day", DAY - dt.timedelta(days=1), "--what", "intervals",
           "--db", owner)
    role = f"r_{schema}"[:60]
    server.psql(f"CREATE ROLE {role} LOGIN; GRANT USAGE ON SCHEMA {schema} TO {role}; "
                f"GRANT {grants} ON ALL TABLES IN SCHEMA {schema} TO {role}")
    url = server.url(user=role, schema=schema)
    if again:
        assert halvex("--simulate", "collect", "HX3000001", "--day", DAY, "--db", owner).code == 0

    run = halvex("--simulate", "collect", "HX3000001", "--day", DAY, "--db", url, "--retries", "0")

    assert run.code == code, run.err
    if message:
        assert message in run.err and "UPDATE on meters, intervals, registers and events" in run.err
    assert halvex("gaps", "--db", url, "--day", DAY).code == 0


def test_exports_from_both_backends_are_the_same_files(run_collect, postgres_server, schema, db, tmp_path):
    """The same meter-days in a DuckDB file and in PostgreSQL, every table in every format:
    the same bytes (the write instants made equal first)."""
    results = []
    first = run_collect(whats=ALL, on_result=lambda result, summary: results.append(result))
    url = postgres_server.url(schema=schema)
    with open_store(url) as store:
        store.write_many(first.run_id, results)
    stamp = dt.datetime(2025, 6, 3, 4, 5, 6, tzinfo=dt.timezone.utc)
    for target in (db, url):
        with open_store(target) as store:
            for table in ("intervals", "registers", "events"):
                query(store, f"UPDATE {table} SET collected_at = ?", [stamp])

    for table in ("intervals", "registers", "events", "attempts"):
        for fmt in ("parquet", "csv", "jsonl"):
            outputs = []
            for n, target in enumerate((db, url)):
                out = tmp_path / f"{table}-{n}.{fmt}"
                with open_store(target, read_only=True) as store:
                    rows = export(store, table, [DAY], fmt, str(out))
                outputs.append((rows, out.read_bytes()))
            assert outputs[0][0] > 0 and outputs[0] == outputs[1], (table, fmt)


@pytest.mark.parametrize("command", [("gaps",), ("--simulate", "collect", "HX3000001", "--resume")])
def test_a_version_2_schema_is_brought_up_to_date_by_the_first_command(halvex, postgres_server, schema, command):
    url = postgres_server.url(schema=schema)
    assert halvex("--simulate", "collect", "HX3000001", "--day", DAY, "--db", url).code == 0
    postgres_server.psql(f"DROP TABLE {schema}.planned; UPDATE {schema}.schema_info SET value = '2'")

    run = halvex(*command, "--day", DAY, "--db", url)

    assert run.code == 0, run.err
    assert postgres_server.psql(f"SELECT value FROM {schema}.schema_info").strip() == "3"
    # the old ledger has no plans; a collection records its plan from now on
    planned = postgres_server.psql(f"SELECT serial FROM {schema}.planned").split()
    assert planned == ([] if command == ("gaps",) else ["HX3000001"])
