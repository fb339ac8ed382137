"""The rules a download's blocks must keep: the first one broken is named with its first
offending value."""

from __future__ import annotations

import datetime as dt

import pytest

from norvo_halvex.meters import Frame, InvalidIntervals, check_frames

D = int(dt.datetime(2025, 6, 1, tzinfo=dt.UTC).timestamp())
H = 3600


def frame(start_h, end_h, first=None, count=None, length=1800):
    """The frame of window start_h..end_h (hours after D); by default the block holds exactly
    the window's slots."""
    start, end = D + int(start_h * H), D + int(end_h * H)
    first = start if first is None else D + first
    count = (end - start) // 1800 + 1 if count is None else count
    return Frame(start, end, length, range(first, first + count * length, length))


def iso(seconds):
    return dt.datetime.fromtimestamp(D + seconds, dt.UTC).isoformat()


@pytest.mark.parametrize(
    "frames, rule, value",
    [
        # Consecutive frames share their boundary slot; a block may hold fewer slots than its window.
        ([frame(0, 4), frame(4, 8), frame(8, 10, count=2)], None, None),
        ([frame(0, 4, count=0)], None, None),
        ([frame(0, 4), frame(4, 8, length=1)], "interval_length", 1),
        ([frame(0, 4), frame(4, 8, first=4 * H + 7)], "grid", iso(4 * H + 7)),
        # One interval early: frame 2 repeats frame 1's 03:30 (frame 1 also leaves its window,
        # but the repeat is named first).
        ([frame(0, 4, first=-1800), frame(4, 8, first=4 * H - 1800)], "duplicate", iso(4 * H - 1800)),
        # Frames that do not touch share nothing.
        ([frame(0, 4), frame(4.5, 8, first=4 * H, count=8)], "duplicate", iso(4 * H)),
        ([frame(0, 4, count=18)], "too_many", 18),
        ([frame(0, 4, first=1800)], "window", iso(4 * H + 1800)),
        ([frame(0, 4, first=-1800, count=1)], "window", iso(-1800)),
    ],
)
def test_the_first_rule_broken_is_named_with_its_first_offending_value(frames, rule, value):
    if rule is None:
        check_frames(frames)
        return
    with pytest.raises(InvalidIntervals) as caught:
        check_frames(frames)
    assert (caught.value.rule, caught.value.value) == (rule, value)
    assert str(caught.value).startswith(f"{rule}: ") and str(value) in str(caught.value)


@pytest.mark.parametrize(
    "day, zone, start, slots, windows",
    [
        ("2026-06-01", "UTC", "2026-06-01T00:00:00+00:00", 48, [48]),
        ("2026-06-01", "Europe/Oslo", "2026-05-31T22:00:00+00:00", 48, [48]),
        ("2026-10-25", "Europe/Oslo", "2026-10-24T22:00:00+00:00", 50, [25, 25]),  # the clocks go back
        ("2026-03-29", "Europe/Oslo", "2026-03-28T23:00:00+00:00", 46, [46]),  # ... and forward
        ("2026-06-01", "Asia/Kolkata", "2026-05-31T18:30:00+00:00", 48, [48]),
        ("2026-06-01", "Asia/Kathmandu", None, None, None),  # 18:15 UTC: inside an interval
    ],
)
def test_a_local_day_is_its_slots_in_windows_of_at_most_24_hours(day, zone, start, slots, windows):
    from norvo_halvex.meters import MAX_WINDOW, local_day, time_zone

    if start is None:
        with pytest.raises(ValueError, match="inside one of the meters' 30-minute intervals"):
            local_day(dt.date.fromisoformat(day), time_zone(zone))
        return
    local = local_day(dt.date.fromisoformat(day), time_zone(zone))
    got = local.windows()
    assert (local.start.isoformat(), local.slots) == (start, slots)
    assert [int((e - s).total_seconds()) // 1800 + 1 for s, e in got] == windows
    assert all(e - s <= MAX_WINDOW for s, e in got)
    # The windows follow each other slot by slot, from the day's first to its last.
    edges = [local.start, *(t for s, e in got for t in (s, e + dt.timedelta(minutes=30))), local.end]
    assert edges[::2] == edges[1::2]
