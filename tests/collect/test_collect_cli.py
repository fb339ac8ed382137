"""halvex collect / gaps / export as a user runs them."""

from __future__ import annotations

import contextlib
import datetime as dt
import hashlib
import json
import os

from zoneinfo import ZoneInfo

import pytest

from collect_support import BACKENDS, DAY, THREE_PHASE, UTC
from norvo_halvex.collect import Store
from norvo_halvex.mediator.simulator import Fault
from support.processes import Run, interrupt, running, running_tool


@pytest.fixture
def halvex(capsys, monkeypatch):
    """The tool in this process, without this process's HALVEX_* settings."""
    from norvo_halvex.cli import main

    for variable in [v for v in os.environ if v.startswith("HALVEX_")]:
        monkeypatch.delenv(variable)
    return lambda *argv: Run(main([str(a) for a in argv]), *capsys.readouterr())


@pytest.fixture
def fleet_file(tmp_path):
    """A fleet file of three meters, with a fault for each serial given."""
    def write(**fault_by_serial):
        meters = [{"serial": s, "kind": k, **({"fault": fault_by_serial[s]} if s in fault_by_serial else {})}
                  for s, k in (("HX1000001", "single_element"), ("HX3000001", "three_phase_ax"),
                               ("HX3000002", "three_phase_cx"))]
        path = tmp_path / "fleet.json"
        path.write_text(json.dumps({"meters": meters}))
        return str(path)

    return write


@BACKENDS
def test_collect_then_gaps_then_export_through_the_tool(halvex, fleet_file, db, tmp_path, monkeypatch):
    fleet = fleet_file(HX3000002={"kind": "connection_failure", "operations": ["message"]})
    run = halvex("--simulate", "--fleet", fleet, "collect", "--day", DAY, "--db", db, "--retries", "0", "--json")
    assert run.code == 6
    assert run.json()["result"]["meter_days"] == {"planned": 3, "ok": 2, "partial": 1, "failed": 0, "skipped": 0,
                                                  "dropped": 0, "not_tried": 0}
    assert "halvex: meter HX3000002: 2025-06-01 intervals failed: HALVEX_CONNECTION_FAILURE" in run.err

    # The store alone is read: mediator settings, even unusable ones, play no part; the
    # store may come from the environment.
    monkeypatch.setenv("HALVEX_MEDIATOR", "no-port-here")
    monkeypatch.setenv("HALVEX_TLS_CA", str(tmp_path / "missing-ca.pem"))
    monkeypatch.setenv("HALVEX_DB", db)
    run = halvex("gaps", "--day", DAY)
    lines = run.out.splitlines()
    assert run.code == 6
    assert lines[0].startswith("HX3000002  2025-06-01  intervals  failed  HALVEX_CONNECTION_FAILURE: ")
    assert lines[-1] == ("1 meters with gaps in 2025-06-01: 1 failed parts, 0 missing interval slots, "
                         "0 meter-days not collected")

    run = halvex("export", "--db", db, "--day", DAY, "--format", "csv", "--out", "-")
    lines = run.out.splitlines()
    assert run.code == 0
    assert lines[0].startswith("serial,interval_start,active_import_kwh,")
    assert len(lines) == 1 + 48 and lines[1].startswith("HX3000001,2025-06-01T00:00:00+00:00,")

    monkeypatch.delenv("HALVEX_MEDIATOR")
    monkeypatch.delenv("HALVEX_TLS_CA")
    assert halvex("--simulate", "--fleet", fleet_file(), "collect", "--day", DAY, "--db", db, "--resume").code == 0
    run = halvex("gaps", "--db", db, "--day", DAY, "--json")
    assert (run.code, run.json()["result"]["meters"]) == (0, [])


