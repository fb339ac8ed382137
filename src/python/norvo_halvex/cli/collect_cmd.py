"""``halvex collect``, ``gaps`` and ``export``: the fleet's meter-days in a DuckDB store."""

from __future__ import annotations

import contextlib
import datetime as _dt
import logging
import os
import sys
import threading
import time

from norvo_halvex.cli import parsing, render
from norvo_halvex.cli.errors import ExitCode, UsageError

UTC = _dt.timezone.utc
# A local problem: the store or output path cannot be used, the store is locked.
EXIT_LOCAL = 7


def _day_options(p, *, what: str) -> None:
    p.add_argument("--day", metavar="YYYY-MM-DD", help=f"the (newest) UTC day to {what} (default: yesterday)")
    p.add_argument("--days", metavar="N", type=int, default=1, help="the N days up to and including --day (default 1)")


def _db_option(p) -> None:
    from norvo_halvex.collect import DEFAULT_DB

    p.add_argument("--db", metavar="PATH", default=DEFAULT_DB, help=f"the DuckDB store (default ./{DEFAULT_DB})")


def add_collect_arguments(p) -> None:
    from norvo_halvex.collect.collector import DEFAULT_WORKERS
    from norvo_halvex.collect.task import DEFAULT_RETRIES, DEFAULT_WHATS, WHATS

    p.add_argument("serials", metavar="SERIAL", nargs="*", help="meter serial numbers (default with --simulate: every simulated meter)")
    p.add_argument("--serials-file", metavar="FILE",
                   help="read serials from FILE ('-' for standard input): one per line, '#' starts a comment")
    _day_options(p, what="collect")
    p.add_argument("--what", metavar="PARTS", default=",".join(DEFAULT_WHATS),
                   help=f"comma-separated parts: {', '.join(WHATS)} (default {','.join(DEFAULT_WHATS)})")
    _db_option(p)
    p.add_argument("--workers", metavar="N", type=int, default=DEFAULT_WORKERS,
                   help=f"meter-days read at the same time (per worker process with --cluster; default {DEFAULT_WORKERS})")
    p.add_argument("--retries", metavar="N", type=int, default=DEFAULT_RETRIES,
                   help=f"extra tries of a read after a transient failure (default {DEFAULT_RETRIES})")
    p.add_argument("--resume", action="store_true", help="skip the parts of meter-days whose last try succeeded")
    p.add_argument("--cluster", metavar="ADDRESS|local:N",
                   help="run the meter-days on a Dask cluster: a scheduler address, or local:N worker processes")


def add_gaps_arguments(p) -> None:
    _db_option(p)
    _day_options(p, what="check")


def add_export_arguments(p) -> None:
    from norvo_halvex.collect import FORMATS, TABLES

    _db_option(p)
    _day_options(p, what="export")
    p.add_argument("--table", choices=tuple(TABLES), default="intervals", help="what to export (default intervals)")
    p.add_argument("--format", choices=FORMATS, required=True, help="parquet, csv or jsonl (one JSON object per line)")
    p.add_argument("--out", metavar="PATH", required=True, help="the file to write ('-': standard output, csv and jsonl)")


# -- shared checks --------------------------------------------------------------------------


def _days(args) -> list[_dt.date]:
    from norvo_halvex.collect import day_range, yesterday

    day = parsing.parse_day(args.day) if args.day else yesterday()
    if args.days < 1:
        raise UsageError("--days must be at least 1")
    today = _dt.datetime.now(UTC).date()
    if day > today:
        raise UsageError(f"--day {day.isoformat()} is in the future (today is {today.isoformat()} UTC)")
    try:
        return day_range(day, args.days)
    except OverflowError:
        raise UsageError(f"--days {args.days} reaches before the first representable date") from None


class LocalProblem(Exception):
    """The store or an output path cannot be used on this machine."""


