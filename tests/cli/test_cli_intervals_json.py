"""`intervals --json` against the simulator: rows from the returned collection, in the CSV's
columns and decimals, with standard output holding the JSON document alone."""

from __future__ import annotations

import csv
import datetime as dt
import json
import tempfile
from zoneinfo import ZoneInfo

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


@pytest.mark.parametrize("day, rows, calls", [("2026-10-25", 50, 2), ("2026-03-29", 46, 1), ("2026-06-01", 48, 1)])
def test_a_local_day_is_one_csv_of_its_windows(cli, simulator, fleet, tmp_path, day, rows, calls):
    """A day in Oslo, 25 hours long when the clocks go back: two calls of the client (it takes
    24 hours at most), one CSV of every half-hour from midnight to midnight."""
    fleet.freeze_time(dt.datetime(2026, 11, 2, 6, tzinfo=dt.timezone.utc))
    path = tmp_path / "day.csv"
    run = cli("--mediator", simulator.address, "--json", "intervals", "HX3000001", "--day", day,
              "--tz", "Europe/Oslo", "--csv", str(path))
    assert run.code == 0, run.err
    result = json.loads(run.out)["result"]
    assert (result["rows"], result["calls"], result["zone"]) == (rows, calls, "Europe/Oslo")
    with open(path, newline="") as f:
        times = [dt.datetime.fromisoformat(row["time"]) for row in csv.DictReader(f)]
    midnight = dt.datetime.combine(dt.date.fromisoformat(day), dt.time(0), tzinfo=ZoneInfo("Europe/Oslo"))
    midnight = midnight.astimezone(dt.timezone.utc)  # half-hours of elapsed time, not of the wall clock
    assert times == [midnight + dt.timedelta(minutes=30 * i) for i in range(rows)]


@pytest.mark.parametrize(
    "fault, rule",
    [("shifted_intervals", "grid"), ("wrong_interval_length", "interval_length"),
     ("duplicated_intervals", "duplicate"), ("too_many_intervals", "too_many")],
)
def test_intervals_off_the_meters_grid_exit_5_and_write_nothing(cli, simulator, fleet, tmp_path, fault, rule):
    fleet.freeze_time(dt.datetime(2025, 3, 2, 6, tzinfo=dt.timezone.utc))
    fleet.set_fault("HX3000001", Fault(fault))
    path = tmp_path / "day.csv"
    path.write_text("the old file\n")
    run = cli("--mediator", simulator.address, "intervals", "HX3000001", "--day", DAY, "--csv", str(path))
    assert run.code == 5
    assert run.err.startswith("halvex: meter HX3000001: intervals failed: intervals off the meter's grid "
                              f"(INVALID_INTERVALS): {rule}: "), run.err
    assert path.read_text() == "the old file\n"
