"""The domain rules of norvo_halvex.meters, each checked against what a meter really holds."""

from __future__ import annotations

import datetime as dt
from decimal import Decimal

import pytest
from hypothesis import given, strategies as st
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum

from norvo_halvex import meters
from norvo_halvex.meters import MeterKind

UTC = dt.timezone.utc
H = dt.timedelta(hours=1)
T0 = dt.datetime(2025, 3, 1, tzinfo=UTC)
MT = QuarnMessage.ThreePhaseMeterType


# ---------------------------------------------------------------- scaling and units

@pytest.mark.parametrize(
    "meter, ct",
    [
        ("P1.cx", True), (MT.cx_ct_operated, True), (2, True), (MeterKind.THREE_PHASE_CX, True),
        ("P1.ax", False), ("p1.cx", False), ("P1.cx ", False), ("THREE_PHASE_UNKNOWN", False),
        ("P0.se", False), (MT.ax_whole_current, False), (MT.unconfigured, False), (None, False),
        (7, False), (MeterKind.THREE_PHASE_AX, False), (MeterKind.TWIN_ELEMENT, False),
    ],
)
def test_only_ct_operated_meters_count_tenths_of_wh(meter, ct):
    scale = meters.scale_for(meter)
    assert meters.is_ct_operated(meter) is ct
    assert (scale.divisor, scale.decimals, scale.counts_per_wh) == ((10000, 4, 10) if ct else (1000, 3, 1))


@given(count=st.integers(-(2**40), 2**40), ct=st.booleans())
def test_scaled_text_is_the_exact_value_with_the_meter_decimals(count, ct):
    scale = meters.CT_OPERATED if ct else meters.WHOLE_CURRENT
    text = meters.format_scaled(count, scale)
    assert Decimal(text) == Decimal(count) / scale.divisor
    assert len(text.split(".")[1]) == scale.decimals
    hardware = "P1.cx" if ct else "P1.ax"
    assert meters.kilo_value(count, hardware) == float(Decimal(text))
    # The client's float of the count, written as files write registers, is that text again.
    assert meters.register_text(meters.kilo_value(count, hardware), hardware) == text


def test_no_value_scales_to_nothing():
    assert meters.format_scaled(None, meters.WHOLE_CURRENT) == ""
    assert meters.kilo_value(None, "P1.cx") is None
    assert meters.register_text(None, "P1.cx") is None


def test_every_register_name_has_a_unit_and_every_total_its_object():
    assert set(meters.ELEMENT_REGISTERS) | set(meters.THREE_PHASE_QUANTITIES) == set(meters.REGISTER_UNITS)
    assert list(meters.THREE_PHASE_TOTALS) == list(meters.THREE_PHASE_QUANTITIES)
    totals = [o for o in ObjectIdEnum if o.name.startswith("three_phase_total_")]
    assert sorted(meters.THREE_PHASE_TOTALS.values()) == totals
    assert set(QuarnMessage.ElementRegistersRec._fields) >= set(meters.ELEMENT_REGISTERS)


@pytest.mark.parametrize(
    "key, column",
    [("a_import_active", "a_import_active_kwh"), ("b_export_reactive", "b_export_reactive_kvarh"),
     ("active_import", "active_import_kwh"), ("apparent_export", "apparent_export_kvah")],
)
def test_a_register_column_carries_its_element_and_its_unit(key, column):
    assert meters.REGISTER_COLUMNS[key] == column
    assert len(set(meters.REGISTER_COLUMNS.values())) == len(meters.REGISTER_COLUMNS) == 2 * 4 + 6
    # The interval file names its quantities as the tables name the totals.
    assert list(meters.CSV_HEADER[1:]) == [meters.REGISTER_COLUMNS[k] for k in meters.THREE_PHASE_QUANTITIES]


# ---------------------------------------------------------------- hardware and kinds

@pytest.mark.parametrize(
    "kind, three_phase, element_b, meter_type, hardware",
    [
        (MeterKind.SINGLE_ELEMENT, False, False, None, None),
        (MeterKind.TWIN_ELEMENT, False, True, None, None),
        (MeterKind.THREE_PHASE_AX, True, False, MT.ax_whole_current, "P1.ax"),
        (MeterKind.THREE_PHASE_CX, True, False, MT.cx_ct_operated, "P1.cx"),
    ],
)
def test_meter_kinds(kind, three_phase, element_b, meter_type, hardware):
    assert (kind.is_three_phase, kind.has_element_b, kind.meter_type, kind.hardware_str) == (
        three_phase, element_b, meter_type, hardware)
    if hardware is not None:
        assert meters.is_three_phase(hardware) and meters.meter_kind(hardware) == "three_phase"


@pytest.mark.parametrize(
    "meter_type, hardware",
    [(MT.ax_whole_current, "P1.ax"), (MT.cx_ct_operated, "P1.cx"), (MT.unconfigured, "THREE_PHASE_UNKNOWN"),
     (1, "P1.ax"), (99, "THREE_PHASE_UNKNOWN"), (None, "THREE_PHASE_UNKNOWN")],
)
def test_three_phase_hardware_string_from_meter_type(meter_type, hardware):
    assert meters.three_phase_hardware_str(meter_type) == hardware


# ---------------------------------------------------------------- OBIS

@given(c=st.integers(0, 255), d=st.integers(0, 255), e=st.integers(0, 255))
def test_obis_code_and_identifier_round_trip(c, d, e):
    object_id = meters.obis_object_id(f"{c}.{d}.{e}")
    assert object_id == 0x01000000 | c << 16 | d << 8 | e
    assert meters.is_obis_object_id(object_id) and meters.obis_code(object_id) == f"{c}.{d}.{e}"
    assert not any(meters.is_obis_object_id(o) for o in ObjectIdEnum)


