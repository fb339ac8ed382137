"""Three-phase interval data: a day or a window downloaded as CSV (or JSON rows)."""

from __future__ import annotations

import contextlib
import csv as _csv
import io
from types import SimpleNamespace
from typing import NamedTuple

from norvo_halvex import files, meters
from norvo_halvex.cli import parsing, render
from norvo_halvex.cli.command import SERIAL, Commands, arg
from norvo_halvex.cli.outcome import Outcome
from norvo_halvex.cli.progress import Spinner, isatty
from norvo_halvex.failures import UsageError

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


class _Discard(io.TextIOBase):
    def write(self, text: str) -> int:
        return len(text)


class Download(NamedTuple):
    intervals: object
    seconds: float
    frames: int | None  # None when they could not be counted
    meter_type: object  # as the client read it; None when it could not be observed


@contextlib.contextmanager
def _observe(api, spinner: Spinner):
    """Watches a download through the client object: every frame
    (``_three_phase_intervals_read``) steps the progress line, and the meter type the client
    reads first (``three_phase_hardware_configuration``) is kept. The client calls both
    through the object, so instance attributes observe them without changing what is sent."""
    seen = SimpleNamespace(meter_type=None)
    frame = getattr(api, "_three_phase_intervals_read", None)
    configuration = getattr(api, "three_phase_hardware_configuration", None)
    wrappers = {}
    if frame is not None:
        def counted(*a, **kw):
            try:
                return frame(*a, **kw)
            finally:
                spinner.step()

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


def download_intervals(api, serial, day, start, end, csv_path, statuses, *, status, label=None) -> Download:
    """Runs the interval download with a progress line."""
    frames = meters.frame_count(start, end)
    with Spinner(label or f"downloading intervals of {serial}", status=status, total_steps=frames) as sp:
        with _observe(api, sp) as seen:
            if day is not None:
                intervals = api.three_phase_intervals(serial, day, None, None, csv_path, statuses)
            else:
                intervals = api.three_phase_intervals(serial, None, start, end, csv_path, statuses)
    return Download(intervals, sp.elapsed, sp.steps or None, seen.meter_type)


@COMMANDS.add(
    "intervals", "download three-phase interval data as CSV", SERIAL,
    arg("--day", metavar="YYYY-MM-DD", help="a whole UTC day (00:00 to 23:30)"),
    arg("--start", metavar="ISO", help="window start (ISO 8601; naive times are UTC)"),
    arg("--end", metavar="ISO", help="window end, at most 24 hours after --start"),
    arg("--csv", metavar="FILE", help="write the CSV to FILE instead of standard output"),
    arg("--statuses", action="store_true", help="add the interval status columns"),
)
def cmd_intervals(ctx, args) -> Outcome:
    day, start, end = parsing.interval_window(args.day, args.start, args.end)
    # Checked before the download: a day's data must not be fetched only to find it cannot be kept.
    csv_path = parsing.check_output(args.csv, "--csv") if args.csv else None
    if csv_path == files.STDOUT:
        if ctx.json:
            raise UsageError("--csv - and --json would both use standard output; give --csv FILE or leave it out")
        csv_path = None  # without a file the client writes the CSV to standard output
    api = ctx.api()
    # Without a file the client writes the CSV to standard output, which holds the JSON
    # document here; the rows come from the returned collection instead.
    quiet = contextlib.redirect_stdout(_Discard()) if csv_path is None and ctx.json else contextlib.nullcontext()
    ctx.stdout.flush()
    with quiet:
        got = download_intervals(api, args.serial, day, start, end, csv_path, args.statuses, status=ctx.status)
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
        "frames": got.frames or meters.frame_count(start, end),
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