@pytest.mark.parametrize(
    "argv, message",
    [
        (("collect", "--simulate", "--what", "tariffs"), "--what: unknown part(s) 'tariffs'"),
        (("collect", "--simulate", "--day", "2999-01-01"), "--day 2999-01-01 is in the future"),
        (("collect", "--simulate", "--days", "0"), "--days must be at least 1"),
        (("collect", "--simulate", "--cluster", "local:x"), "expected local:N with N >= 1"),
        (("collect", "--simulate", "--cluster", "tcp://10.1.2.3:8786"), "would send work to 10.1.2.3 without TLS"),
        (("collect", "--simulate", "--cluster-tls-ca", "ca.pem"), "--cluster-tls-ca applies to --cluster only"),
        (("collect", "--simulate", "--cluster", "local:2", "--cluster-insecure"),
         "--cluster-insecure applies to a scheduler address only"),
        (("collect", "--simulate", "--retries", "-1"), "--retries must be 0 or more"),
        (("collect", "--simulate", "--cluster", "local:1", "--workers-write"),
         "--workers-write needs --cluster and a PostgreSQL store"),
        (("collect", "--simulate", "--wait", "-1"), "--wait must be 0 or more"),
        (("export", "--format", "parquet", "--out", "-"), "parquet is binary"),
        (("gaps", "--day", "2025-13-01"), "bad date '2025-13-01'"),
        (("report", "--day", DAY, "--from", DAY, "--out", "r.html"), "give --day D or --from D [--to D], not both"),
        (("report", "--to", DAY, "--out", "r.html"), "--to needs --from"),
        (("report", "--from", "2025-06-02", "--to", DAY, "--out", "r.html"), "--from 2025-06-02 is after --to"),
        (("report", "--from", "2999-01-01", "--out", "r.html"), "--from 2999-01-01 is after yesterday"),
        (("report", "--from", "2020-01-01", "--to", DAY, "--out", "r.html"), "a report shows at most 366"),
        (("report", "--day", "2999-01-01", "--out", "r.html"), "--day 2999-01-01 is in the future"),
        (("report", "--day", DAY, "--tz", "Asia/Kathmandu", "--out", "r.html"), "begins or ends at 18:15 UTC"),
    ],
)
def test_usage_errors_exit_2_before_anything_runs(halvex, db, argv, message):
    run = halvex(*argv, "--db", db)
    assert run.code == 2 and message in run.err
    assert not os.path.exists(db)


@pytest.mark.parametrize(
    "argv, message",
    [
        (("--simulate", "collect", "--db", "{tmp}"), "--db {tmp} is a folder"),
        (("--simulate", "collect", "--db", "{tmp}/none/x.duckdb"), "cannot write --db {tmp}/none/x.duckdb: no such folder"),
        (("gaps", "--db", "{tmp}"), "--db {tmp} is a folder"),
        (("gaps", "--db", "{tmp}/none.duckdb"), "no store at {tmp}/none.duckdb: run 'halvex collect --db"),
        (("export", "--db", "{db}", "--format", "csv", "--out", "{tmp}"), "cannot write --out {tmp}: is a folder"),
        (("export", "--db", "{db}", "--format", "csv", "--out", "{tmp}/none/x.csv"), "cannot write --out {tmp}/none/x.csv: no such folder"),
        (("report", "--db", "{tmp}", "--out", "{tmp}/r.html"), "--db {tmp} is a folder"),
        (("report", "--db", "{tmp}/none.duckdb", "--out", "{tmp}/r.html"), "no store at {tmp}/none.duckdb"),
        (("report", "--db", "{db}", "--out", "{tmp}"), "cannot write --out {tmp}: is a folder"),
    ],
)
def test_a_store_or_output_this_machine_cannot_use_is_exit_7_before_anything_runs(halvex, tmp_path, db, argv, message):
    Store(db).close()
    fill = {"tmp": str(tmp_path), "db": db}
    before = sorted(p.name for p in tmp_path.iterdir())
    run = halvex(*(a.format(**fill) for a in argv), "--day", DAY, "--json")
    assert run.code == 7 == run.json()["error"]["exit_code"]
    assert run.err.startswith("halvex: " + argv[argv[0] == "--simulate"] + ": ")
    assert message.format(**fill) in run.err
    assert sorted(p.name for p in tmp_path.iterdir()) == before


