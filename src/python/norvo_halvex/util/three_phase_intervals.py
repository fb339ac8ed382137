"""Turning downloaded interval blocks into a ``ThreePhaseIntervals`` and writing them as CSV."""

from __future__ import annotations

import contextlib
import csv as _csv
import operator
import os
import secrets
import stat
import sys
from collections.abc import Iterable, Sequence
from datetime import datetime, timezone
from typing import Any, TextIO

from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import (
    IntervalStatus,
)

from norvo_halvex.dto.three_phase_intervals import (
    VALUE_FIELDS,
    ThreePhaseInterval,
    ThreePhaseIntervals,
)
from norvo_halvex.util.logging import get_logger

__all__ = [
    "CSV_HEADER",
    "CSV_STATUS_HEADER",
    "blocks_to_intervals_rec",
    "export_three_phase_intervals_to_csv",
    "status_flag_names",
]

_log = get_logger(__name__, __file__)

_MISSING = int(IntervalStatus.missing)
_VALUES_PER_INTERVAL = len(VALUE_FIELDS)

CSV_HEADER: tuple[str, ...] = (
    "time",
    "active_import_kwh",
    "active_export_kwh",
    "reactive_import_kvarh",
    "reactive_export_kvarh",
    "apparent_import_kvah",
    "apparent_export_kvah",
)
CSV_STATUS_HEADER: tuple[str, ...] = ("status", "status_flags")


# ---------------------------------------------------------------------------------------------
# blocks -> intervals


def _block_int(block_no: int, count: int, name: str, value: Any) -> int:
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(
            f"interval block {block_no} of {count}: {name} must be an int, "
            f"got {type(value).__name__}"
        ) from None


def _interval_from_record(
    block_no: int, count: int, pos: int, time: datetime, rec: Any
) -> ThreePhaseInterval:
    where = f"interval block {block_no} of {count}, interval {pos}"
    try:
        status = operator.index(rec.status)
    except TypeError:
        raise TypeError(
            f"{where}: status must be an int, got {type(rec.status).__name__}"
        ) from None
    if status & _MISSING:
        # What a missing interval carries in its value fields is meaningless.
        values: list[int | None] = [None] * _VALUES_PER_INTERVAL
    else:
        raw = list(rec.values)
        if len(raw) != _VALUES_PER_INTERVAL:
            raise ValueError(
                f"{where}: expected {_VALUES_PER_INTERVAL} values "
                f"({', '.join(VALUE_FIELDS)}), got {len(raw)}"
            )
        try:
            values = [operator.index(v) for v in raw]
        except TypeError:
            bad = next(v for v in raw if not hasattr(type(v), "__index__"))
            raise TypeError(
                f"{where}: values must be int counts, got {type(bad).__name__}"
            ) from None
    return ThreePhaseInterval(time, *values, status=status)


def _same_content(a: ThreePhaseInterval, b: ThreePhaseInterval) -> bool:
    return a.status == b.status and a.values == b.values


def blocks_to_intervals_rec(blocks: Sequence[Any]) -> ThreePhaseIntervals:
    """Combine the blocks of one download into one collection, ordered by time.

    Each block has ``start_time`` (epoch seconds of its first interval), ``interval_length``
    (seconds) and ``intervals`` (records with ``status`` and six raw ``values``); interval
    ``i`` starts at ``start_time + i * interval_length``. An interval flagged
    ``IntervalStatus.missing`` is kept, with every value None.

    Consecutive frames share their boundary interval, so an interval may come twice:

    - identical copies are kept once;
    - copies that differ are reported with a warning on this module's logger, and one is
      kept: a copy with data wins over a copy flagged missing, otherwise the copy from the
      later block (it was read later, so it holds the meter's latest state, e.g. of an
      interval still in progress during the download).

    Raises TypeError for a None block or fields of the wrong type, and ValueError for an
    interval length that is not positive or differs between blocks.
    """
    if blocks is None:
        raise TypeError(
            "blocks must be a list of interval blocks, got None; "
            "pass the blocks of a download in time order"
        )
    block_list = list(blocks)
    count = len(block_list)
    interval_length: int | None = None
    by_time: dict[datetime, ThreePhaseInterval] = {}

    for b, block in enumerate(block_list):
        block_no = b + 1
        if block is None:
            raise TypeError(
                f"interval block {block_no} of {count} is None: every frame of an interval "
                "download must yield a block (a frame requested with the reset profile "
                "yields none); fetch the frame again with profile_0"
            )
        length = _block_int(block_no, count, "interval_length", block.interval_length)
        if length <= 0:
            raise ValueError(
                f"interval block {block_no} of {count} has interval_length {length}; "
                "an interval length must be a positive number of seconds"
            )
        if interval_length is None:
            interval_length = length
        elif length != interval_length:
            raise ValueError(
                f"interval block {block_no} of {count} has interval_length {length} s but "
                f"earlier blocks have {interval_length} s; intervals of different lengths "
                "cannot form one collection (was the meter's profile reconfigured during "
                "the download?)"
            )
        start = _block_int(block_no, count, "start_time", block.start_time)

        for pos, rec in enumerate(block.intervals):
            time = datetime.fromtimestamp(start + pos * length, timezone.utc)
            interval = _interval_from_record(block_no, count, pos, time, rec)
            earlier = by_time.get(time)
            if earlier is None:
                by_time[time] = interval
            elif not _same_content(earlier, interval):
                keep = earlier if interval.missing and not earlier.missing else interval
                by_time[time] = keep
                _log.warning(
                    "conflicting copies of one interval in consecutive frames; "
                    "keeping the copy with data, else the later one",
                    time=time.isoformat(),
                    earlier=earlier,
                    later=interval,
                    kept="earlier" if keep is earlier else "later",
                )

    return ThreePhaseIntervals(
        (by_time[t] for t in sorted(by_time)), interval_length
    )