def _open_store(path: str, *, read_only: bool):
    from norvo_halvex.collect import Store, StoreError

    if os.path.isdir(path):
        raise LocalProblem(f"--db {path} is a directory; give the path of a store file")
    folder = os.path.dirname(os.path.abspath(path))
    if not read_only and not os.access(folder, os.W_OK):
        raise LocalProblem(f"--db {path}: cannot write in {folder}")
    try:
        return Store(path, read_only=read_only)
    except StoreError as e:
        raise LocalProblem(str(e)) from None


def _local_failure(ctx, command: str, exc: LocalProblem) -> int:
    print(f"halvex: {command}: {exc}", file=ctx.stderr, flush=True)
    if ctx.json:
        doc = {"command": command, "error": {"code": "LOCAL", "message": str(exc), "exit_code": EXIT_LOCAL}}
        print(render.dumps(doc), file=ctx.stdout, flush=True)
    return EXIT_LOCAL


# -- collect ------------------------------------------------------------------------------


def _serials(ctx, args) -> list[str]:
    serials = list(args.serials)
    source = args.serials_file
    if source:
        try:
            if source == "-":
                serials += parsing.parse_serial_lines(sys.stdin)
            else:
                with open(source, encoding="utf-8") as f:
                    serials += parsing.parse_serial_lines(f)
        except OSError as e:
            raise UsageError(f"cannot read {source}: {e.strerror or e}") from None
    if not serials and ctx.simulate:
        serials = sorted(ctx.start_simulator().fleet.meters)
    if not serials:
        raise UsageError("no meters: give serials as arguments or --serials-file FILE (or --simulate)")
    return list(dict.fromkeys(serials))  # a serial given twice is collected once


class _Progress:
    """A rich progress bar on a terminal; plain lines (failures, every tenth) otherwise."""

    def __init__(self, ctx, total: int) -> None:
        self.ctx = ctx
        self.total = total
        self.stream = ctx.stderr
        self.live = ctx.status.live and not ctx.json
        self.bar = None
        self.last_tenth = 0
        self.started = time.monotonic()
        if self.live:
            from rich.console import Console
            from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeRemainingColumn

            self.bar = Progress(
                TextColumn("collect"), BarColumn(), MofNCompleteColumn(),
                TextColumn("{task.fields[failed]} failed"), TextColumn("{task.fields[rate]}"),
                TimeRemainingColumn(), console=Console(file=self.stream), transient=True,
            )
            self.task = self.bar.add_task("collect", total=total or None, failed=0, rate="")

    def __enter__(self):
        self.started = time.monotonic()
        if self.bar is not None:
            self.bar.start()
        return self

    def __exit__(self, *exc) -> None:
        if self.bar is not None:
            self.bar.stop()

    def line(self, text: str) -> None:
        if self.bar is not None:
            self.bar.console.print(text, markup=False, highlight=False)
        else:
            print(text, file=self.stream, flush=True)

    def update(self, result, summary) -> None:
        if result.outcome != "ok":
            for a in result.final().values():
                if a.outcome != "ok":
                    detail = f"{a.code}: {a.message}" if a.message else str(a.code)
                    self.line(f"halvex: meter {result.serial}: {result.day.isoformat()} {a.what} "
                              f"{a.outcome}: {' '.join(detail.split())}")
        done = summary.done + summary.skipped
        elapsed = max(time.monotonic() - self.started, 1e-9)
        if self.bar is not None:
            self.bar.update(self.task, completed=done, failed=summary.failed + summary.partial,
                            rate=f"{summary.done / elapsed:.1f}/s")
        elif self.total:
            tenth = done * 10 // self.total
            if tenth > self.last_tenth and done < self.total:
                self.last_tenth = tenth
                self.line(f"halvex: collect: {done}/{self.total} meter-days, "
                          f"{summary.failed + summary.partial} not ok, {summary.done / elapsed:.1f}/s")


