"""What an operator expects of any command line tool: version, help, logs, terminal views."""

from __future__ import annotations

import datetime as dt
import io
import json
import re

import pytest

from cli_fakes import Terminal
from norvo_halvex.cli import render
from norvo_halvex.cli.progress import Counter, Spinner, StatusLine
from norvo_halvex.dto.three_phase_intervals import ThreePhaseInterval, ThreePhaseIntervals

UTC = dt.timezone.utc
DAY = dt.datetime(2025, 3, 1, tzinfo=UTC)


def test_version(cli):
    from importlib.metadata import version

    run = cli("--version")
    assert run.code == 0 and run.out == f"halvex {version('norvo-halvex')}\n"


@pytest.mark.parametrize("command", ["read", "intervals", "fleet", "load-switch-set"])
def test_global_options_are_described_once_in_the_main_help(cli, command):
    main_help = cli("--help").out
    sub_help = cli(command, "--help").out
    for option in ("--mediator", "--simulate", "--log-level", "--log-format"):
        assert option in main_help
        assert option not in sub_help
    assert "Global options (see 'halvex --help') may also follow the command." in sub_help


@pytest.mark.parametrize("simulator_fleet, serials_file", [("--simulator-fleet", "--serials-file"), ("--fleet", "--file")],
                         ids=["names", "older-spellings"])
def test_one_name_for_a_file_of_serials_and_another_for_the_simulators_fleet(cli, tmp_path, simulator_fleet,
                                                                            serials_file):
    fleet = tmp_path / "fleet.json"
    fleet.write_text('{"meters": [{"serial": "LAB1", "kind": "single_element"}, {"serial": "LAB2", "kind": "twin_element"}]}')
    listing = tmp_path / "meters.txt"
    listing.write_text("LAB2\nLAB1\n")
    run = cli("--simulate", simulator_fleet, str(fleet), "fleet", serials_file, str(listing), "--format", "jsonl")
    assert run.code == 0, run.err
    assert [json.loads(line)["serial"] for line in run.out.splitlines()] == ["LAB2", "LAB1"]
    # the older spellings still work for a release, but are no longer offered
    shown = {command: cli(*command, "--help").out for command in ((), ("fleet",), ("collect",))}
    assert "--simulator-fleet FILE" in shown[()] and "--fleet" not in shown[()]
    assert all("--serials-file FILE" in shown[c] and "--file" not in shown[c] for c in (("fleet",), ("collect",)))


def test_every_declared_command_is_offered_and_documented(cli):
    import pkgutil
    from pathlib import Path

    from norvo_halvex.cli import app, commands

    # A command module left out of the assembly would drop its commands without a word.
    declared = {info.name for info in pkgutil.iter_modules(commands.__path__)}
    assert {module.__name__.rpartition(".")[2] for module in app.COMMAND_MODULES} == declared
    names = [command.name for module in app.COMMAND_MODULES for command in module.COMMANDS]
    offered = re.findall(r"^    ([a-z0-9-]+)(?:  |$)", cli("--help").out, re.MULTILINE)
    assert offered == names and len(set(names)) == len(names)
    guide = (Path(__file__).parents[2] / "docs" / "cli.md").read_text()
    assert [n for n in names if not re.search(rf"`(halvex )?{n}\b", guide)] == []


@pytest.mark.parametrize(
    "argv, call",
    [
        (["read", "--", "-HX1"], ("hardware", "-HX1")),
        (["obis-write", "HX1000001", "--yes", "--", "1.8.0", "-0a"], None),  # a bad payload, but parsed as one
        (["backlight-set", "--yes", "HX1000001", "--", "-1"], None),
    ],
)
def test_values_beginning_with_a_dash_are_taken_after_double_dash(cli, fake_api, argv, call):
    run = cli(*argv)
    assert "unrecognized arguments" not in run.err and "expected one argument" not in run.err
    if call is not None:
        assert call in fake_api.calls
    else:  # refused by the value check, not by the option parser
        assert run.code == 2 and ("'-0a'" in run.err or "'-1'" in run.err)


