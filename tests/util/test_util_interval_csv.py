import io
import os
import sys
from datetime import datetime, timedelta, timezone
from decimal import Decimal
from types import SimpleNamespace

import pytest
from hypothesis import given, strategies as st
from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import IntervalStatus

import norvo_halvex.util.three_phase_intervals as tpi
from norvo_halvex.dto.three_phase_intervals import ThreePhaseInterval, ThreePhaseIntervals
from norvo_halvex.util.three_phase_intervals import export_three_phase_intervals_to_csv as export

AX = QuarnMessage.ThreePhaseMeterType.ax_whole_current
CX = QuarnMessage.ThreePhaseMeterType.cx_ct_operated
MISSING = int(IntervalStatus.missing)
OTHER = next(m for m in IntervalStatus if m is not IntervalStatus.missing)
T = datetime(2026, 12, 7, tzinfo=timezone.utc)

HEADER = (
    "time,active_import_kwh,active_export_kwh,reactive_import_kvarh,reactive_export_kvarh,"
    "apparent_import_kvah,apparent_export_kvah"
)


def intervals():
    return ThreePhaseIntervals(
        [
            ThreePhaseInterval(T, 1234, 0, 5, 100000, 4294967295, 10, status=0),
            ThreePhaseInterval(T + timedelta(minutes=30), *[None] * 6, status=MISSING | OTHER),
        ],
        1800,
    )


@pytest.mark.parametrize(
    "meter_type, row",
    [
        (AX, "2026-12-07T00:00:00+00:00,1.234,0.000,0.005,100.000,4294967.295,0.010"),
        (CX, "2026-12-07T00:00:00+00:00,0.1234,0.0000,0.0005,10.0000,429496.7295,0.0010"),
        (7, "2026-12-07T00:00:00+00:00,1.234,0.000,0.005,100.000,4294967.295,0.010"),
        (None, "2026-12-07T00:00:00+00:00,1.234,0.000,0.005,100.000,4294967.295,0.010"),
    ],
)
@pytest.mark.parametrize("csv_arg", [None, "", "-"])
def test_stdout_scaled_by_meter_type(capsys, meter_type, row, csv_arg):
    export(intervals(), csv_arg, meter_type, False)
    assert capsys.readouterr().out == (
        f"{HEADER}\n{row}\n2026-12-07T00:30:00+00:00,,,,,,\n"
    )


def test_status_columns(capsys):
    export(intervals(), None, AX, True)
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == HEADER + ",status,status_flags"
    assert lines[1].endswith(",0,")
    assert lines[2].endswith(f",{MISSING | int(OTHER)},missing|{OTHER.name}")


def test_unnamed_status_bits_shown_in_hex():
    known = 0
    for m in IntervalStatus:
        known |= int(m)
    spare = (known + 1) & ~known  # lowest bit without a name
    assert tpi.status_flag_names(MISSING | spare) == f"missing|{hex(spare)}"


@given(count=st.integers(0, 2**32 - 1), cx=st.booleans())
def test_values_are_exact_decimals(count, cx):
    out = io.StringIO()
    real = sys.stdout
    sys.stdout = out
    try:
        export(ThreePhaseIntervals([ThreePhaseInterval(T, *[count] * 6)], 1800), None, CX if cx else AX, False)
    finally:
        sys.stdout = real
    cell = out.getvalue().splitlines()[1].split(",")[1]
    divisor, decimals = (10000, 4) if cx else (1000, 3)
    assert Decimal(cell) == Decimal(count) / divisor
    assert len(cell.split(".")[1]) == decimals


def test_file_matches_stdout_and_replaces_existing(tmp_path, capsys):
    target = tmp_path / "day.csv"
    target.write_text("old\n")
    target.chmod(0o640)
    export(intervals(), str(target), CX, True)
    export(intervals(), None, CX, True)
    assert target.read_bytes() == capsys.readouterr().out.encode()
    assert (target.stat().st_mode & 0o777) == 0o640
    assert os.listdir(tmp_path) == ["day.csv"]


def half_then_fail(out, rows):
    out.write("time,partial\n")
    out.flush()
    raise OSError(28, "No space left on device")


@pytest.mark.parametrize(
    "patch, error",
    [
        ((tpi, "_write_rows", half_then_fail), "No space left on device"),
        ((os, "fsync", lambda fd: (_ for _ in ()).throw(OSError(5, "Input/output error"))), "Input/output error"),
        ((os, "replace", lambda a, b: (_ for _ in ()).throw(PermissionError(13, "Permission denied"))), "Permission denied"),
    ],
)
def test_failed_write_leaves_existing_file_and_no_temp(tmp_path, monkeypatch, patch, error):
    target = tmp_path / "day.csv"
    target.write_bytes(b"previous,content\r\n\x00")
    monkeypatch.setattr(*patch)
    with pytest.raises(OSError, match=f"cannot write the interval CSV \\({error}\\): '{target}'"):
        export(intervals(), str(target), AX, False)
    assert target.read_bytes() == b"previous,content\r\n\x00"
    assert os.listdir(tmp_path) == ["day.csv"]


def test_bad_data_writes_nothing(tmp_path, capsys):
    bad = [SimpleNamespace(time=T, values=(1, 2, 3, 4, 5, "6"), status=0)]
    target = tmp_path / "day.csv"
    for csv_arg in (None, str(target)):
        with pytest.raises(Exception):
            export(bad, csv_arg, AX, False)
    assert capsys.readouterr().out == "" and os.listdir(tmp_path) == []


def test_missing_directory_names_the_file(tmp_path):
    target = tmp_path / "no" / "day.csv"
    with pytest.raises(FileNotFoundError, match=str(target)):
        export(intervals(), str(target), AX, False)


def test_a_folder_is_refused_and_left_alone(tmp_path):
    (tmp_path / "inside").write_text("kept\n")
    with pytest.raises(IsADirectoryError, match=str(tmp_path)):
        export(intervals(), str(tmp_path), AX, False)
    assert os.listdir(tmp_path) == ["inside"]


@pytest.mark.parametrize("csv_arg", [1, b"day.csv"])
def test_csv_argument_type_checked(csv_arg):
    with pytest.raises(TypeError, match="csv must be a file path or None"):
        export(intervals(), csv_arg, AX, False)
