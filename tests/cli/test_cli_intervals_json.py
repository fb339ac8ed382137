"""`intervals --json` against the simulator: rows from the returned collection, in the CSV's
columns and decimals, with standard output holding the JSON document alone."""

from __future__ import annotations

import csv
import datetime as dt
import json
import tempfile

import pytest

from norvo_halvex.mediator.simulator import Fault

DAY = "2025-03-01"


@pytest.fixture
def frozen(fleet, simulator, monkeypatch, tmp_path):
    fleet.freeze_time(dt.datetime(2025, 3, 2, 6, tzinfo=dt.timezone.utc))
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(scratch))
    return scratch


def cell(key, text):
    if key in ("time", "status_flags"):
        return text
    return None if text == "" else (int(text) if key == "status" else float(text))


@pytest.mark.parametrize("serial", ["HX3000001", "HX3000002"])
@pytest.mark.parametrize("statuses", [(), ("--statuses",)])
def test_json_rows_match_the_csv_file_of_the_same_download(cli, simulator, fleet, frozen, tmp_path, serial, statuses):
    # The meter type is read once per download: a second read would fail the command.
    fleet.set_fault(serial, Fault("connection_failure", object_ids=["three_phase_hardware_configuration"],
                                  after=1))
    run = cli("--mediator", simulator.address, "--json", "intervals", serial, "--day", DAY, *statuses)
    assert run.code == 0, run.err
    doc = json.loads(run.out)  # nothing but the document on standard output
    result = doc["result"]
    assert (result["rows"], result["frames"], result["csv"]) == (48, 6, None)
    assert list(frozen.iterdir()) == []  # no scratch file on the way

    fleet.clear_fault(serial)
    path = tmp_path / "day.csv"
    assert cli("--mediator", simulator.address, "intervals", serial, "--day", DAY, "--csv", str(path), *statuses).code == 0
    with open(path, newline="") as f:
        expected = [{k: cell(k, v) for k, v in row.items()} for row in csv.DictReader(f)]
    assert result["intervals"] == expected
    decimals = len(next(iter(csv.DictReader(open(path))))["active_import_kwh"].split(".")[1])
    assert decimals == (4 if serial == "HX3000002" else 3)