def summary_lines(summary) -> list[str]:
    head = "interrupted" if summary.interrupted else "done"
    lines = [
        f"halvex: collect {head}: {summary.ok} ok, {summary.partial} partial, {summary.failed} failed"
        + (f", {summary.skipped} skipped (already collected)" if summary.skipped else "")
        + f" meter-days; {summary.rows} rows in {summary.elapsed:.1f} s -> {summary.db}",
    ]
    if summary.interrupted:
        lines.append(f"halvex: collect: stopped early; {summary.dropped} running meter-days were dropped, "
                     "the rest stays stored: run again with --resume to finish")
    elif summary.failed or summary.partial:
        lines.append(f"halvex: collect: see 'halvex gaps --db {summary.db}', then run again with --resume")
    return lines


def collect_exit_code(summary) -> int:
    if summary.interrupted:
        return int(ExitCode.INTERRUPTED)
    if not (summary.failed or summary.partial):
        return int(ExitCode.OK)
    if summary.failed == summary.done and summary.mediator_failures == summary.failed:
        return int(ExitCode.MEDIATOR)  # nothing answered: the mediator itself
    return int(ExitCode.PARTIAL)


def _report(ctx, summary) -> None:
    if ctx.json:
        print(render.dumps({"command": "collect", "result": summary.as_dict()}), file=ctx.stdout, flush=True)
    else:
        for line in summary_lines(summary):
            print(line, file=ctx.stderr, flush=True)


def cmd_collect(ctx, args) -> int:
    from norvo_halvex.collect import ClusterError, collect, parse_whats

    days = _days(args)
    try:
        whats = parse_whats(args.what)
    except ValueError as e:
        raise UsageError(f"--what: {e}") from None
    if args.workers < 1:
        raise UsageError("--workers must be at least 1")
    if args.retries < 0:
        raise UsageError("--retries must be 0 or more")
    if args.cluster is not None and args.cluster.startswith("local:"):
        n = args.cluster[len("local:"):]
        if not n.isdigit() or int(n) < 1:
            raise UsageError(f"--cluster {args.cluster}: expected local:N with N >= 1 worker processes")
    serials = _serials(ctx, args)
    try:
        store = _open_store(args.db, read_only=False)
    except LocalProblem as e:
        return _local_failure(ctx, "collect", e)
    progress = _Progress(ctx, len(serials) * len(days))
    stop = threading.Event()
    summary = None
    try:
        with store, progress:
            if ctx.simulate and ctx.simulator is None:
                ctx.start_simulator()
            options = dict(day=days[-1], days=len(days), whats=whats, store=store, workers=args.workers,
                           retries=args.retries, resume=args.resume, on_result=progress.update, stop=stop,
                           log_level=ctx.log_level)
            if args.cluster is not None:
                summary = collect(serials, mediator=ctx.mediator, cluster=args.cluster, **options)
            else:
                summary = collect(serials, api=ctx.api(), mediator=ctx.mediator, **options)
    except KeyboardInterrupt as exc:
        summary = getattr(exc, "summary", None)
        _quiet_shutdown(ctx)
        if summary is None:
            raise
    except ClusterError as e:
        print(f"halvex: collect: {e}", file=ctx.stderr, flush=True)
        return int(ExitCode.MEDIATOR)
    except ValueError as e:  # a cluster address Dask refuses
        raise UsageError(str(e)) from None
    _report(ctx, summary)
    return collect_exit_code(summary)


def _quiet_shutdown(ctx) -> None:
    """After an interrupt nothing more reaches the terminal: running reads fail as the
    channel closes, and their failures are of no interest any more."""
    logging.disable(logging.CRITICAL)
    api = getattr(ctx, "_api", None)
    close = getattr(getattr(api, "grpc_client", None), "close", None)
    if callable(close):
        with contextlib.suppress(Exception):
            close()


