"""Interval downloads: the blocks of a download into a ``ThreePhaseIntervals``, and the CSV
export of the result.

The rules live in ``norvo_halvex.meters`` (assembly, CSV layout and formatter) and the atomic
file writing in ``norvo_halvex.files``; this module joins them into the export the client
calls at the end of a download.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Iterable
from typing import Any

from norvo_halvex.files import output
from norvo_halvex.meters.assembly import blocks_to_intervals_rec
from norvo_halvex.meters.interval_csv import (
    CSV_HEADER,
    CSV_STATUS_HEADER,
    csv_rows,
    status_flag_names,
)
from norvo_halvex.meters.interval_csv import write_csv_rows as _write_rows
from norvo_halvex.meters.intervals import ThreePhaseInterval

__all__ = [
    "CSV_HEADER",
    "CSV_STATUS_HEADER",
    "blocks_to_intervals_rec",
    "export_three_phase_intervals_to_csv",
    "status_flag_names",
]


def export_three_phase_intervals_to_csv(
    intervals: Iterable[ThreePhaseInterval],
    csv: str | os.PathLike[str] | None,
    meter_type: Any,
    include_statuses: bool,
) -> None:
    """Write intervals as CSV to the file ``csv``, or to standard output when it is None, ""
    or "-".

    Columns: ``time`` (ISO 8601, UTC), then the six values in kWh / kvarh / kVAh (3 decimals
    for whole-current meters, 4 for CT-operated ``cx_ct_operated`` meters; empty when the
    meter holds no value), and with ``include_statuses`` also ``status`` (the raw flags) and
    ``status_flags`` (their names joined by ``|``).

    A file is replaced atomically: on any failure an existing file is left untouched and no
    temporary file remains. An existing FIFO, character device or socket is written in place
    (never replaced by a file); a folder is refused.
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
    rows = csv_rows(intervals, meter_type, bool(include_statuses))

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
        with output(path, newline="") as out:
            _write_rows(out, rows)
    except OSError as e:
        # Name the file the caller gave, not the temporary one.
        if e.errno is None:
            raise OSError(f"cannot write the interval CSV to {path!r}: {e}") from e
        raise OSError(e.errno, f"cannot write the interval CSV ({e.strerror})", path) from e
