"""The tool's own logic against a fake client: argument checks, output, error mapping."""

from __future__ import annotations

import datetime as dt
import json
import os

import grpc
import pytest

from norvo_halvex.cli import render
from norvo_halvex.meters import CSV_HEADER
from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from quarn_frame_protocol.errors import QuarnCodecError
from quarn_frame_protocol.quarn_message import QuarnMessage

from support.hostile import FakeRpcError

UTC = dt.timezone.utc


# ----------------------------------------------------------------- usage errors

@pytest.mark.parametrize(
    "argv, message",
    [
        (["read"], "the following arguments are required: SERIAL"),
        (["nonsense", "HX1"], "invalid choice"),
        (["intervals", "HX3000001", "--day", "2025-13-01"], "bad date '2025-13-01'"),
        (["intervals", "HX3000001"], "give --day YYYY-MM-DD, or both --start and --end"),
        (["intervals", "HX3000001", "--day", "2025-03-01", "--start", "2025-03-01T00:00"], "not both"),
        (["intervals", "HX3000001", "--start", "2025-03-01T10:00", "--end", "2025-03-01T10:00"],
         "--start must come before --end"),
        (["intervals", "HX3000001", "--start", "2025-03-01T00:00Z", "--end", "2025-03-02T00:00:01Z"],
         "at most 24 hours"),
        (["intervals", "HX3000001", "--start", "yesterday", "--end", "2025-03-02"], "bad time 'yesterday'"),
        (["obis-read", "HX1000001", "1.8"], "bad OBIS code '1.8'"),
        (["obis-read", "HX1000001", "1.256.0"], "bad OBIS code '1.256.0'"),
        (["obis-write", "HX1000001", "1.8.0", "abc"], "bad hex payload 'abc'"),
        (["event-log", "HX1000001", "16"], "bad event log index 16"),
        (["event-log", "HX1000001", "two"], "bad event log index 'two'"),
        (["backlight-set", "HX1000001", "dazzling"], "bad backlight setting 'dazzling': expected one of off (0)"),
        (["load-switch-set", "HX1000001", "7"], "bad load switch setting '7'"),
        (["dst-set", "HX1000001", "maybe"], "expected on or off"),
        (["profile-log-1", "HX1000001", "@nan"], "bad time '@nan'"),
        (["--simulate", "--mediator", "h:1", "read", "HX1000001"], "--simulate and --mediator exclude each other"),
        (["--simulator-fleet", "f.json", "read", "HX1000001"], "--simulator-fleet needs --simulate"),
        (["--fleet", "f.json", "read", "HX1000001"], "--simulator-fleet needs --simulate"),  # the older spelling
        # what a command does not take is answered with that command's help
        (["collect", "--file", "meters.txt"], "collect: unrecognized arguments: --file (see 'halvex collect --help')"),
        (["--bogus", "read", "HX1000001"], "read: unrecognized arguments: --bogus (see 'halvex read --help')"),
        (["--log-level", "LOUD", "read", "HX1000001"], "invalid choice: 'LOUD'"),
        (["fleet"], "no meters: give serials as arguments or --serials-file FILE"),
        # (an output in a missing folder is a local problem, exit 7: tests/cli/test_output_targets.py)
        (["demo", "--mediator", "h:1"], "demo runs its own simulator"),
        (["fleet", "HX1000001", "--workers", "0"], "--workers must be at least 1"),
    ],
)
def test_bad_arguments_exit_2_with_one_line_and_nothing_sent(cli, fake_api, argv, message):
    run = cli(*argv)
    assert run.code == 2
    assert run.out == ""
    lines = run.err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("halvex: ")
    assert message in lines[0]
    assert not [c for c in fake_api.calls if c[0].endswith("_write")]
    assert "Traceback" not in run.err


def test_help_exits_0(cli):
    run = cli("--help")
    assert run.code == 0 and "intervals" in run.out and "fleet" in run.out


# ----------------------------------------------------------------- address, level, option placement