# ---------------------------------------------------------------------------------------------
# CSV export


def status_flag_names(status: int) -> str:
    """Names of the flags set in ``status``, joined by ``|`` (bits without a name in hex)."""
    names = []
    known = 0
    for member in IntervalStatus:
        value = int(member)
        known |= value
        if value and status & value == value:
            names.append(member.name)
    unknown = status & ~known
    if unknown:
        names.append(hex(unknown))
    return "|".join(names)


def _scale(meter_type: Any) -> tuple[int, int]:
    """(divisor, decimals) for the meter type's raw counts.

    CT-operated meters count in 0.1 Wh: /10000 with 4 decimals gives kWh exactly. All other
    meter types count in Wh: /1000 with 3 decimals.
    """
    if meter_type == QuarnMessage.ThreePhaseMeterType.cx_ct_operated:
        return 10000, 4
    return 1000, 3


def _format_count(count: int | None, divisor: int, decimals: int) -> str:
    # Integer arithmetic: no float rounding noise in the file.
    if count is None:
        return ""
    sign = "-" if count < 0 else ""
    whole, frac = divmod(abs(count), divisor)
    return f"{sign}{whole}.{frac:0{decimals}d}"


def _rows(
    intervals: Iterable[ThreePhaseInterval], meter_type: Any, include_statuses: bool
) -> list[list[str]]:
    divisor, decimals = _scale(meter_type)
    header = list(CSV_HEADER)
    if include_statuses:
        header.extend(CSV_STATUS_HEADER)
    rows = [header]
    for interval in intervals:
        row = [interval.time.astimezone(timezone.utc).isoformat()]
        row.extend(_format_count(v, divisor, decimals) for v in interval.values)
        if include_statuses:
            row.append(str(interval.status))
            row.append(status_flag_names(interval.status))
        rows.append(row)
    return rows


def _write_rows(out: TextIO, rows: list[list[str]]) -> None:
    _csv.writer(out, lineterminator="\n").writerows(rows)


def _create_temp(directory: str, base: str) -> tuple[int, str]:
    # O_EXCL with mode 0o666 lets the umask decide the permissions, as for any new file.
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    while True:
        tmp = os.path.join(directory, f".{base}.{secrets.token_hex(6)}.tmp")
        try:
            return os.open(tmp, flags, 0o666), tmp
        except FileExistsError:
            continue


def _fsync_directory(directory: str) -> None:
    # Makes the rename itself durable; not every platform can open a directory.
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _write_file_atomically(path: str, rows: list[list[str]]) -> None:
    """Write ``rows`` to ``path`` so that readers see the old file or the complete new one."""
    target = os.path.realpath(path)  # through a symlink, replace the file it points to
    directory, base = os.path.split(target)
    fd, tmp = _create_temp(directory, base)
    try:
        with open(fd, "w", encoding="utf-8", newline="") as out:
            _write_rows(out, rows)
            out.flush()
            os.fsync(out.fileno())
        with contextlib.suppress(FileNotFoundError):
            os.chmod(tmp, stat.S_IMODE(os.stat(target).st_mode))
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    _fsync_directory(directory)


def export_three_phase_intervals_to_csv(
    intervals: Iterable[ThreePhaseInterval],
    csv: str | os.PathLike[str] | None,
    meter_type: Any,
    include_statuses: bool,
) -> None:
    """Write intervals as CSV to the file ``csv``, or to standard output when it is None or "".

    Columns: ``time`` (ISO 8601, UTC), then the six values in kWh / kvarh / kVAh (3 decimals
    for whole-current meters, 4 for CT-operated ``cx_ct_operated`` meters; empty when the
    meter holds no value), and with ``include_statuses`` also ``status`` (the raw flags) and
    ``status_flags`` (their names joined by ``|``).

    A file is replaced atomically: on any failure an existing file is left untouched and no
    temporary file remains.
    """
    if csv is not None and not isinstance(csv, (str, os.PathLike)):
        raise TypeError(
            "csv must be a file path or None (None or '' writes to standard output), "
            f"got {type(csv).__name__}"
        )
    path = os.fspath(csv) if csv is not None else ""
    if not isinstance(path, str):
        raise TypeError(f"csv must be a text path, got {type(path).__name__}")

    # All rows are formatted before anything is written, so bad data leaves no partial output.
    rows = _rows(intervals, meter_type, bool(include_statuses))

    if not path:
        out = sys.stdout
        if out is None:
            raise RuntimeError(
                "no standard output to write the interval CSV to; give a file name instead"
            )
        _write_rows(out, rows)
        out.flush()
        return

    try:
        _write_file_atomically(path, rows)
    except OSError as e:
        # Name the file the caller gave, not the temporary one.
        if e.errno is None:
            raise OSError(f"cannot write the interval CSV to {path!r}: {e}") from e
        raise OSError(e.errno, f"cannot write the interval CSV ({e.strerror})", path) from e