@pytest.mark.parametrize(
    "options, code, failure",
    [
        (("--tls-ca", "{ca}", "--token-file", "{token}"), 0, None),
        (("--tls-ca", "{other_ca}", "--token-file", "{token}"), 8, "UNTRUSTED_CERTIFICATE"),
        (("--tls-ca", "{ca}"), 8, "UNAUTHENTICATED"),
    ],
)
def test_collect_uses_the_connection_options_and_security_failures_exit_8(halvex, secure_simulator, tls_files,
                                                                         token_file, db, options, code, failure):
    values = {"ca": tls_files.ca, "other_ca": tls_files.other_ca, "token": str(token_file)}
    run = halvex("--mediator", secure_simulator.address, *(o.format(**values) for o in options),
                 "collect", "HX1000001", "HX3000001", "--day", DAY, "--db", db, "--retries", "0", "--json")
    assert run.code == code, run.err
    assert {f["code"] for f in run.json()["result"]["failures"]} == ({failure} if failure else set())
    assert token_file.read_text().strip() not in run.out + run.err


@pytest.mark.parametrize("command", ["collect", "fleet"])
@pytest.mark.parametrize(
    "meters, code",
    [
        ({"NOPE1": None, "NOPE2": None}, 3),
        ({"HX1000001": Fault("malformed_reply"), "NOPE": None}, 5),
        ({"HX1000001": Fault(status="INTERNAL", details="mediator bug"), "NOPE": None}, 4),
        ({"HX1000001": None, "NOPE": None}, 6),
    ],
    ids=["unknown-meters", "bad-reply-and-unknown", "mediator-and-unknown", "one-read"],
)
def test_when_everything_failed_the_exit_code_is_the_failures_own(halvex, simulator, fleet, db, command, meters, code):
    for serial, fault in meters.items():
        if fault is not None:
            fleet.set_fault(serial, fault)
    options = ("--day", DAY, "--db", db, "--retries", "0") if command == "collect" else ()
    run = halvex("--mediator", simulator.address, command, *meters, *options)
    assert run.code == code, run.err
    if command == "collect":
        # nothing was stored: that is no partial collection
        head = "done: 1 ok" if code == 6 else "failed: 0 ok, 0 partial, 2 failed"
        assert f"halvex: collect {head}" in run.err


@pytest.mark.parametrize("runner", [(), ("--cluster", "local:1")], ids=["threads", "dask"])
def test_ctrl_c_stops_cleanly_and_keeps_whole_meter_days(tmp_path, read_db, db, runner):
    """SIGINT in the middle of a slow collection: exit 130, a summary saying so and nothing
    else (no log lines of the calls cut short or of the cluster winding down), and a store
    holding whole meter-days only."""
    fleet = tmp_path / "slow.json"
    fleet.write_text(json.dumps({"generate": {"count": 40, "kinds": ["three_phase_ax"], "fault": {"latency": 0.02}}}))
    with running_tool("--simulate", "--fleet", fleet, "collect", "--day", DAY, "--db", db, "--workers", "2",
                      *runner) as proc:
        first = proc.stderr.readline()  # the first progress line: some meter-days are stored
        run = interrupt(proc)
    assert run.code == 130
    assert first.startswith("halvex: collect: ")
    assert "halvex: collect interrupted: " in run.err
    assert all(line.startswith("halvex: collect") for line in run.err.splitlines()), run.err
    counts = [n for _, n in read_db("SELECT serial, count(*) FROM intervals GROUP BY serial")]
    tried = read_db("SELECT count(DISTINCT serial) FROM attempts")[0][0]
    assert set(counts) == {48} and 0 < len(counts) == tried < 40


def test_a_refused_token_stops_after_the_first_failures_with_exit_8(halvex, secure_simulator, tls_files, tmp_path, db):
    wrong = tmp_path / "wrong-token"
    wrong.write_text("not-the-token\n")
    wrong.chmod(0o600)
    run = halvex("--mediator", secure_simulator.address, "--tls-ca", tls_files.ca, "--token-file", wrong,
                 "collect", "--day", DAY, "--days", "3", "--db", db, "--workers", "2",
                 *sorted(secure_simulator.fleet.meters))
    assert run.code == 8, run.err
    causes = [line for line in run.err.splitlines() if line.startswith("halvex: collect stopped after 3 meter-days")]
    assert len(causes) == 1 and "(UNAUTHENTICATED)" in causes[0] and str(wrong) in causes[0]
    with Store(db, read_only=True) as store:
        tried = store.con.execute("SELECT count(DISTINCT (serial, day)) FROM attempts").fetchone()[0]
    assert 3 <= tried <= 3 + 2 * 2 + 1 < 24  # the limit and what was in flight; the rest not tried
    assert "not tried" in run.err and "  intervals  failed   UNAUTHENTICATED" in run.err