@pytest.mark.parametrize(
    "argv, env, address",
    [
        (["voltage", "HX1000001"], None, "0.0.0.0:50051"),
        (["voltage", "HX1000001"], "10.0.0.5:7000", "10.0.0.5:7000"),
        (["--mediator", "m:1", "voltage", "HX1000001"], "10.0.0.5:7000", "m:1"),
        (["voltage", "HX1000001", "--mediator", "m:2"], None, "m:2"),
    ],
)
def test_mediator_address_comes_from_flag_then_environment_then_default(cli, fake_api, monkeypatch, argv, env,
                                                                         address):
    if env:
        monkeypatch.setenv("HALVEX_MEDIATOR", env)
    assert cli(*argv).code == 0
    assert fake_api.address == address


def test_log_level_reaches_the_client_and_options_work_after_the_command(cli, fake_api):
    run = cli("voltage", "HX1000001", "--json", "--log-level", "info")
    assert run.code == 0
    assert fake_api.level == "INFO"
    assert run.json()["result"] == {"value": 231.4, "unit": "V"}


def test_default_log_level_is_warning(cli, fake_api):
    cli("csq", "HX1000001")
    assert fake_api.level == "WARNING"


# ----------------------------------------------------------------- output

def test_read_twin_element_shows_both_elements_with_units(cli, fake_api):
    run = cli("read", "HX1000002")
    assert run.code == 0
    lines = run.out.splitlines()
    assert lines[0] == "HX1000002  registers  (P0.te)"
    assert any(line.split() == ["element", "A", "import", "active", "1234.567", "kWh"] for line in lines)
    assert any(line.split() == ["export", "reactive", "0.250", "kvarh"] for line in lines)
    assert any(line.split()[:2] == ["element", "B"] for line in lines)
    # eight register rows, numbers right-aligned so the unit column starts at one place
    assert len(lines) == 9 and all(line.startswith("  ") for line in lines[1:])
    assert len({line.rindex(" ") for line in lines[1:]}) == 1


def test_read_three_phase_ct_meter_uses_four_decimals_and_shows_a_failed_total_as_partial(cli, fake_api):
    run = cli("read", "HX3000002")
    lines = run.out.splitlines()
    assert run.code == 6  # a total failed to read: not a success
    assert ["total", "active", "import", "100.1234", "kWh"] == lines[1].split()
    assert any(line.split() == ["reactive", "import", "failed"] for line in lines)
    assert any(line.split() == ["apparent", "import", "101.0000", "kVAh"] for line in lines)
    assert run.err == ("halvex: meter HX3000002: read incomplete: reactive_import could not be read; "
                       "the other values are good\n")


@pytest.mark.parametrize(
    "argv, result",
    [
        (["read", "HX1000001"], {
            "type": "single_phase", "hardware": "P0.se",
            "element_a": {"import_active": 1234.567, "export_active": 0.0, "import_reactive": 12.5,
                          "export_reactive": 0.25},
            "element_b": None,
            "units": {"import_active": "kWh", "export_active": "kWh", "import_reactive": "kvarh",
                      "export_reactive": "kvarh"},
            "failed": []}),
        (["read", "HX1000002", "--element", "b"], {
            "type": "single_phase", "element": "b",
            "registers": {"import_active": 10.0, "export_active": 2.0, "import_reactive": 0.0, "export_reactive": 0.0},
            "units": {"import_active": "kWh", "export_active": "kWh", "import_reactive": "kvarh",
                      "export_reactive": "kvarh"}}),
        (["power", "HX1000002", "--element", "a"], {"value": 1.0, "unit": "kW", "element": "a"}),
        (["three-phase-voltage", "HX3000001"], {"l1": 230.1, "l2": None, "l3": 229.9, "unit": "V",
                                                "failed": ["l2"]}),
        (["three-phase-config", "HX3000002"], {"meter_type": {"name": "cx_ct_operated", "value": 2}}),
        (["event-log", "HX1000001", "3"], {"index": 3, "record": {"log_idx": 3, "events": [
            {"time": "2025-03-01T12:00:00+00:00", "code": {"name": "power_up", "value": 1}, "detail": 5}]}}),
        (["obis-read", "HX1000001", "1.8.0"], {"obis": "1.8.0", "payload": "01ab", "length": 2}),
    ],
)
def test_json_documents(cli, fake_api, argv, result):
    run = cli("--json", *argv)
    assert run.code == (6 if result.get("failed") else 0), run.err
    doc = run.json()
    assert doc["command"] == argv[0] and doc["serial"] == argv[1]
    assert doc["result"] == result
    assert run.out.count("\n") == 1