@pytest.mark.parametrize(
    "text, error, match",
    [
        ("1.8", ValueError, "invalid OBIS code '1.8'"),
        ("1.256.0", ValueError, "a part is above 255"),
        ("1.8.0.0", ValueError, "invalid OBIS code"),
        (" 1.8.0", ValueError, "invalid OBIS code"),
        ("١.8.0", ValueError, "invalid OBIS code"),  # digits, but not ASCII ones
        ("0001.8.0", ValueError, "invalid OBIS code"),
        (b"1.8.0", TypeError, "OBIS code must be text"),
    ],
)
def test_bad_obis_codes(text, error, match):
    with pytest.raises(error, match=match):
        meters.obis_object_id(text)


@pytest.mark.parametrize("text, canonical", [(" 01.008.0 \n", "1.8.0"), ("96.1.0", "96.1.0"), ("000.0.255", "0.0.255")])
def test_user_obis_text_is_normalised(text, canonical):
    assert meters.normalise_obis_code(text) == canonical


@pytest.mark.parametrize(
    "object_id, text",
    [
        (0x01010800, "OBIS object 1.8.0 (0x01010800)"),
        (ObjectIdEnum.read_element_a, "object read_element_a (0x0020)"),
        (0x20, "object read_element_a (0x0020)"),
        (0x7777, "object 0x7777"),
        (0x02000000, "object 0x2000000"),
    ],
)
def test_object_identifiers_described_for_error_texts(object_id, text):
    assert meters.describe_object_id(object_id) == text


@pytest.mark.parametrize("object_id", [0, 0x20, 0x00FFFFFF, 0x02000000])
def test_obis_code_of_a_non_obis_identifier_is_refused(object_id):
    with pytest.raises(ValueError, match="not an OBIS object identifier"):
        meters.obis_code(object_id)


# ---------------------------------------------------------------- windows and frames

def hours(*pairs):
    return [(T0 + a * H, T0 + b * H) for a, b in pairs]


@pytest.mark.parametrize(
    "end, frames",
    [
        (T0 + 4 * H, hours((0, 4))),
        (T0 + H / 2, hours((0, 0.5))),
        (T0 + 4 * H + dt.timedelta(seconds=1), hours((0, 4)) + [(T0 + 4 * H, T0 + 4 * H + dt.timedelta(seconds=1))]),
        (T0 + 10 * H, hours((0, 4), (4, 8), (8, 10))),
        (T0 + 24 * H, hours(*[(i * 4, i * 4 + 4) for i in range(6)])),
        (T0 + 23.5 * H, hours((0, 4), (4, 8), (8, 12), (12, 16), (16, 20), (20, 23.5))),
    ],
)
def test_windows_are_cut_into_frames_of_four_hours_sharing_their_bounds(end, frames):
    assert meters.interval_frames(T0, end) == frames
    assert meters.frame_count(T0, end) == len(frames)


@pytest.mark.parametrize(
    "day",
    [dt.date(2025, 3, 1), dt.datetime(2025, 3, 1, 23, 59, tzinfo=dt.timezone(dt.timedelta(hours=-9))),
     dt.datetime(2025, 3, 1, 0, 30)],
)
def test_a_day_is_midnight_to_half_past_eleven_utc_of_its_own_date(day):
    start, end = meters.day_window(day)
    assert (start, end) == (T0, T0 + dt.timedelta(hours=23, minutes=30))
    assert start.tzinfo is UTC and meters.frame_count(start, end) == 6
    assert meters.resolve_window(day, T0 + H, T0) == (start, end)  # an explicit window is then ignored


@pytest.mark.parametrize(
    "start, end, reason, message",
    [
        (None, T0, "missing", "start_time and end_time must be provided"),
        (T0, None, "missing", "start_time and end_time must be provided"),
        (T0, T0, "order", "start_time must come before end_time"),
        (T0 + H, T0, "order", "start_time must come before end_time"),
        (T0, T0 + 24 * H + dt.timedelta(microseconds=1), "too_long", "max range between start_time and end_time is 24 hours"),
    ],
)
def test_bad_windows_say_why(start, end, reason, message):
    with pytest.raises(meters.IntervalWindowError, match=message) as info:
        meters.resolve_window(None, start, end)
    assert info.value.reason == reason and isinstance(info.value, ValueError)


def test_the_longest_window_is_allowed():
    assert meters.resolve_window(None, T0, T0 + meters.MAX_WINDOW) == (T0, T0 + 24 * H)


# ---------------------------------------------------------------- CSV rows

def test_csv_records_carry_the_layout_and_the_meter_decimals():
    iv = meters.ThreePhaseIntervals(
        [meters.ThreePhaseInterval(T0, 12345, 0, 1, 2, 3, 4, status=0),
         meters.ThreePhaseInterval(T0 + H / 2, *[None] * 6, status=1 | 8)],
        1800,
    )
    cx, ax = meters.csv_records(iv, MT.cx_ct_operated, True), meters.csv_records(iv, "P1.ax", False)
    assert list(cx[0]) == meters.csv_header(True) and list(ax[0]) == list(meters.CSV_HEADER)
    assert cx[0]["active_import_kwh"] == "1.2345" and ax[0]["active_import_kwh"] == "12.345"
    assert cx[1] == dict(zip(meters.csv_header(True), ["2025-03-01T00:30:00+00:00", *[""] * 6, "9", "missing|partial"]))
