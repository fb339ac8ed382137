"""The tool as a subprocess against the simulator: every command, text and JSON.

Read-only commands run concurrently against one simulator (module fixture) so the suite
pays the interpreter start-up once per command in wall time, not in sequence.
"""

from __future__ import annotations

import concurrent.futures
import csv
import datetime as dt
import json
import os
import re

import pytest

from support.processes import Run, interrupt, run_tool, running_tool

UTC = dt.timezone.utc
YESTERDAY = (dt.datetime.now(UTC).date() - dt.timedelta(days=1)).isoformat()

KINDS = {"HX1000001": "single_element", "HX1000002": "twin_element",
         "HX3000001": "three_phase_ax", "HX3000002": "three_phase_cx"}
HARDWARE = {"single_element": "P0.se", "twin_element": "P0.te", "three_phase_ax": "P1.ax", "three_phase_cx": "P1.cx"}

# (argv after the mediator option, expected text fragment in the human output)
READS = [
    (("serial", "HX1000001"), "HX1000001  serial  HX1000001"),
    (("hardware", "HX1000002"), "P0.te  (single phase, twin element)"),
    (("firmware", "HX1000003"), "HX1000003  firmware  "),
    (("three-phase-serial", "HX3000001"), "three-phase serial  HX3000001"),
    (("three-phase-config", "HX3000002"), "meter_type  cx_ct_operated (2)"),
    (("clock", "HX1000001"), "HX1000001  clock  20"),
    (("voltage", "HX1000001"), " V"),
    (("power", "HX1000002"), " kW"),
    (("power", "HX1000002", "--element", "b"), "active power (element B)"),
    (("csq", "HX1000001"), "signal quality (csq)"),
    (("three-phase-voltage", "HX3000001"), "  L3  "),
    (("read", "HX1000001"), "element A  import active"),
    (("read", "HX1000002"), "element B  import active"),
    (("read", "HX3000002"), "apparent export"),
    (("read", "HX1000002", "--element", "a"), "element A  import active"),
    (("dst", "HX1000001"), "daylight-saving correction  o"),
    (("backlight", "HX1000001"), "HX1000001  backlight  "),
    (("load-switch", "HX1000001"), "HX1000001  load switch  "),
    (("intervals", "HX3000002", "--start", f"{YESTERDAY}T10:00Z", "--end", f"{YESTERDAY}T12:00Z"), None),
    (("profile-log-1", "HX1000001", f"{YESTERDAY}T12:00:00Z"), "profile log 1 at"),
    (("profile-log-2", "HX1000002", f"{YESTERDAY}T12:00:00Z"), "(twin element)"),
    (("event-log", "HX1000001", "0"), "event log entry 0"),
    (("obis-read", "HX1000001", "96.1.0"), "OBIS 96.1.0  " + b"HX1000001".hex()),
]


@pytest.fixture(scope="module")
def sim():
    from norvo_halvex.mediator.simulator import Fleet, start_simulator

    with start_simulator(Fleet.default()) as running:
        yield running


