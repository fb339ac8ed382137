"""Data records end to end: the real client over gRPC against the simulator.

Interval downloads (whole UTC days to a file and to standard output, a download broken in its
third frame), profile logs 1 and 2, and event log pages.
"""

from __future__ import annotations

import csv
import datetime as dt
import io
import logging
import os
from decimal import Decimal

import pytest

from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from norvo_halvex.mediator.simulator import Fault, messages
from norvo_halvex.util.three_phase_intervals import CSV_HEADER, CSV_STATUS_HEADER
from quarn_frame_protocol.errors import QuarnCodecError
from quarn_frame_protocol.quarn_event_log_response import QuarnEventLogResponse
from quarn_frame_protocol.quarn_message import QuarnMessage

UTC = dt.timezone.utc
NOW = dt.datetime(2025, 6, 3, 14, 10, tzinfo=UTC)
DAY = dt.date(2025, 6, 2)
DAY_START = dt.datetime(2025, 6, 2, tzinfo=UTC)
AX, CX = QuarnMessage.ThreePhaseMeterType.ax_whole_current, QuarnMessage.ThreePhaseMeterType.cx_ct_operated
# serial -> (meter type, raw counts per kWh, decimals in the CSV)
THREE_PHASE = {"HX3000001": (AX, 1000, 3), "HX3000002": (CX, 10000, 4)}


@pytest.fixture
def api(api, simulator):
    simulator.fleet.freeze_time(NOW)
    return api


@pytest.fixture
def sent(caplog):
    """sent(serial): how many data records the simulator has received for the meter so far."""
    caplog.set_level(logging.DEBUG, logger="norvo_halvex.mediator.simulator")

    def count(serial):
        return sum(r.getMessage().startswith(f"message {serial} ") for r in caplog.records)

    return count


def check_csv(text, intervals, serial, statuses):
    meter_type, per_kwh, decimals = THREE_PHASE[serial]
    rows = list(csv.reader(io.StringIO(text)))
    assert tuple(rows[0]) == CSV_HEADER + (CSV_STATUS_HEADER if statuses else ())
    body = rows[1:]
    assert len(body) == 48
    times = [dt.datetime.fromisoformat(r[0]) for r in body]
    assert times == [DAY_START + i * dt.timedelta(minutes=30) for i in range(48)]
    for row, interval in zip(body, intervals):
        values = row[1:7]
        assert all(len(v.split(".")[1]) == decimals for v in values)
        assert [Decimal(v) * per_kwh for v in values] == list(interval.values)
        if statuses:
            assert row[7:] == [str(interval.status), ""]


def check_against_meter(simulator, serial, intervals):
    meter = simulator.fleet.meters[serial]
    expected = [meter.energy_a.intervals(int(iv.time.timestamp())) for iv in intervals]
    assert [list(iv.values) for iv in intervals] == expected
    assert any(any(v) for v in expected)


@pytest.mark.parametrize("serial", THREE_PHASE)
@pytest.mark.parametrize("statuses", [False, True])
def test_a_day_to_a_csv_file(api, simulator, sent, tmp_path, serial, statuses):
    path = tmp_path / "day.csv"
    intervals = api.three_phase_intervals(serial, DAY, None, None, str(path), statuses)
    assert sent(serial) == 6
    assert len(intervals) == 48 and intervals.interval_length == 1800 and not intervals.missing
    check_against_meter(simulator, serial, intervals)
    check_csv(path.read_text(), intervals, serial, statuses)
    assert os.listdir(tmp_path) == ["day.csv"]


@pytest.mark.parametrize("serial", THREE_PHASE)
@pytest.mark.parametrize("statuses", [False, True])
def test_a_day_to_standard_output(api, capsys, serial, statuses):
    day = dt.datetime(2025, 6, 2, 21, 0, tzinfo=UTC)  # only its date counts
    intervals = api.three_phase_intervals(serial, day, None, None, None, statuses)
    check_csv(capsys.readouterr().out, intervals, serial, statuses)


def test_an_explicit_window_matches_the_same_part_of_the_day(api, capfd):
    day = api.three_phase_intervals("HX3000002", DAY, None, None, "")
    capfd.readouterr()
    start = DAY_START + dt.timedelta(hours=5, minutes=10)
    part = api.three_phase_intervals("HX3000002", None, start, start + dt.timedelta(hours=9))
    assert list(part) == [iv for iv in day if start <= iv.time <= start + dt.timedelta(hours=9)]
    assert len(capfd.readouterr().out.splitlines()) == 1 + len(part)


