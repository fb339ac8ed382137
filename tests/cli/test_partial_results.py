"""Values whose read failed are reported as failed, never as a success or as 'n/a'."""

from __future__ import annotations

import csv
import io

import pytest

from norvo_halvex.mediator.simulator import Fault

PARTIAL = 6


@pytest.mark.parametrize(
    "serial, objects, command, failed, rows",
    [
        ("HX3000002", ["three_phase_total_reactive_import", "three_phase_total_apparent_export"], "read",
         ["reactive_import", "apparent_export"], [["reactive", "import", "failed"], ["apparent", "export", "failed"]]),
        ("HX3000001", ["three_phase_instantaneous_voltage_l2"], "three-phase-voltage", ["l2"], [["L2", "failed"]]),
        ("HX3000001", ["three_phase_instantaneous_voltage_l2", "three_phase_instantaneous_voltage_l3"],
         "three-phase-voltage", ["l2", "l3"], [["L2", "failed"], ["L3", "failed"]]),
        ("HX3000001", [], "read", [], []),
    ],
    ids=["two-totals", "l2", "l2-and-l3", "complete"],
)
def test_a_partial_reading_is_failed_in_text_null_in_json_and_exit_6(cli, simulator, serial, objects, command,
                                                                      failed, rows):
    if objects:
        simulator.fleet.set_fault(serial, Fault("end_of_stream", object_ids=objects))
    text = cli("--mediator", simulator.address, command, serial)
    assert text.code == (PARTIAL if failed else 0)
    shown = [line.split() for line in text.out.splitlines()]
    assert all(row in shown for row in rows) and "n/a" not in text.out, text.out
    if failed:
        assert f"halvex: meter {serial}: {command} incomplete: {', '.join(failed)} could not be read" in text.err
    else:
        assert text.err == "" and "failed" not in text.out

    doc = cli("--mediator", simulator.address, "--json", command, serial)
    assert doc.code == text.code
    result = doc.json()["result"]
    assert result["failed"] == failed
    values = result["totals"] if command == "read" else result
    assert [key for key in values if values[key] is None] == failed


def test_a_fleet_row_with_a_failed_total_is_partial(cli, simulator):
    # (rows and documents of partial meters in every format: test_fleet_runner.py)
    simulator.fleet.set_fault("HX3000001", Fault("connection_failure",
                                                 object_ids=["three_phase_total_active_export"]))
    run = cli("--mediator", simulator.address, "fleet", "HX1000001", "HX3000001", "HX3000002")
    assert run.code == PARTIAL
    rows = {row["serial"]: row for row in csv.DictReader(io.StringIO(run.out))}
    assert [rows[s]["status"] for s in ("HX1000001", "HX3000001", "HX3000002")] == ["ok", "partial", "ok"]
    assert rows["HX3000001"]["active_export_kwh"] == "" and rows["HX3000001"]["active_import_kwh"] != ""
    assert "halvex: meter HX3000001: read incomplete: active_export could not be read" in run.err
    assert run.err.splitlines()[-1].startswith("halvex: fleet: 3/3 done, 0 failed, 1 partial")
