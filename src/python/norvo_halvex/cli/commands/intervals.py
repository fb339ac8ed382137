"""Three-phase interval data: a local day or a window downloaded as CSV (or JSON rows)."""

from __future__ import annotations

import contextlib
import csv as _csv
import datetime as _dt
import os
from types import SimpleNamespace
from typing import NamedTuple

from norvo_halvex import files, meters
from norvo_halvex.cli import parsing, render
from norvo_halvex.cli.command import SERIAL, ZONE, Commands, arg
from norvo_halvex.cli.outcome import Outcome
from norvo_halvex.cli.progress import Spinner, isatty
from norvo_halvex.failures import UsageError
from norvo_halvex.util.three_phase_intervals import export_three_phase_intervals_to_csv

COMMANDS = Commands()


def count_csv_rows(path: str) -> int:
    with open(path, newline="", encoding="utf-8") as f:
        return max(0, sum(1 for row in _csv.reader(f) if row) - 1)


def json_rows(intervals, meter_type, statuses: bool) -> list[dict]:
    """The intervals as JSON rows: the CSV's columns and decimals (the domain's formatter),
    numbers as numbers, a value the meter does not hold as null."""
    return [{key: _json_cell(key, text) for key, text in record.items()}
            for record in meters.csv_records(intervals, meter_type, statuses)]


def _json_cell(key: str, text: str):
    if key in ("time", "status_flags"):
        return text
    if text == "":
        return None
    return int(text) if key == "status" else float(text)


class Download(NamedTuple):
    intervals: object
    seconds: float
    frames: int | None  # None when they could not be counted
    meter_type: object  # as the client read it; None when it could not be observed


@contextlib.contextmanager
def _observe(api, spinner: Spinner):
    """Watches a download through the client object: every frame
    (``_three_phase_intervals_read``) steps the progress line and is kept with its window for
    the grid's rules, and the meter type the client reads first
    (``three_phase_hardware_configuration``) is kept. The client calls both through the
    object, so instance attributes observe them without changing what is sent."""
    seen = SimpleNamespace(meter_type=None, frames=[])
    frame = getattr(api, "_three_phase_intervals_read", None)
    configuration = getattr(api, "three_phase_hardware_configuration", None)
    wrappers = {}
    if frame is not None:
        def counted(serial, start_time, end_time, profile):
            try:
                block = frame(serial, start_time, end_time, profile)
            finally:
                spinner.step()
            seen.frames.append((start_time, end_time, block))
            return block

        wrappers["_three_phase_intervals_read"] = counted
    if configuration is not None:
        def kept(*a, **kw):
            record = configuration(*a, **kw)
            seen.meter_type = getattr(record, "meter_type", None)
            return record

        wrappers["three_phase_hardware_configuration"] = kept
    installed = []
    try:
        for name, wrapper in wrappers.items():
            with contextlib.suppress(AttributeError, TypeError):
                setattr(api, name, wrapper)
                installed.append(name)
        yield seen
    finally:
        for name in installed:
            with contextlib.suppress(AttributeError, TypeError):
                delattr(api, name)


def day_calls(local) -> list[tuple]:
    """The client calls (day, start, end) that download the ``LocalDay``: the client's own
    day when it is the UTC day, else one window of at most 24 hours per call."""
    windows = local.windows()
    if windows == [meters.day_window(local.day)]:
        day = _dt.datetime.combine(local.day, _dt.time(0), tzinfo=_dt.UTC)
        return [(day, *windows[0])]
    return [(None, start, end) for start, end in windows]