@pytest.mark.parametrize(
    "argv, call",
    [
        (["backlight-set", "HX1000001", "ON"], ("backlight_write", "HX1000001", QuarnMessage.BacklightSettingType.on)),
        (["backlight-set", "HX1000001", "2"], ("backlight_write", "HX1000001", QuarnMessage.BacklightSettingType.auto)),
        (["load-switch-set", "HX1000001", "disconnected"],
         ("load_switch_write", "HX1000001", QuarnMessage.LoadSwitchSettingType.disconnected)),
        (["dst-set", "HX1000001", "off"], ("daylight_savings_correction_enabled_write", "HX1000001", False)),
        (["obis-write", "HX1000001", "1.8.0", "0A ff 10"], ("obis_write", "HX1000001", "1.8.0", "0aff10")),
        (["obis-write", "HX1000001", "001.008.000", ""], ("obis_write", "HX1000001", "1.8.0", "")),
        (["power", "HX1000002", "--element", "b"], ("instantaneous_active_power_element_b", "HX1000002")),
    ],
)
def test_writes_send_the_parsed_value(cli, fake_api, argv, call):
    run = cli(*argv, *(["--yes"] if call[0].endswith("_write") else []))
    assert run.code == 0, run.err
    assert call in fake_api.calls


def test_to_jsonable_shapes():
    when = dt.datetime(2025, 3, 1, 13, 0, tzinfo=dt.timezone(dt.timedelta(hours=1)))
    value = {"t": when, "naive": dt.datetime(2025, 3, 1), "b": b"\x00\xff", "e": QuarnMessage.BacklightSettingType.on,
             "nan": float("nan"), "tuple": (1, None)}
    assert render.to_jsonable(value) == {
        "t": "2025-03-01T12:00:00+00:00", "naive": "2025-03-01T00:00:00+00:00", "b": "00ff",
        "e": {"name": "on", "value": 1}, "nan": None, "tuple": [1, None]}
    json.dumps(render.to_jsonable(value), allow_nan=False)


# ----------------------------------------------------------------- error mapping

@pytest.mark.parametrize(
    "exc, code, line",
    [
        (MediatorClientException("HALVEX_CONNECTION_FAILURE", "meter HX1000001 did not answer"), 3,
         "halvex: meter HX1000001: read failed: connection failure (HALVEX_CONNECTION_FAILURE): "
         "meter HX1000001 did not answer"),
        (MediatorClientException("HALVEX_EOF_ERROR", "stream ended"), 3,
         "halvex: meter HX1000001: read failed: meter stream ended early (HALVEX_EOF_ERROR): stream ended"),
        (MediatorClientException("UNAVAILABLE", "failed to connect to all addresses"), 4,
         "halvex: meter HX1000001: read failed: mediator unreachable (UNAVAILABLE): failed to connect to all "
         "addresses; check --mediator or HALVEX_MEDIATOR (now 0.0.0.0:50051)"),
        (MediatorClientException("INTERNAL", ""), 4,
         "halvex: meter HX1000001: read failed: mediator error (INTERNAL)"),
        (FakeRpcError(grpc.StatusCode.DEADLINE_EXCEEDED, "Deadline Exceeded"), 4,
         "halvex: meter HX1000001: read failed: mediator timed out (DEADLINE_EXCEEDED): Deadline Exceeded; "
         "check --mediator"),
        (QuarnCodecError("ElementRegistersRec: data too short"), 5,
         "halvex: meter HX1000001: read failed: reply does not decode (CODEC_ERROR): ElementRegistersRec: data too"),
        (RuntimeError("boom\nsecond line"), 1,
         "halvex: meter HX1000001: read failed: unexpected error (RuntimeError): boom second line"),
    ],
)
def test_failures_are_one_line_with_distinct_exit_codes(cli, fake_api, exc, code, line):
    fake_api.fail["read_element_a"] = exc
    run = cli("read", "HX1000001")
    assert run.code == code
    assert run.out == ""
    assert len(run.err.splitlines()) == 1
    assert run.err.startswith(line)
    assert "Traceback" not in run.err


