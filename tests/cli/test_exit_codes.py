"""Every documented exit code, each produced by a real case against the simulator."""

from __future__ import annotations

import socket

import pytest

from support.processes import interrupt, running_tool

from norvo_halvex.failures import EXIT_CODE_MEANINGS, ExitCode
from norvo_halvex.mediator.simulator import Fault

THREE_PHASE = ["HX3000001", "HX3000002", "HX3000003", "HX3000004"]


@pytest.mark.parametrize(
    "fault, argv, code, line",
    [
        (None, ["read", "HX1000001"], 0, None),
        (None, ["intervals", "HX3000001", "--day", "9999-12-31"], 2,
         "halvex: intervals: day '9999-12-31' out of range: meters hold times from 1970"),
        (None, ["profile-log-1", "HX1000001", "1969-12-31T23:59:59Z"], 2,
         "halvex: profile-log-1: time '1969-12-31T23:59:59Z' out of range"),
        (None, ["intervals", "HX3000001", "--start", "2106-02-07T04:00Z", "--end", "2106-02-07T08:00Z"], 2,
         "halvex: intervals: time '2106-02-07T08:00Z' out of range"),
        (("HX1000001", Fault("connection_failure", details="modem off")), ["voltage", "HX1000001"], 3,
         "halvex: meter HX1000001: voltage failed: connection failure (HALVEX_CONNECTION_FAILURE): "),
        (("HX1000001", Fault(status="INTERNAL", details="mediator bug")), ["csq", "HX1000001"], 4,
         "halvex: meter HX1000001: csq failed: mediator error (INTERNAL): mediator bug"),
        # (the serial's reply, not the clock's: its garbled bytes are the same in both runs below)
        (("HX1000001", Fault("malformed_reply")), ["serial", "HX1000001"], 5,
         "halvex: meter HX1000001: serial failed: reply does not decode (CODEC_ERROR)"),
        (("HX3000001", Fault("connection_failure", object_ids=["three_phase_total_apparent_export"])),
         ["read", "HX3000001"], 6,
         "halvex: meter HX3000001: read incomplete: apparent_export could not be read; the other values are good"),
    ],
    ids=["ok", "day-out-of-range", "before-1970", "window-end-out-of-range", "meter", "mediator", "bad-reply",
         "partial"],
)
def test_exit_code_of_a_real_case(cli, simulator, fault, argv, code, line):
    if fault is not None:
        simulator.fleet.set_fault(*fault)
    run = cli("--mediator", simulator.address, *argv)
    assert run.code == code, run.err
    if line is None:
        assert run.err == ""
        return
    shown = [entry for entry in run.err.splitlines() if entry.startswith("halvex: ")][0]
    assert shown.startswith(line) and "Traceback" not in run.err
    if code != ExitCode.PARTIAL:  # (a partial reading is a result, with its failed values named)
        doc = cli("--mediator", simulator.address, "--json", *argv)
        error = doc.json()["error"]
        assert doc.code == error["exit_code"] == code
        assert shown.endswith(error["message"])
        assert code == ExitCode.USAGE or f"{error['cause']} ({error['code']})" in shown


@pytest.mark.parametrize(
    "argv, line",
    [
        (["collect", "HX3000001", "--day", "1969-12-31"], "day '1969-12-31' out of range: meters hold times from 1970"),
        (["collect", "HX3000001", "--day", "1970-01-02", "--days", "3"], "day '1969-12-31' out of range"),
        (["gaps", "--day", "1969-12-31"], "day '1969-12-31' out of range"),
        # the day begins at 23:00 UTC the evening before
        (["intervals", "HX3000001", "--day", "1970-01-01", "--tz", "Europe/Oslo"],
         "day '1970-01-01' in Europe/Oslo out of range"),
        (["intervals", "HX3000001", "--day", "2106-02-07"], "day '2106-02-07' out of range"),
    ],
    ids=["collect", "collect-days", "gaps", "zone", "intervals-2106"],
)
def test_a_day_meters_cannot_hold_is_refused_before_any_meter_is_contacted(cli, simulator, requests_seen, tmp_path,
                                                                          argv, line):
    db = tmp_path / "store.duckdb"
    run = cli("--mediator", simulator.address, *argv, *(["--db", str(db)] if argv[0] in ("collect", "gaps") else []))
    assert run.code == ExitCode.USAGE, run.err
    assert run.err.startswith(f"halvex: {argv[0]}: {line}"), run.err
    assert requests_seen() == 0 and not db.exists()


def test_a_port_in_use_is_a_local_problem(cli):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        run = cli("simulator", "--port", str(port))
    assert run.code == ExitCode.ENVIRONMENT == 7
    assert run.err.startswith(f"halvex: simulator failed: cannot listen (CANNOT_LISTEN): simulator cannot listen on "
                              f"127.0.0.1:{port}")
    assert len(run.err.splitlines()) == 1


def test_help_lists_every_exit_code_and_examples(cli):
    run = cli("--help")
    assert run.code == 0
    tail = run.out[run.out.index("exit codes:"):]
    for code in ExitCode:
        assert f"  {int(code):<4} {EXIT_CODE_MEANINGS[code]}" in tail
    assert run.out.index("examples:") < run.out.index("exit codes:")
    assert "halvex demo" in run.out[run.out.index("examples:"):]


def test_ctrl_c_during_a_fleet_read_is_quiet_and_exits_130(simulator):
    # One total of each three-phase meter fails to read, each meter slower than the one
    # before: the reads still running at Ctrl-C would each log an error later if they
    # were not muted.
    for i, serial in enumerate(THREE_PHASE):
        simulator.fleet.set_fault(serial, Fault("connection_failure", latency=0.1 + 0.4 * i,
                                                object_ids=["three_phase_total_reactive_export"]))
    serials = THREE_PHASE * 3
    with running_tool("--mediator", simulator.address, "fleet", *serials, "--workers", "4") as proc:
        before = []
        for line in proc.stderr:  # wait until the first read has logged its failed total
            before.append(line)
            if "Failed to read element" in line:
                break
        assert before and "Failed to read element" in before[-1], "".join(before)
        run = interrupt(proc)
    out, err = run.out, run.err
    assert run.code == 130, err
    lines = err.splitlines()
    assert lines[-1] == "halvex: interrupted"
    # Nothing from the library after Ctrl-C, only the tool's own lines.
    stopped = next(i for i, line in enumerate(lines) if line.startswith("halvex: "))
    assert all(line.startswith("halvex: ") for line in lines[stopped:]), err
    assert lines[stopped] == "halvex: interrupted" or lines[stopped].startswith("halvex: fleet: stopping; ")
    assert "Traceback" not in err
    assert len(out.splitlines()) < 1 + len(serials)  # header and the rows read before Ctrl-C