@pytest.mark.parametrize("argv, complete", [
    (("fleet", *[f"HXG{n:06d}" for n in range(60)]), False),
    (("collect", "--day", DAY, "--days", "2", "--db", "{db}"), True),
], ids=["fleet", "collect"])
def test_a_reader_that_goes_away_ends_the_printing_not_the_work(tmp_path, db, read_db, argv, complete):
    """`halvex ... 2>&1 | head -1`: never exit 1; a collection still stores every meter-day."""
    import subprocess
    import sys

    from support.processes import TOOL, tool_env

    fleet = tmp_path / "fleet.json"
    fleet.write_text(json.dumps({"generate": {"count": 60, "kinds": ["three_phase_ax", "single_element"],
                                              "fault": {"latency": 0.01}}}))
    proc = subprocess.Popen([sys.executable, "-m", TOOL, "--simulate", "--fleet", str(fleet),
                             *(str(a).format(db=db) for a in argv)],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                            env=tool_env())
    proc.stdout.readline()
    proc.stdout.close()  # head -1 has its line
    assert proc.wait(timeout=120) == 141
    if complete:
        assert read_db("SELECT count(DISTINCT (serial, day)) FROM attempts")[0][0] == 120


def test_report_and_metrics_say_what_each_run_did(halvex, fleet_file, db, tmp_path):
    from prometheus_client.parser import text_string_to_metric_families

    report, metrics = tmp_path / "run.json", tmp_path / "halvex.prom"

    def run(fleet, *extra):
        result = halvex("--simulate", "--fleet", fleet, "collect", "--day", DAY, "--db", db, "--retries", "0",
                        "--report", report, "--metrics-file", metrics, *extra)
        samples = {(s.name, tuple(sorted(s.labels.items()))): s.value
                   for family in text_string_to_metric_families(metrics.read_text()) for s in family.samples}
        return result.code, json.loads(report.read_text()), samples

    fault = {"HX3000002": {"kind": "connection_failure", "operations": ["message"]}}
    runs = [run(fleet_file(**fault)), run(fleet_file(), "--resume"), run(fleet_file(**fault))]
    last_success = [m.get(("halvex_collect_last_success_timestamp_seconds", ())) for _, _, m in runs]

    (code, doc, m), (code2, doc2, m2) = runs[0], runs[1]
    assert (code, doc["exit_code"], m[("halvex_collect_exit_code", ())]) == (6, 6, 6)
    assert doc["failed"] == [{"serial": "HX3000002", "codes": ["HALVEX_CONNECTION_FAILURE"]}]
    assert doc["meter_days"]["partial"] == 1 and len(doc["slowest"]) == 3
    assert {"part": "intervals", "outcome": "failed", "code": "HALVEX_CONNECTION_FAILURE", "count": 1} in doc["parts"]
    assert m[("halvex_collect_meter_days", (("code", "HALVEX_CONNECTION_FAILURE"), ("outcome", "partial")))] == 1
    assert m[("halvex_collect_meter_days", (("code", ""), ("outcome", "ok")))] == 2
    assert m[("halvex_collect_exchanges", ())] > 0
    assert (code2, doc2["meter_days"]["skipped"], doc2["failed"]) == (0, 2, [])
    # Set by the run that collected everything, and kept by the failing run after it.
    assert runs[2][0] == 6
    assert last_success[0] is None and last_success[1] == last_success[2] == m2[
        ("halvex_collect_last_run_timestamp_seconds", ())]
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []  # no temporary files left