@pytest.mark.parametrize(
    "fault, error",
    [
        (Fault("connection_failure", operations=["message"], after=2, details="line dropped"), HalvexConnectionFailure),
        (Fault(status="UNAVAILABLE", operations=["message"], after=2), MediatorClientException),
    ],
    ids=["connection_failure", "grpc_status"],
)
def test_a_failure_in_the_third_frame_writes_nothing(api, simulator, tmp_path, fault, error):
    existing = tmp_path / "existing.csv"
    api.three_phase_intervals("HX3000001", DAY, None, None, str(existing), True)
    before = existing.read_bytes()

    simulator.fleet.set_fault("HX3000001", fault)
    with pytest.raises(error):
        api.three_phase_intervals("HX3000001", DAY + dt.timedelta(days=-1), None, None, str(existing))
    assert simulator.fleet.fault_calls("HX3000001") == 3  # two frames fetched, the third failed, no more
    assert existing.read_bytes() == before

    fresh = tmp_path / "fresh.csv"
    simulator.fleet.set_fault("HX3000001", fault)
    with pytest.raises(error):
        api.three_phase_intervals("HX3000001", DAY, None, None, str(fresh))
    assert sorted(os.listdir(tmp_path)) == ["existing.csv"]


def test_window_errors_send_nothing(api, sent):
    with pytest.raises(Exception, match="max range between start_time and end_time is 24 hours"):
        api.three_phase_intervals("HX3000001", None, DAY_START, DAY_START + dt.timedelta(hours=24, seconds=1))
    assert sent("HX3000001") == 0


# ---------------------------------------------------------------------------------------------
# profile logs

AT = dt.datetime(2025, 6, 3, 9, 10, 42, tzinfo=UTC)
RECORD = int(dt.datetime(2025, 6, 3, 9, 0, tzinfo=UTC).timestamp())
REGISTERS = ("import_active", "export_active", "import_reactive", "export_reactive")
CHANNELS = ("active_import", "active_export", "reactive_import", "reactive_export")


def registers(energy, at):
    return [energy.register(channel, at) for channel in CHANNELS]


@pytest.mark.parametrize("serial", ["HX1000001", "HX1000002"])
def test_profile_log_1(api, simulator, serial):
    rec = api.profile_log_1(serial, AT)
    meter = simulator.fleet.meters[serial]
    assert rec.timestamp == RECORD
    assert [getattr(rec, r) for r in REGISTERS] == registers(meter.energy_a, RECORD)


@pytest.mark.parametrize("serial, twin", [("HX1000001", False), ("HX1000002", True)])
def test_profile_log_2(api, simulator, serial, twin):
    rec = api.profile_log_2(serial, AT, twin)
    meter = simulator.fleet.meters[serial]
    assert rec.timestamp == RECORD
    assert [getattr(rec.element_a, r) for r in REGISTERS] == registers(meter.energy_a, RECORD)
    if twin:
        assert [getattr(rec.element_b, r) for r in REGISTERS] == registers(meter.energy_b, RECORD)
    else:
        assert rec.element_b is None
    # The flag must match the meter: the other layout is refused with a hint.
    with pytest.raises(QuarnCodecError, match="twin-element flag"):
        api.profile_log_2(serial, AT, not twin)


# ---------------------------------------------------------------------------------------------
# event log


@pytest.mark.parametrize("serial", ["HX1000002", "HX3000002"])
@pytest.mark.parametrize("idx", [0, 3, 15])
def test_event_log_pages(api, simulator, serial, idx):
    rec = api.event_log(serial, idx)
    meter = simulator.fleet.meters[serial]
    expected = messages.events(meter, idx, NOW.timestamp())
    assert isinstance(rec, QuarnEventLogResponse) and rec.log_idx == idx
    assert [(e.time, e.code, e.detail) for e in rec.events] == [(e.time, e.code, e.detail) for e in expected]
    day = int(meter.clock(NOW.timestamp())) // 86400 * 86400 - idx * 86400
    assert all(day <= e.time < day + 86400 for e in rec.events)


@pytest.mark.parametrize("idx", [16, -1])
def test_a_refused_event_log_index_sends_nothing(api, sent, idx):
    with pytest.raises(ValueError, match="out of range"):
        api.event_log("HX1000001", idx)
    assert sent("HX1000001") == 0
    api.event_log("HX1000001", 1)
    assert sent("HX1000001") == 1  # the counter does see a message that is sent