def download_intervals(api, serial, calls, csv_path, statuses, *, status, label=None, write=True) -> Download:
    """Downloads the windows of ``calls`` ((day, start, end) each: one client call), checks
    every frame against the meter's grid (``InvalidIntervals``: nothing is written) and
    writes one CSV of them all to ``csv_path`` (None: standard output) unless not ``write``."""
    frames = sum(meters.frame_count(start, end) for _, start, end in calls)
    parts = []
    with Spinner(label or f"downloading intervals of {serial}", status=status, total_steps=frames) as sp:
        with _observe(api, sp) as seen:
            for day, start, end in calls:
                before = len(seen.frames)
                # The client writes its own CSV of each call; the tool writes one of all of them.
                if day is not None:
                    got = api.three_phase_intervals(serial, day, None, None, os.devnull, statuses)
                else:
                    got = api.three_phase_intervals(serial, None, start, end, os.devnull, statuses)
                if len(seen.frames) == before:  # frames out of sight: check what came back
                    seen.frames.append(meters.intervals_frame(start, end, got))
                parts.append(got)
    meters.check_frames(f if isinstance(f, meters.Frame) else meters.block_frame(*f) for f in seen.frames)
    intervals = parts[0] if len(parts) == 1 else meters.ThreePhaseIntervals(
        [iv for part in parts for iv in part], parts[0].interval_length)
    meter_type = seen.meter_type
    if write:
        if meter_type is None:
            meter_type = api.three_phase_hardware_configuration(serial).meter_type
        export_three_phase_intervals_to_csv(intervals, csv_path, meter_type, statuses)
    return Download(intervals, sp.elapsed, sp.steps or None, meter_type)


@COMMANDS.add(
    "intervals", "download three-phase interval data as CSV", SERIAL,
    arg("--day", metavar="YYYY-MM-DD", help="a whole day: 00:00 to 00:00 in --tz (46, 48 or 50 half-hours)"),
    arg("--start", metavar="ISO", help="window start (ISO 8601; naive times are UTC)"),
    arg("--end", metavar="ISO", help="window end, at most 24 hours after --start"),
    ZONE,
    arg("--csv", metavar="FILE", help="write the CSV to FILE instead of standard output"),
    arg("--statuses", action="store_true", help="add the interval status columns"),
)
def cmd_intervals(ctx, args) -> Outcome:
    day, start, end = parsing.interval_window(args.day, args.start, args.end)
    zone = None
    if day is not None:
        zone = parsing.time_zone(args.tz)
        calls = day_calls(parsing.local_day(day, zone))
        start, end = calls[0][1], calls[-1][2]
    else:
        calls = [(None, start, end)]
    # Checked before the download: a day's data must not be fetched only to find it cannot be kept.
    csv_path = parsing.check_output(args.csv, "--csv") if args.csv else None
    if csv_path == files.STDOUT:
        if ctx.json:
            raise UsageError("--csv - and --json would both use standard output; give --csv FILE or leave it out")
        csv_path = None  # the CSV goes to standard output
    api = ctx.api()
    ctx.stdout.flush()
    # With --json and no file the rows are in the JSON document, which holds standard output.
    got = download_intervals(api, args.serial, calls, csv_path, args.statuses, status=ctx.status,
                             write=bool(csv_path) or not ctx.json)
    intervals = got.intervals
    rows = _length(intervals)
    table_rows = None
    if ctx.json:
        meter_type = got.meter_type
        if meter_type is None:
            meter_type = api.three_phase_hardware_configuration(args.serial).meter_type
        table_rows = json_rows(intervals, meter_type, bool(args.statuses))
    result = {
        "start": start,
        "end": end,
        "zone": zone.key if zone is not None else None,
        "calls": len(calls),
        "frames": got.frames or sum(meters.frame_count(s, e) for _, s, e in calls),
        "interval_length": getattr(intervals, "interval_length", None),
        "rows": rows,
        "csv": csv_path,
        "statuses": bool(args.statuses),
        "intervals": table_rows,
    }
    window = f"{render.iso(start)} .. {render.iso(end)}"
    if csv_path:
        lines = render.value_lines(args.serial, "intervals", f"{window}  {rows} rows written to {csv_path}")
        if isatty(ctx.stdout):  # the day's load curve at a glance
            lines += render.load_curve(intervals, start, end)
        return Outcome(result, lines)
    if not ctx.json:
        # The CSV went to standard output; the summary goes to standard error.
        ctx.status.note(f"halvex: meter {args.serial}: {rows if rows is not None else '?'} intervals "
                        f"({window}) in {got.seconds:.1f} s")
        if isatty(ctx.stderr):
            for line in render.load_curve(intervals, start, end):
                ctx.status.note(line)
    return Outcome(result, [])


def _length(value) -> int | None:
    try:
        return len(value)
    except TypeError:
        for name in ("intervals", "rows", "records"):
            inner = getattr(value, name, None)
            if inner is not None:
                with contextlib.suppress(TypeError):
                    return len(inner)
    return None