@pytest.fixture(scope="module")
def outputs(sim):
    """Every read-only command in both forms, run concurrently: (argv, json) -> Run."""
    jobs = [(argv, form) for argv, _ in READS for form in (False, True)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        futures = {
            job: pool.submit(run_tool, "--mediator", sim.address, *(("--json",) if job[1] else ()), *job[0])
            for job in jobs
        }
        return {job: f.result() for job, f in futures.items()}


@pytest.mark.parametrize("argv, fragment", READS, ids=[" ".join(a[:2]) + (" " + a[2] if len(a) > 2 else "")
                                                       for a, _ in READS])
def test_read_commands_text_and_json(outputs, argv, fragment):
    text, doc_run = outputs[(argv, False)], outputs[(argv, True)]
    assert text.code == 0, text.err
    assert doc_run.code == 0, doc_run.err
    assert "Traceback" not in text.err + doc_run.err
    if fragment is not None:
        assert fragment in text.out
    doc = doc_run.json()
    assert doc["command"] == argv[0] and doc["serial"] == argv[1]
    check_result(argv, doc["result"], text)


def check_result(argv, result, text: Run):
    command, serial = argv[0], argv[1]
    kind = KINDS.get(serial)
    if command in ("serial", "three-phase-serial"):
        assert result == serial
    elif command == "hardware":
        assert result["hardware"] == HARDWARE[kind]
        assert result["three_phase"] is kind.startswith("three_phase")
        assert result["twin_element"] is (kind == "twin_element")
    elif command == "firmware":
        assert isinstance(result, str) and result
    elif command == "three-phase-config":
        assert result["meter_type"]["name"] == "cx_ct_operated"
    elif command == "clock":
        when = dt.datetime.fromisoformat(result["time"])
        assert when.utcoffset() == dt.timedelta(0)
        assert abs(result["offset_seconds"]) < 300  # simulated clocks follow real time
    elif command in ("voltage", "power", "csq"):
        assert isinstance(result["value"], (int, float))
        assert result.get("unit", "kW" if command == "power" else None) in ("V", "kW", None)
    elif command == "three-phase-voltage":
        assert isinstance(result["l1"], float) and result["unit"] == "V"
    elif command == "read" and len(argv) == 2:
        assert result["hardware"] == HARDWARE[kind]
        if kind.startswith("three_phase"):
            assert result["type"] == "three_phase"
            assert list(result["totals"]) == ["active_import", "active_export", "reactive_import",
                                              "reactive_export", "apparent_import", "apparent_export"]
            assert all(isinstance(v, float) for v in result["totals"].values())
        else:
            assert result["type"] == "single_phase"
            assert set(result["element_a"]) == {"import_active", "export_active", "import_reactive", "export_reactive"}
            assert (result["element_b"] is None) is (kind == "single_element")
        # registers advance between the two runs, so compare the layout, not the numbers
        decimals = 4 if kind == "three_phase_cx" else 3
        assert re.search(rf"(active import|import active) +\d+\.\d{{{decimals}}}  kWh\n", text.out), text.out
    elif command == "read":
        assert result["element"] == "a" and set(result["registers"]) >= {"import_active"}
    elif command == "dst":
        assert isinstance(result["enabled"], bool)
    elif command in ("backlight", "load-switch"):
        assert set(result) == {"name", "value"}
    elif command == "intervals":
        # 10:00 to 12:00 inclusive: five half-hour intervals, in kWh with 4 decimals (CT meter)
        assert result["rows"] == 5 and result["frames"] == 1 and result["csv"] is None
        assert [r["time"] for r in result["intervals"]][0].startswith(f"{YESTERDAY}T10:00")
        assert text.out.splitlines()[0].startswith("time,active_import_kwh")
        assert len(text.out.splitlines()) == 6
        assert "5 intervals" in text.err
    elif command in ("profile-log-1", "profile-log-2", "event-log"):
        assert isinstance(result["record"], dict) and result["record"]
    elif command == "obis-read":
        assert bytes.fromhex(result["payload"]) == serial.encode()


def test_writes_then_reads_back(simulator, halvex, tmp_path):
    addr = ("--mediator", simulator.address)
    writes = [
        ("dst-set", "HX1000001", "off"),
        ("backlight-set", "HX1000001", "auto"),
        ("load-switch-set", "HX1000002", "ARMED"),
        ("obis-write", "HX1000001", "96.14.0", "0a ff 10"),
        ("clock-set", "HX3000001"),
    ]
    for argv in writes:
        run = halvex(*addr, *argv, "--yes")
        assert run.code == 0, run.err
        assert argv[1] in run.out and "set to" in run.out or "written" in run.out
    checks = {
        ("dst", "HX1000001"): lambda r: r == {"enabled": False},
        ("backlight", "HX1000001"): lambda r: r["name"] == "auto",
        ("load-switch", "HX1000002"): lambda r: r["name"] == "armed",
        ("obis-read", "HX1000001", "96.14.0"): lambda r: r["payload"] == "0aff10",
        ("clock", "HX3000001"): lambda r: abs(r["offset_seconds"]) < 5,
    }
    for argv, ok in checks.items():
        run = halvex(*addr, "--json", *argv)
        assert run.code == 0, run.err
        assert ok(run.json()["result"]), run.out
    # writes answer JSON too
    doc = halvex(*addr, "--json", "dst-set", "HX1000001", "on", "--yes").json()
    assert doc == {"command": "dst-set", "serial": "HX1000001", "result": {"enabled": True}}


def test_intervals_of_a_day_to_a_file_with_statuses(simulator, halvex, tmp_path):
    path = tmp_path / "day.csv"
    run = halvex("--mediator", simulator.address, "intervals", "HX3000001", "--day", YESTERDAY,
                 "--csv", str(path), "--statuses")
    assert run.code == 0, run.err
    assert f"48 rows written to {path}" in run.out
    rows = list(csv.DictReader(path.open()))
    assert len(rows) == 48 and "status_flags" in rows[0]
    assert rows[0]["time"].startswith(f"{YESTERDAY}T00:00") and rows[-1]["time"].startswith(f"{YESTERDAY}T23:30")


def test_simulate_flag_with_a_fleet_file_and_log_level(halvex, tmp_path):
    fleet = tmp_path / "fleet.json"
    fleet.write_text(json.dumps({"meters": [{"serial": "LAB1", "kind": "twin_element", "hardware": "HXT-200"}]}))
    run = halvex("--simulate", "--simulator-fleet", str(fleet), "--json", "read", "LAB1")
    assert run.code == 0, run.err
    assert run.json()["result"]["element_b"] is not None
    assert run.err == ""  # quiet by default
    run = halvex("--simulate", "--log-level", "INFO", "voltage", "HX1000001")
    assert run.code == 0
    assert "received instantaneous voltage" in run.err and "serial=HX1000001" in run.err


def test_fleet_with_one_failing_meter(halvex, tmp_path):
    fleet = tmp_path / "fleet.json"
    fleet.write_text(json.dumps({"meters": [
        {"serial": "A1", "kind": "single_element", "hardware": "HXS-100"},
        {"serial": "A2", "kind": "twin_element", "hardware": "HXT-200",
         "fault": {"kind": "connection_failure", "details": "modem out of coverage"}},
        {"serial": "A3", "kind": "three_phase_ax"},
        {"serial": "A4", "kind": "three_phase_cx"},
    ]}))
    listing = tmp_path / "meters.txt"
    listing.write_text("# lab\nA1\nA2\n\nA3  # three-phase\nA4\n")
    run = halvex("--simulate", "--simulator-fleet", str(fleet), "fleet", "--serials-file", str(listing), "--workers", "3")
    assert run.code == 6
    rows = {r["serial"]: r for r in csv.DictReader(run.out.splitlines())}
    assert [rows[s]["status"] for s in ("A1", "A2", "A3", "A4")] == ["ok", "failed", "ok", "ok"]
    assert rows["A2"]["error_code"] == "HALVEX_CONNECTION_FAILURE"
    assert rows["A4"]["hardware"] == "P1.cx" and rows["A4"]["active_import_kwh"]
    assert rows["A1"]["a_import_active_kwh"] and not rows["A1"]["b_import_active_kwh"]
    # the meters' own decimals: 4 on the CT-operated meter (0.1 Wh counts), 3 on the others
    assert [len(rows[s][c].partition(".")[2]) for s, c in
            (("A1", "a_import_active_kwh"), ("A3", "active_import_kwh"), ("A4", "active_import_kwh"))] == [3, 3, 4]
    failures = [line for line in run.err.splitlines() if "failed:" in line]
    assert len(failures) == 1
    assert failures[0].startswith("halvex: meter A2: read failed: connection failure (HALVEX_CONNECTION_FAILURE): ")
    assert "modem out of coverage" in failures[0]
    assert run.err.splitlines()[-1].startswith("halvex: fleet: 4/4 done, 1 failed")
    assert "Traceback" not in run.err


def test_demo_text_and_json(halvex, tmp_path):
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        text_f = pool.submit(halvex, "demo", "--out", str(tmp_path / "t"), timeout=120)
        json_f = pool.submit(halvex, "--json", "demo", "--out", str(tmp_path / "j"), timeout=120)
        text, doc_run = text_f.result(), json_f.result()
    assert text.code == 0, text.err
    assert text.err == ""
    for serial in KINDS:
        assert f"{serial}  ({KINDS[serial]})" in text.out
    assert ["meters", "read", "8", "of", "8"] in [line.split() for line in text.out.splitlines()]
    assert doc_run.code == 0, doc_run.err
    doc = doc_run.json()
    assert {m["serial"]: m["kind"] for m in doc["meters"]}.items() >= KINDS.items()
    three_phase = sorted(m["serial"] for m in doc["meters"] if m["kind"].startswith("three_phase"))
    assert sorted(d["serial"] for d in doc["intervals"]) == three_phase
    for download in doc["intervals"]:
        assert download["rows"] == 48 and os.path.dirname(download["csv"]) == str(tmp_path / "j")
        with open(download["csv"]) as f:
            assert sum(1 for _ in f) == 49
        assert download["csv"].endswith(f"intervals-{download['serial']}-{YESTERDAY}.csv")
    summary = doc["summary"]
    assert summary["failures"] == 0 and summary["meters_read"] == len(doc["meters"])
    assert summary["interval_rows"] == 48 * len(three_phase) and summary["values"] > summary["interval_rows"]
    twin = next(m for m in doc["meters"] if m["serial"] == "HX1000002")
    assert "power --element b" in twin["readings"] and "three-phase-voltage" not in twin["readings"]
    # The nightly job in small: the day in a store, listed per meter.
    collection = doc["collection"]
    assert os.path.isfile(collection["db"]) and collection["gaps"]["failed"] == 0
    assert {r["serial"]: (r["intervals"], r["registers"]) for r in collection["rows_per_meter"]} == {
        m["serial"]: (48 if m["serial"] in three_phase else 0, 1) for m in doc["meters"]}
    assert "collecting" in text.out and "collection store" in text.out
    # ... and ends with the report of the days collected.
    assert os.path.isfile(collection["report"]) and collection["report_counts"]["complete"] == 7 * len(doc["meters"])
    assert text.out.splitlines()[-1].endswith(f": {tmp_path / 't' / 'report.html'}")


@pytest.mark.parametrize("json_mode", [False, True])
def test_unreachable_mediator(halvex, json_mode):
    run = halvex(*(["--json"] if json_mode else []), "read", "HX1000001", HALVEX_MEDIATOR="127.0.0.1:1")
    assert run.code == 4
    lines = run.err.splitlines()
    assert len(lines) == 1, run.err
    assert lines[0].startswith("halvex: meter HX1000001: read failed: mediator unreachable (UNAVAILABLE)")
    assert lines[0].endswith("check --mediator or HALVEX_MEDIATOR (now 127.0.0.1:1)")
    if json_mode:
        assert run.json()["error"]["code"] == "UNAVAILABLE"
    else:
        assert run.out == ""


def test_usage_error_in_a_real_process(halvex):
    run = halvex("intervals", "HX3000001", "--day", "31-12-2025")
    assert run.code == 2 and run.out == ""
    assert run.err == "halvex: intervals: bad date '31-12-2025': expected YYYY-MM-DD\n"


def test_simulator_command_serves_until_interrupted():
    with running_tool("simulator", "--port", "0") as proc:
        first = proc.stdout.readline()
        assert first.startswith("halvex simulator listening on 127.0.0.1:"), first + proc.stderr.read()
        address = first.split()[-1]
        run = run_tool("--mediator", address, "--json", "hardware", "HX3000001")
        assert run.code == 0 and run.json()["result"]["hardware"] == "P1.ax"
        stopped = interrupt(proc, timeout=20)
    assert stopped.code == 0, stopped.err
    assert "halvex simulator stopped" in stopped.out and "Traceback" not in stopped.err