@pytest.mark.slow
@pytest.mark.parametrize("moment", ["starting", "running"])
def test_ctrl_c_on_a_local_cluster_says_interrupted_and_nothing_else(tmp_path, db, moment):
    """Ctrl-C reaches the whole foreground process group, Dask's worker processes included:
    whenever it comes, the tool ends with 130 and its own lines only; what the workers had to
    say goes to their log file."""
    import signal
    import subprocess
    import sys
    import time

    from support.processes import TOOL, tool_env

    fleet = tmp_path / "slow.json"
    fleet.write_text(json.dumps({"generate": {"count": 40, "kinds": ["three_phase_ax"], "fault": {"latency": 0.05}}}))
    proc = subprocess.Popen([sys.executable, "-m", TOOL, "--simulate", "--fleet", str(fleet), "collect", "--day",
                             str(DAY), "--db", db, "--workers", "2", "--cluster", "local:2"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
                            env=tool_env(XDG_STATE_HOME=str(tmp_path / "state")), start_new_session=True)
    try:
        if moment == "starting":  # the store is open: the cluster comes next
            for _ in range(600):
                if os.path.exists(db) or proc.poll() is not None:
                    break
                time.sleep(0.05)
        else:
            assert proc.stderr.readline().startswith("halvex: collect: ")
        os.killpg(proc.pid, signal.SIGINT)
        out, err = proc.communicate(timeout=120)
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)
    assert proc.returncode == 130, err
    lines = err.splitlines()
    assert lines and all(line.startswith("halvex: ") for line in lines), err
    assert any("interrupted" in line for line in lines)


@BACKENDS
@pytest.mark.parametrize("day, slots", [("2026-10-25", 50), ("2026-03-29", 46), ("2026-06-01", 48)])
def test_a_local_day_is_collected_checked_and_exported_whole(halvex, simulator, fleet, db, read_db, day, slots):
    """00:00 to 00:00 in Oslo: 50 half-hours when the clocks go back, 46 when they go forward."""
    fleet.freeze_time(dt.datetime(2026, 11, 2, 6, tzinfo=UTC))
    zone = ("--tz", "Europe/Oslo")
    run = halvex("--mediator", simulator.address, "collect", *sorted(fleet.meters), "--day", day, *zone, "--db", db,
                 "--retries", "0")
    assert run.code == 0, run.err
    assert dict(read_db("SELECT serial, count(*) FROM intervals GROUP BY serial")) == dict.fromkeys(THREE_PHASE, slots)
    assert halvex("gaps", "--day", day, *zone, "--db", db).out.startswith(f"no gaps in {day} (Europe/Oslo)")

    exported = halvex("export", "--day", day, *zone, "--db", db, "--format", "csv", "--out", "-").out.splitlines()
    midnight = dt.datetime.combine(dt.date.fromisoformat(day), dt.time(0), tzinfo=ZoneInfo("Europe/Oslo"))
    assert len(exported) == 1 + 4 * slots
    assert exported[1].split(",")[1] == midnight.astimezone(UTC).isoformat()
    registers = halvex("export", "--day", day, *zone, "--db", db, "--table", "registers", "--format", "csv",
                       "--out", "-").out.splitlines()
    assert len(registers) == 1 + len(fleet.meters)
    # An export in another zone takes that zone's day: other instants, other rows.
    assert halvex("export", "--day", day, "--db", db, "--table", "registers", "--format", "csv",
                  "--out", "-").out.count("\n") == 1


@pytest.mark.parametrize("zone", [None, "Europe/Oslo", "Pacific/Kiritimati"])
def test_the_registers_export_after_a_nightly_run_holds_the_runs_rows(halvex, db, monkeypatch, zone):
    """Both take yesterday in the zone (HALVEX_TZ): the run reads the registers for that day."""
    run = halvex("--simulate", "collect", "--db", db, "--retries", "0", *(("--tz", zone) if zone else ()))
    assert run.code == 0, run.err
    if zone:
        monkeypatch.setenv("HALVEX_TZ", zone)
    rows = halvex("export", "--db", db, "--table", "registers", "--format", "jsonl", "--out", "-").out.splitlines()
    assert len(rows) == 8 and {json.loads(r)["final"] for r in rows} == {True}
    assert {json.loads(r)["zone"] for r in rows} == {zone or "UTC"}


