"""The interval CSV layout and its row formatter.

Columns: ``time`` (ISO 8601, UTC), then the six quantities in kWh / kvarh / kVAh with the
meter's exact decimals (3 whole-current, 4 CT-operated; empty when the meter holds no value),
and with statuses also ``status`` (the raw flags) and ``status_flags`` (their names joined
by ``|``). ``csv_rows`` formats a whole collection before anything is written, so bad data
never leaves a partial file; writing it to a file or standard output is
``norvo_halvex.util.three_phase_intervals.export_three_phase_intervals_to_csv``.
"""

from __future__ import annotations

import csv as _csv
from collections.abc import Iterable
from datetime import timezone
from typing import Final, TextIO

from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import (
    IntervalStatus,
)

from norvo_halvex.meters.intervals import ThreePhaseInterval
from norvo_halvex.meters.units import Scale, format_scaled, scale_for

__all__ = [
    "CSV_HEADER",
    "CSV_STATUS_HEADER",
    "csv_header",
    "csv_records",
    "csv_rows",
    "interval_row",
    "status_flag_names",
    "write_csv_rows",
]

CSV_HEADER: Final[tuple[str, ...]] = (
    "time",
    "active_import_kwh",
    "active_export_kwh",
    "reactive_import_kvarh",
    "reactive_export_kvarh",
    "apparent_import_kvah",
    "apparent_export_kvah",
)
CSV_STATUS_HEADER: Final[tuple[str, ...]] = ("status", "status_flags")


def csv_header(include_statuses: bool) -> list[str]:
    """The header row, with the two status columns when ``include_statuses``."""
    return [*CSV_HEADER, *CSV_STATUS_HEADER] if include_statuses else list(CSV_HEADER)


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


def interval_row(interval: ThreePhaseInterval, scale: Scale, include_statuses: bool) -> list[str]:
    """One interval as the cells of a CSV row (texts, in ``csv_header`` order)."""
    row = [interval.time.astimezone(timezone.utc).isoformat()]
    row.extend(format_scaled(v, scale) for v in interval.values)
    if include_statuses:
        row.append(str(interval.status))
        row.append(status_flag_names(interval.status))
    return row


def csv_rows(
    intervals: Iterable[ThreePhaseInterval], meter_type: object, include_statuses: bool
) -> list[list[str]]:
    """The header and one row per interval, scaled for ``meter_type`` (a three-phase meter
    type, a hardware string or a ``MeterKind``; see ``meters.units.scale_for``)."""
    scale = scale_for(meter_type)
    rows = [csv_header(include_statuses)]
    rows.extend(interval_row(interval, scale, include_statuses) for interval in intervals)
    return rows


def csv_records(
    intervals: Iterable[ThreePhaseInterval], meter_type: object, include_statuses: bool
) -> list[dict[str, str]]:
    """The rows of ``csv_rows`` as dicts keyed by the header, for JSON or table output."""
    header, *rows = csv_rows(intervals, meter_type, include_statuses)
    return [dict(zip(header, row)) for row in rows]


def write_csv_rows(out: TextIO, rows: Iterable[Iterable[str]]) -> None:
    """Write rows as CSV lines ending in ``\\n`` (open files with ``newline=""``)."""
    _csv.writer(out, lineterminator="\n").writerows(rows)