def for_terminal(text: str) -> str:
    """Control characters from a meter or the mediator shown escaped, never interpreted."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in str(text))


# -- gaps -------------------------------------------------------------------------------------


def _slot_runs(slots: list[_dt.datetime], step: int) -> list[str]:
    """Consecutive slots as ranges: 10:00-11:00 (3 slots)."""
    runs: list[list[_dt.datetime]] = []
    for t in slots:
        if runs and (t - runs[-1][-1]).total_seconds() <= step:
            runs[-1].append(t)
        else:
            runs.append([t])
    out = []
    for run in runs:
        if len(run) == 1:
            out.append(f"{run[0]:%H:%M}")
        else:
            out.append(f"{run[0]:%H:%M}-{run[-1]:%H:%M} ({len(run)} slots)")
    return out


def gaps_lines(report: dict) -> list[str]:
    lines = []
    for meter in report["meters"]:
        serial = for_terminal(meter["serial"])
        for f in meter["failed"]:
            detail = f"{f['code']}: {f['message']}" if f["message"] else str(f["code"])
            lines.append(f"{serial}  {f['day'].isoformat()}  {f['what']}  {f['outcome']}  "
                         f"{for_terminal(' '.join(detail.split()))}")
        for m in meter["missing_slots"]:
            slots = m["slots"]
            lines.append(f"{serial}  {m['day'].isoformat()}  intervals  {len(slots)} missing: "
                         f"{', '.join(_slot_runs(slots, 1800))}")
        for day in meter["not_collected"]:
            lines.append(f"{serial}  {day.isoformat()}  not collected")
    c = report["counts"]
    days = report["days"]
    span = days[0].isoformat() if len(days) == 1 else f"{days[0].isoformat()}..{days[-1].isoformat()}"
    if not report["meters"]:
        lines.append(f"no gaps in {span}")
    else:
        lines.append(f"{c['meters_with_gaps']} meters with gaps in {span}: {c['failed']} failed parts, "
                     f"{c['missing_slots']} missing interval slots, {c['not_collected']} meter-days not collected")
    return lines


def cmd_gaps(ctx, args) -> int:
    from norvo_halvex.collect import gaps

    days = _days(args)
    try:
        store = _open_store(args.db, read_only=True)
    except LocalProblem as e:
        return _local_failure(ctx, "gaps", e)
    with store:
        report = gaps(store, days)
    if ctx.json:
        print(render.dumps({"command": "gaps", "result": report}), file=ctx.stdout, flush=True)
    else:
        for line in gaps_lines(report):
            print(line, file=ctx.stdout)
        ctx.stdout.flush()
    return int(ExitCode.PARTIAL if report["meters"] else ExitCode.OK)


# -- export -----------------------------------------------------------------------------------


def cmd_export(ctx, args) -> int:
    from norvo_halvex.collect import export

    days = _days(args)
    out = args.out
    if out == "-" and args.format == "parquet":
        raise UsageError("--format parquet is binary: give --out FILE, not '-'")
    if out != "-":
        folder = os.path.dirname(os.path.abspath(out))
        if os.path.isdir(out):
            return _local_failure(ctx, "export", LocalProblem(f"--out {out} is a directory; give a file path"))
        if not os.path.isdir(folder):
            return _local_failure(ctx, "export", LocalProblem(f"--out {out}: no directory {folder}"))
        if not os.access(folder, os.W_OK):
            return _local_failure(ctx, "export", LocalProblem(f"--out {out}: cannot write in {folder}"))
    try:
        store = _open_store(args.db, read_only=True)
    except LocalProblem as e:
        return _local_failure(ctx, "export", e)
    try:
        with store:
            rows = export(store, args.table, days, args.format, out, stdout=ctx.stdout)
    except OSError as e:
        return _local_failure(ctx, "export", LocalProblem(f"cannot write {out}: {e.strerror or e}"))
    if out != "-":
        if ctx.json:
            doc = {"command": "export", "result": {"table": args.table, "format": args.format, "out": os.path.abspath(out),
                                                   "rows": rows, "days": days}}
            print(render.dumps(doc), file=ctx.stdout, flush=True)
        else:
            print(f"halvex: export: {rows} {args.table} rows -> {out}", file=ctx.stderr, flush=True)
    return int(ExitCode.OK)