@pytest.mark.parametrize("exc, code", [
    (HalvexConnectionFailure("meter HX1000001: no answer", serial="HX1000001"), "HALVEX_CONNECTION_FAILURE"),
    (HalvexEOFError("meter HX1000001: stream ended", serial="HX1000001"), "HALVEX_EOF_ERROR"),
])
def test_data_record_failures_passed_through_unchanged_are_meter_failures(cli, fake_api, exc, code):
    fake_api.fail["event_log"] = exc
    run = cli("--json", "event-log", "HX1000001", "0")
    assert run.code == 3
    assert f"halvex: meter HX1000001: event-log failed: " in run.err and f"({code}): " in run.err
    doc = run.json()
    assert doc["error"]["code"] == code and doc["error"]["exit_code"] == 3 and "result" not in doc


def test_debug_level_adds_the_traceback(cli, fake_api):
    fake_api.fail["csq"] = RuntimeError("boom")
    run = cli("--log-level", "DEBUG", "csq", "HX1000001")
    assert run.code == 1
    assert run.err.splitlines()[0] == "halvex: meter HX1000001: csq failed: unexpected error (RuntimeError): boom"
    assert "Traceback" in run.err


def test_missing_core_is_reported_as_a_setup_problem(cli, monkeypatch):
    import builtins

    real_import = builtins.__import__

    def no_core(name, *a, **kw):
        if name == "norvo_halvex.mediator.api_core":
            raise ImportError("no core here")
        return real_import(name, *a, **kw)

    monkeypatch.setattr(builtins, "__import__", no_core)
    run = cli("voltage", "HX1000001")
    assert run.code == 1
    assert "library not usable (SETUP)" in run.err and "make dev" in run.err


# ----------------------------------------------------------------- intervals

def test_intervals_day_json_counts_frames_and_keeps_stdout_for_the_document(cli, fake_api):
    run = cli("--json", "intervals", "HX3000001", "--day", "2025-03-01", "--statuses")
    assert run.code == 0 and run.err == "", run.err
    doc = run.json()  # stdout holds the JSON document only, not the CSV
    call = next(c for c in fake_api.calls if c[0] == "three_phase_intervals")
    assert call[2] == dt.datetime(2025, 3, 1, tzinfo=UTC) and call[3] is None and call[4] is None
    assert call[6] is True
    result = doc["result"]
    assert result["frames"] == 6 == sum(1 for c in fake_api.calls if c[0] == "_three_phase_intervals_read")
    assert result["rows"] == 48 and result["csv"] is None
    assert result["intervals"][0] == {"time": "2025-03-01T00:00:00+00:00", "active_import_kwh": 1.25,
                                      "active_export_kwh": 0.0, "reactive_import_kvarh": 0.0,
                                      "reactive_export_kvarh": 0.0, "apparent_import_kvah": 0.0,
                                      "apparent_export_kvah": 0.0, "status": 0, "status_flags": ""}
    assert "_three_phase_intervals_read" not in vars(fake_api)  # the frame counter is removed again


def test_intervals_window_to_stdout_puts_the_summary_on_stderr(cli, fake_api):
    run = cli("intervals", "HX3000001", "--start", "2025-03-01T10:00+01:00", "--end", "2025-03-01T19:00:00")
    assert run.code == 0, run.err
    call = next(c for c in fake_api.calls if c[0] == "three_phase_intervals")
    assert call[2] is None
    assert call[3] == dt.datetime(2025, 3, 1, 9, 0, tzinfo=UTC) and call[4] == dt.datetime(2025, 3, 1, 19, 0, tzinfo=UTC)
    assert call[5] == os.devnull  # the tool writes the CSV itself, to standard output
    assert run.out.splitlines()[0] == ",".join(CSV_HEADER) and len(run.out.splitlines()) == 22
    assert run.err.startswith("halvex: meter HX3000001: 21 intervals (2025-03-01T09:00:00+00:00 .. ")


def test_intervals_to_a_file(cli, fake_api, tmp_path):
    path = tmp_path / "x.csv"
    run = cli("intervals", "HX3000001", "--start", "@1740819600", "--end", "@1740823200", "--csv", str(path))
    assert run.code == 0, run.err
    assert run.out.strip().endswith(f"3 rows written to {path}")
    assert path.read_text().count("\n") == 4