FOREIGN = "is a DuckDB database but not a halvex store"


@pytest.mark.parametrize(
    "base, theirs, refusal",
    [
        (None, "CREATE TABLE readings (meter VARCHAR, kwh DOUBLE)", FOREIGN),
        (None, "CREATE TABLE intervals (serial VARCHAR, interval_start TIMESTAMPTZ, PRIMARY KEY (serial, "
               "interval_start))", FOREIGN),
        # A store whose content would run as code when read: a view over another file (here
        # the token), a function standing in for DuckDB's, a column computed on the way out.
        ("store", "DROP TABLE attempts; CREATE VIEW attempts AS SELECT content AS run_id FROM read_text('{secret}')",
         "attempts is a view, not a table"),
        ("store", "CREATE MACRO strftime(t, f) AS 'forged'", "it defines functions of its own (strftime)"),
        ("store", "ALTER TABLE events ALTER COLUMN code_name SET DEFAULT 'forged'",
         "its table events does not have the store's columns"),
        ("store", "ALTER TABLE intervals ADD COLUMN note VARCHAR", "its table intervals does not have the store's"),
        ("store", "UPDATE schema_info SET value = 'two'", "its schema_info holds no schema version halvex knows ('two')"),
        ("store", "DELETE FROM schema_info", "its schema_info holds no schema version halvex knows (None)"),
    ],
    ids=["their-table", "their-intervals", "view", "macro", "default", "extra-column", "corrupt-version",
         "no-version"],
)
@pytest.mark.parametrize(
    "argv",
    [("--mediator", "{sim}", "collect", "HX3000001", "--day", DAY),
     ("gaps", "--day", DAY),
     ("export", "--day", DAY, "--format", "csv", "--out", "-"),
     ("report", "--day", DAY, "--out", "-")],
    ids=["collect", "gaps", "export", "report"],
)
def test_a_duckdb_file_that_is_not_a_store_is_refused_unchanged(halvex, simulator, fleet, tmp_path, token_file, base,
                                                                 theirs, refusal, argv):
    import duckdb

    path = tmp_path / "theirs.duckdb"
    if base == "store":
        Store(path).close()
    with duckdb.connect(str(path)) as con:
        con.execute(theirs.format(secret=token_file))
    before = hashlib.sha256(path.read_bytes()).hexdigest()
    fleet.set_fault("HX3000001", Fault(latency=0.001))  # counts the calls that reach the meter

    run = halvex(*(str(a).format(sim=simulator.address) for a in argv), "--db", path)

    assert run.code == 7 and f"{path} {'' if refusal == FOREIGN else 'is refused as a store: '}{refusal}" in run.err, \
        run.err
    assert token_file.read_text().strip() not in run.out + run.err
    assert hashlib.sha256(path.read_bytes()).hexdigest() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["theirs.duckdb", "token"]
    assert fleet.fault_calls("HX3000001") == 0


@pytest.mark.parametrize("mode", ["file", "json", "stdout"])
def test_report_through_the_tool(halvex, run_collect, db, tmp_path, mode):
    run_collect()
    out = str(tmp_path / "fleet.html")
    run = halvex("report", "--db", db, "--day", DAY, "--out", "-" if mode == "stdout" else out,
                 *(["--json"] if mode == "json" else []))
    assert run.code == 0, run.err
    if mode == "stdout":
        assert run.out.startswith("<!DOCTYPE html>") and run.err == ""
        return
    with open(out, encoding="utf-8") as f:
        assert f.read().startswith("<!DOCTYPE html>")
    if mode == "json":
        result = run.json()["result"]
        assert (result["out"], result["days"], result["meters"]) == (out, [DAY.isoformat()], 8)
        assert result["counts"] == {"complete": 8, "partial": 0, "failed": 0, "missing": 0}
    else:
        assert run.err == f"halvex: report: 8 meters x 1 day, 100.0% of 8 meter-days complete -> {out}\n"
