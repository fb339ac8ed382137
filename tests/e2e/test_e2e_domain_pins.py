"""The C++ core computes its register floats and download frames itself; these tests pin it
to the rules of norvo_halvex.meters, so the two cannot drift apart."""

from __future__ import annotations

import datetime as dt
from types import SimpleNamespace

import pytest

from norvo_halvex import meters

UTC = dt.timezone.utc
H = dt.timedelta(hours=1)
DAY = dt.date(2025, 3, 1)
T0 = dt.datetime(2025, 3, 1, tzinfo=UTC)


@pytest.fixture
def core(api, fleet, monkeypatch):
    from norvo_halvex.mediator import api_core
    from norvo_halvex.util import three_phase_intervals

    # The real collaborators, whatever an earlier test left in the core's namespace.
    for name in ("blocks_to_intervals_rec", "export_three_phase_intervals_to_csv"):
        monkeypatch.setattr(api_core, name, getattr(three_phase_intervals, name))
    fleet.freeze_time(dt.datetime(2025, 3, 2, 6, tzinfo=UTC))
    return api


HARDWARE = ["P1.cx", "P1.ax", "THREE_PHASE_UNKNOWN", "P0.se", "P0.te2", "SINGLE_PHASE_UNKNOWN", "p1.cx", ""]
COUNTS = [0, 1, 9, 12345, 99999, 2**31, 2**32 - 1, 2**53 + 1]


@pytest.mark.parametrize("hardware", HARDWARE)
def test_core_register_scaling_is_the_domain_scaling(core, hardware):
    got = [core._scale_value(SimpleNamespace(value=count), hardware) for count in COUNTS]
    assert got == [meters.kilo_value(count, hardware) for count in COUNTS]


@pytest.mark.parametrize("serial, hardware", [("HX3000001", "P1.ax"), ("HX3000002", "P1.cx")])
def test_core_three_phase_totals_are_raw_totals_scaled_by_the_domain(core, mediator_client, serial, hardware):
    assert core.hardware(serial) == hardware
    raw = {name: mediator_client.read_element(serial, object_id).value
           for name, object_id in meters.THREE_PHASE_TOTALS.items()}
    assert any(raw.values())
    assert core.three_phase_read(serial, hardware) == {name: meters.kilo_value(v, hardware) for name, v in raw.items()}


WINDOWS = [
    (DAY, None, None),
    (None, T0, T0 + 4 * H),
    (None, T0 + dt.timedelta(minutes=7), T0 + H),
    (None, T0, T0 + 4 * H + dt.timedelta(seconds=1)),
    (None, T0 + 3 * H, T0 + 13 * H),
    (None, T0, T0 + 24 * H),
]


@pytest.mark.parametrize("serial, kind", [("HX3000001", meters.MeterKind.THREE_PHASE_AX),
                                          ("HX3000002", meters.MeterKind.THREE_PHASE_CX)])
@pytest.mark.parametrize("day, start, end", WINDOWS, ids=["day", "4h", "short", "4h+1s", "10h", "24h"])
def test_core_downloads_the_domain_frames_and_writes_the_domain_rows(core, tmp_path, serial, kind, day, start, end):
    frames, blocks = [], []
    real = core._three_phase_intervals_read

    def frame(serial, start_time, end_time, profile):
        frames.append((start_time, end_time))
        blocks.append(real(serial, start_time, end_time, profile))
        return blocks[-1]

    core._three_phase_intervals_read = frame
    path = tmp_path / "day.csv"
    result = core.three_phase_intervals(serial, day, start, end, str(path), True)

    assert frames == meters.interval_frames(*meters.resolve_window(day, start, end))
    assert result == meters.blocks_to_intervals_rec(blocks)
    if day is not None:
        assert len(result) == 48 and result.start == T0
    expected = "".join(",".join(row) + "\n" for row in meters.csv_rows(result, kind.meter_type, True))
    assert path.read_text() == expected
