import logging
from datetime import datetime, timedelta, timezone
from types import SimpleNamespace

import pytest
from hypothesis import given, strategies as st
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import IntervalStatus

from norvo_halvex.dto.three_phase_intervals import ThreePhaseInterval, ThreePhaseIntervals
from norvo_halvex.util.three_phase_intervals import blocks_to_intervals_rec

T0 = int(datetime(2026, 12, 7, tzinfo=timezone.utc).timestamp())
MISSING = int(IntervalStatus.missing)
OTHER_FLAG = next(int(m) for m in IntervalStatus if m is not IntervalStatus.missing)


def truth(t):
    """Deterministic six counts for the interval starting at epoch second t."""
    return [(t // 1800 * (k + 3)) % 100_000 for k in range(6)]


def block(start, n, length=1800, statuses=None, values=None):
    statuses = statuses or [0] * n
    return SimpleNamespace(
        start_time=start,
        interval_length=length,
        intervals=[
            SimpleNamespace(
                status=statuses[i],
                values=values[i] if values else truth(start + i * length),
            )
            for i in range(n)
        ],
    )


def utc(t):
    return datetime.fromtimestamp(t, timezone.utc)


def test_frames_sharing_boundary_give_each_interval_once_in_order():
    # 00:00-04:00 and 04:00-06:00 both carry 04:00; given newest first.
    result = blocks_to_intervals_rec([block(T0 + 4 * 3600, 5), block(T0, 9)])
    assert isinstance(result, ThreePhaseIntervals)
    assert [iv.time for iv in result] == [utc(T0 + i * 1800) for i in range(13)]
    assert result[8].values == tuple(truth(T0 + 8 * 1800))
    assert result.interval_length == 1800


def test_missing_intervals_are_kept_without_values():
    statuses = [0, MISSING, MISSING | OTHER_FLAG, OTHER_FLAG]
    result = blocks_to_intervals_rec([block(T0, 4, statuses=statuses, values=[[7] * 6] * 4)])
    assert [iv.values for iv in result] == [(7,) * 6, (None,) * 6, (None,) * 6, (7,) * 6]
    assert [iv.time for iv in result.missing] == [utc(T0 + 1800), utc(T0 + 3600)]
    assert [iv.status for iv in result] == statuses


A, B = [1] * 6, [2] * 6


@pytest.mark.parametrize(
    "earlier, later, kept",
    [
        ((0, A), (0, B), (0, B)),  # both hold data: the later read wins
        ((MISSING, A), (0, B), (0, B)),
        ((0, A), (MISSING, B), (0, A)),  # a copy with data beats a missing one
        ((0, A), (OTHER_FLAG, A), (OTHER_FLAG, A)),
    ],
)
def test_conflicting_boundary_copies_keep_one_and_warn(caplog, earlier, later, kept):
    caplog.set_level(logging.WARNING, logger="norvo_halvex.util.three_phase_intervals")
    first = block(T0, 2, statuses=[0, earlier[0]], values=[A, earlier[1]])
    second = block(T0 + 1800, 2, statuses=[later[0], 0], values=[later[1], B])
    result = blocks_to_intervals_rec([first, second])
    assert len(result) == 3
    status, values = kept
    assert result[1].status == status
    assert result[1].values == (tuple(values) if not status & MISSING else (None,) * 6)
    (record,) = caplog.records
    assert "conflicting copies" in record.getMessage()
    assert record.event_dict["time"] == utc(T0 + 1800).isoformat()


def test_identical_boundary_copies_do_not_warn(caplog):
    caplog.set_level(logging.DEBUG)
    blocks_to_intervals_rec([block(T0, 3), block(T0 + 3600, 3)])
    assert caplog.records == []


@pytest.mark.parametrize(
    "blocks, error, text",
    [
        (None, TypeError, "blocks must be a list of interval blocks, got None"),
        ([block(T0, 1), None], TypeError, "interval block 2 of 2 is None"),
        ([block(T0, 1, length=0)], ValueError, "block 1 of 1 has interval_length 0"),
        ([block(T0, 1, length=-1800)], ValueError, "interval_length -1800"),
        ([block(T0, 1), block(T0, 1, length=900)], ValueError, "900 s but earlier blocks have 1800 s"),
        ([block(T0, 1, length=1800.0)], TypeError, "interval_length must be an int, got float"),
        ([block(T0, 2, values=[A, [1] * 5])], ValueError, "block 1 of 1, interval 1: expected 6 values"),
        ([block(T0, 1, values=[[1.5] * 6])], TypeError, "values must be int counts, got float"),
    ],
)
def test_bad_blocks_are_reported(blocks, error, text):
    with pytest.raises(error, match=text):
        blocks_to_intervals_rec(blocks)


def test_missing_interval_values_are_not_inspected():
    result = blocks_to_intervals_rec([block(T0, 1, statuses=[MISSING], values=[[None, "x"]])])
    assert result[0].missing and result[0].values == (None,) * 6


@pytest.mark.parametrize("blocks, length", [([], None), ([block(T0, 0, length=900)], 900)])
def test_empty_downloads(blocks, length):
    result = blocks_to_intervals_rec(blocks)
    assert len(result) == 0 and result.interval_length == length


@given(
    frames=st.lists(
        st.tuples(st.integers(0, 60), st.integers(0, 12)), min_size=1, max_size=8
    ),
    missing=st.sets(st.integers(0, 72)),
)
def test_any_frame_set_gives_ordered_unique_true_intervals(frames, missing):
    blocks = []
    for first, n in frames:
        statuses = [MISSING if first + i in missing else 0 for i in range(n)]
        blocks.append(block(T0 + first * 1800, n, statuses=statuses))
    result = blocks_to_intervals_rec(blocks)
    expected = sorted({first + i for first, n in frames for i in range(n)})
    assert [iv.time for iv in result] == [utc(T0 + k * 1800) for k in expected]
    for k, iv in zip(expected, result):
        assert iv.missing == (k in missing)
        assert iv.values == ((None,) * 6 if k in missing else tuple(truth(T0 + k * 1800)))


# --- the collection type --------------------------------------------------------------------


def interval(minutes, status=0, value=1):
    t = datetime(2026, 12, 7, tzinfo=timezone.utc) + timedelta(minutes=minutes)
    return ThreePhaseInterval(t, *[value] * 6, status=status)


def test_collection_sequence_behaviour():
    items = [interval(0), interval(30, MISSING, None), interval(60)]
    coll = ThreePhaseIntervals(items, 1800)
    assert list(coll) == items and coll[-1] == items[2]
    assert coll[1:] == ThreePhaseIntervals(items[1:], 1800)
    assert coll.missing == (items[1],)
    assert coll == ThreePhaseIntervals(list(items), 1800) != ThreePhaseIntervals(items, 900)
    assert hash(coll) == hash(ThreePhaseIntervals(items, 1800))
    assert repr(coll) == (
        "ThreePhaseIntervals(3 intervals of 1800 s from 2026-12-07T00:00:00+00:00 "
        "to 2026-12-07T01:30:00+00:00, 1 missing)"
    )
    with pytest.raises(AttributeError):
        coll._intervals = ()


@pytest.mark.parametrize(
    "items, length, error",
    [
        ([interval(30), interval(0)], 1800, ValueError),
        ([interval(0), interval(0)], 1800, ValueError),
        ([interval(0)], None, ValueError),
        ([interval(0)], 0, ValueError),
        ([object()], 1800, TypeError),
    ],
)
def test_collection_rejects_bad_content(items, length, error):
    with pytest.raises(error):
        ThreePhaseIntervals(items, length)


def test_interval_normalises_time_and_status():
    from zoneinfo import ZoneInfo

    local = datetime(2026, 12, 7, 1, 30, tzinfo=ZoneInfo("Europe/Oslo"))
    iv = ThreePhaseInterval(local, *[0] * 6, status=IntervalStatus.missing)
    assert iv.time == local and iv.time.tzinfo is timezone.utc
    assert type(iv.status) is int and iv.missing


@pytest.mark.parametrize(
    "time, value, status, error",
    [
        (datetime(2026, 12, 7), 1, 0, ValueError),  # naive
        (datetime(2026, 12, 7, tzinfo=timezone.utc), 1.0, 0, TypeError),
        (datetime(2026, 12, 7, tzinfo=timezone.utc), True, 0, TypeError),
        (datetime(2026, 12, 7, tzinfo=timezone.utc), 1, -1, ValueError),
    ],
)
def test_interval_rejects_bad_fields(time, value, status, error):
    with pytest.raises(error):
        ThreePhaseInterval(time, *[value] * 6, status=status)


def codec_block(start, statuses):
    """A block written by the codec and parsed back from its bytes, as a download yields it."""
    from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import (
        QuarnProfileThreePhaseIntervalsResponseBlock as Block,
    )
    from quarn_frame_protocol.stream import BytesIO, KaitaiStream

    rec = Block()
    rec.start_time, rec.interval_length, rec.intervals = start, 1800, []
    for i, status in enumerate(statuses):
        iv = Block.Interval()
        iv.status = IntervalStatus(status)
        iv.values = [0] * 6 if status & MISSING else truth(start + i * 1800)
        rec.intervals.append(iv)
    io = KaitaiStream(BytesIO(bytearray(rec._wire_size())))
    rec._write(io)
    data = io.to_byte_array()
    parsed = Block(len(data), KaitaiStream(BytesIO(data)))
    parsed._read()
    return parsed


def test_parsed_codec_blocks():
    partial = int(IntervalStatus.partial)
    blocks = [codec_block(T0, [0, MISSING, 0]), codec_block(T0 + 3600, [0, partial])]
    result = blocks_to_intervals_rec(blocks)
    assert [iv.time for iv in result] == [utc(T0 + i * 1800) for i in range(4)]
    assert [iv.status for iv in result] == [0, MISSING, 0, partial]
    assert result[1].values == (None,) * 6
    assert result[3].values == tuple(truth(T0 + 3 * 1800))


class Count(int):
    """An int subclass: what a block may hand over as a count or a status."""


@pytest.mark.parametrize(
    "status, values",
    [
        (0, [0, 1, 2**32 - 1, 7, 8, 9]),
        (OTHER_FLAG, [Count(5)] * 6),
        (IntervalStatus(OTHER_FLAG), [True, False, 3, 4, 5, 6]),
        (Count(MISSING), [None, "not looked at"]),
        (0x80 | MISSING, [1] * 6),
    ],
)
def test_intervals_are_what_the_checked_constructor_makes(status, values):
    (got,) = blocks_to_intervals_rec([block(T0, 1, statuses=[status], values=[values])])
    shown = [None] * 6 if int(status) & MISSING else [int(v) for v in values]
    made = ThreePhaseInterval(utc(T0), *shown, status=int(status))
    assert (got, repr(got), got.time.tzinfo) == (made, repr(made), made.time.tzinfo)
    assert [type(v) for v in got.values + (got.status,)] == [type(v) for v in made.values + (made.status,)]


def test_a_negative_status_is_refused_with_the_intervals_own_words():
    with pytest.raises(ValueError, match="interval status must be a non-negative int, got -1"):
        blocks_to_intervals_rec([block(T0, 1, statuses=[-1])])