@pytest.mark.parametrize("fmt", ["text", "json"])
def test_log_time_stamps_are_utc_iso_8601_with_offset(cli, simulator, fmt):
    run = cli("--mediator", simulator.address, "--log-level", "info", "--log-format", fmt, "voltage", "HX1000001")
    assert run.code == 0
    line = next(line for line in run.err.splitlines() if "received instantaneous voltage" in line)
    if fmt == "json":
        entry = json.loads(line)
        stamp = entry["timestamp"]
        assert entry["level"] == "info" and entry["serial"] == "HX1000001" and isinstance(entry["voltage"], float)
        assert list(entry)[:4] == ["timestamp", "level", "logger", "event"]
    else:
        stamp = line.split()[0]
        assert "serial=HX1000001" in line
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+00:00", stamp)
    assert abs(dt.datetime.fromisoformat(stamp) - dt.datetime.now(UTC)) < dt.timedelta(minutes=5)


def _intervals(skip=(), missing=()):
    return ThreePhaseIntervals([ThreePhaseInterval(DAY + dt.timedelta(minutes=30 * k), k, 0, 2 * k, 5, k, 0,
                                                   status=int(k in missing)) for k in range(48) if k not in skip], 1800)


@pytest.mark.parametrize(
    "values, line",
    [
        ([0, 1, 2, 3, 4, 5, 6, 7], "▁▂▃▄▅▆▇█"),
        ([None, 7, None, 0], " █ ▁"),
        ([3, 3], "██"),
        ([0, 0], "▁▁"),
        ([None, None], "  "),
        ([-7, 0, 7], "▁▅█"),
    ],
)
def test_sparkline(values, line):
    assert render.sparkline(values) == line


def test_the_load_curve_shows_missing_and_absent_intervals_as_gaps():
    lines = render.load_curve(_intervals(skip={10, 47}, missing={3}), DAY, DAY + dt.timedelta(hours=23, minutes=30))
    assert [line.split("│")[0].strip() for line in lines] == [
        "active import", "active export", "reactive import", "reactive export", "apparent import", "apparent export"]
    curves = [line.split("│")[1] for line in lines]
    assert all(len(curve) == 48 for curve in curves)
    assert all([i for i, bar in enumerate(curve) if bar == " "] == [3, 10, 47] for curve in curves)
    assert curves[0][46] == "█" and curves[1] == curves[5]
    assert lines[0].endswith("3 gaps")


def test_intervals_on_a_terminal_show_the_load_curve(cli, fake_api, monkeypatch, tmp_path):
    from norvo_halvex.cli.commands import intervals as commands

    path = tmp_path / "day.csv"
    writes_the_csv = fake_api.three_phase_intervals

    def download(*args, **kw):
        writes_the_csv(*args, **kw)
        return _intervals(missing={0})

    fake_api.three_phase_intervals = download
    plain = cli("intervals", "HX3000001", "--day", "2025-03-01", "--csv", str(path))
    monkeypatch.setattr(commands, "isatty", lambda stream: True)
    shown = cli("intervals", "HX3000001", "--day", "2025-03-01", "--csv", str(path))
    assert plain.code == shown.code == 0
    assert "│" not in plain.out
    curve = [line for line in shown.out.splitlines() if "│" in line]
    assert len(curve) == 6 and curve[0].split("│")[1].startswith(" ▁")


@pytest.mark.parametrize("stream_type", [Terminal, io.StringIO], ids=["terminal", "pipe"])
def test_progress_keeps_notes_escaped_and_ends_with_a_summary(stream_type):
    stream = stream_type()
    status = StatusLine(stream)
    assert status.live is (stream_type is Terminal)
    with Counter("halvex: fleet", 3, status=status) as counter:
        counter.advance("ok")
        counter.advance("failed", "halvex: meter X: read failed: \x1b[2J")
        counter.advance("partial")
    counter.finish()
    text = stream.getvalue()
    last = text.rstrip().splitlines()[-1]
    assert "halvex: meter X: read failed: \\x1b[2J" in text and "\x1b[2J" not in text
    assert re.search(r"halvex: fleet: 3/3 done, 1 failed, 1 partial, \d+\.\d s$", last)
    if not status.live:  # only the note and the summary
        assert text.splitlines() == ["halvex: meter X: read failed: \\x1b[2J", last]


def test_a_live_progress_bar_leaves_standard_output_alone(capsys):
    # The interval CSV is written to standard output while the bar runs on standard error.
    terminal = Terminal()
    with Spinner("downloading", status=StatusLine(terminal), total_steps=2) as spinner:
        print("time,active_import_kwh")
        spinner.step()
    assert capsys.readouterr().out == "time,active_import_kwh\n"
    assert "time,active_import_kwh" not in terminal.getvalue()
