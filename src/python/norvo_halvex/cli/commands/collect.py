"""``halvex collect``, ``gaps`` and ``export``: the fleet's meter-days in a store (a DuckDB file or
a PostgreSQL database)."""

from __future__ import annotations

import contextlib
import dataclasses
import datetime as _dt
import functools
import logging
import os
import signal
import threading
import time

import duckdb

from norvo_halvex import files, meters
from norvo_halvex.cli import logs, parsing, render
from norvo_halvex.cli.command import SERIALS_FILE, ZONE, Argument, Commands, arg
from norvo_halvex.cli.progress import Counter
from norvo_halvex.cli.report import describe
from norvo_halvex.collect import (
    DEFAULT_DB,
    DEFAULT_WAIT,
    FORMATS,
    TABLES,
    ClusterError,
    ClusterTLS,
    CollectOptions,
    StoreError,
    collect,
    day_range,
    export,
    gaps,
    is_server,
    open_store,
    parse_whats,
    shown,
    yesterday,
)
from norvo_halvex.collect.cluster import check_cluster, close_cluster, start_cluster
from norvo_halvex.collect.collector import DEFAULT_WORKERS
from norvo_halvex.collect.failfast import STOP_AFTER_REFUSED, STOP_AFTER_UNREACHABLE
from norvo_halvex.collect.store import WRITER_WAIT, backend_error, first_line
from norvo_halvex.collect.task import DEFAULT_RETRIES, DEFAULT_WHATS, WHATS
from norvo_halvex.failures import ExitCode, Failure, LocalError, UsageError, all_failed_exit_code, classify
from norvo_halvex.untrusted import for_terminal

COMMANDS = Commands()

DB = arg("--db", metavar="PATH|URL",
         help="the store: a DuckDB file, or a PostgreSQL database (postgresql://..., postgresql://?service=NAME; "
              f"the password from ~/.pgpass or PGPASSWORD) ($HALVEX_DB; default ./{DEFAULT_DB})")


def wait_option(default: float, what: str) -> Argument:
    return arg("--wait", metavar="SECONDS", type=float, default=default,
               help=f"how long to wait for a DuckDB store another process holds, {what} (default {default:g})")


def days_options(what: str) -> tuple[Argument, ...]:
    """``--day``, ``--days`` and ``--tz``: the local days to ``what``."""
    return (
        arg("--day", metavar="YYYY-MM-DD",
            help=f"the (newest) day to {what}, 00:00 to 00:00 in --tz (default: yesterday there)"),
        arg("--days", metavar="N", type=int, default=1, help="the N days up to and including --day (default 1)"),
        ZONE,
    )


# -- shared checks --------------------------------------------------------------------------


def _days(args) -> tuple[list[_dt.date], str]:
    """The local days asked for, oldest first, and the name of their time zone."""
    zone = parsing.time_zone(args.tz)
    day = parsing.parse_day(args.day) if args.day else yesterday(zone)
    if args.days < 1:
        raise UsageError("--days must be at least 1")
    try:
        days = day_range(day, args.days)
    except OverflowError:
        raise UsageError(f"--days {args.days} reaches before the first representable date") from None
    return checked_days(days, zone, "--day"), zone.key


def checked_days(days: list[_dt.date], zone, option: str) -> list[_dt.date]:
    """``days`` (oldest first), once none is in the future and each can be cut into intervals
    in ``zone``; ``option`` named the newest."""
    today = meters.today(zone)
    if days[-1] > today:
        raise UsageError(f"{option} {days[-1].isoformat()} is in the future (today is {today.isoformat()} in {zone.key})")
    for d in days:
        parsing.local_day(d, zone)
    return days


def _store_problem(message: str) -> LocalError:
    return LocalError(message, code="STORE_UNUSABLE", cause="store cannot be used", attempted=False)


def _db(args) -> str:
    """The store named by --db ($HALVEX_DB, the config file, else the default file)."""
    if args.db is None:  # settings not resolved: called from Python
        args.db = os.environ.get("HALVEX_DB") or DEFAULT_DB
    if args.wait < 0:
        raise UsageError("--wait must be 0 or more")
    return args.db


def _check_store(path: str, *, read_only: bool) -> None:
    """LocalError (exit 7) for a store path this machine cannot use, before anything starts."""
    if is_server(path):
        return  # a server says for itself, when connected to
    if os.path.isdir(path):
        raise _store_problem(f"--db {path} is a folder; give the path of a store file")
    if not read_only:
        parsing.check_output(path, "--db")  # a missing or unwritable folder


def _open_store(path: str, *, read_only: bool, wait: float):
    """The store at ``path``; LocalError (exit 7) when this machine cannot use it. A DuckDB
    file is held only while it is used (``wait``: seconds to wait for another process)."""
    _check_store(path, read_only=read_only)
    try:
        return open_store(path, read_only=read_only, wait=wait, hold=read_only)
    except StoreError as e:
        raise _store_problem(str(e)) from None


# -- collect ------------------------------------------------------------------------------

_CLUSTER_TLS_OPTIONS = ("cluster_tls_ca", "cluster_tls_cert", "cluster_tls_key", "cluster_insecure")


def _cluster_tls(args, sources=None) -> ClusterTLS | None:
    """The cluster's TLS settings (options, else HALVEX_CLUSTER_TLS_*, else the config
    file's profile), checked against ``--cluster`` before anything starts. Only options are
    refused where they do not apply: a profile may hold them for another cluster."""
    given = [name for name in _CLUSTER_TLS_OPTIONS
             if getattr(args, name) and (sources is None or sources.get(name) == "option")]
    if args.cluster is None or args.cluster.startswith("local:"):
        if given:
            where = "a scheduler address" if args.cluster else "--cluster"
            raise UsageError(f"--{given[0].replace('_', '-')} applies to {where} only")
    if args.cluster is None:
        return None
    tls = ClusterTLS.from_env(ca=args.cluster_tls_ca, cert=args.cluster_tls_cert, key=args.cluster_tls_key,
                              insecure=args.cluster_insecure)
    try:
        check_cluster(args.cluster, tls)
    except ValueError as e:
        raise UsageError(str(e)) from None
    return tls



def _serials(ctx, args) -> list[str]:
    serials = parsing.read_serials(args.serials, args.serials_file)
    if not serials and ctx.simulate:
        serials = sorted(ctx.start_simulator().fleet.meters)
    if not serials:
        raise UsageError("no meters: give serials as arguments or --serials-file FILE (or --simulate)")
    return list(dict.fromkeys(serials))  # a serial given twice is collected once


class _Progress:
    """Feeds the tool's progress counter: a bar on a terminal; otherwise a line per failed
    or partial part and one per tenth of the work."""

    PLAIN_FROM = 20  # meter-days: a smaller run is over before a progress line would help
    PLAIN_EVERY = 1.0  # seconds

    def __init__(self, ctx, counter: Counter) -> None:
        self.status = ctx.status
        self.counter = counter
        self.skipped = 0
        self.last_tenth = 0
        self.last_line = -self.PLAIN_EVERY

    def __call__(self, result, summary) -> None:
        if summary.skipped > self.skipped:
            self.counter.skip(summary.skipped - self.skipped)
            self.skipped = summary.skipped
        self.counter.advance(result.outcome)
        for a in result.final().values():
            if a.outcome != "ok":
                detail = f"{a.code}: {a.message}" if a.message else str(a.code)
                self.status.note(f"halvex: meter {result.serial}: {result.day.isoformat()} {a.what} "
                                 f"{a.outcome}: {' '.join(detail.split())}")
        total, done = self.counter.total, self.counter.done_count
        if self.status.live or total < self.PLAIN_FROM or done >= total or done * 10 // total <= self.last_tenth:
            return
        now = time.monotonic()
        if now - self.last_line >= self.PLAIN_EVERY:  # meter-days are stored in bursts: one line each
            self.last_tenth, self.last_line = done * 10 // total, now
            elapsed = max(now - self.counter.started, 1e-9)
            self.status.note(f"halvex: collect: {done}/{total} meter-days, "
                             f"{summary.failed + summary.partial} not ok, {summary.done / elapsed:.1f}/s")


def stop_line(summary) -> str | None:
    """The one line saying why a collection stopped by itself, and what to do."""
    cause = summary.stopped
    if cause is None or summary.interrupted:
        return None
    fix = "then run again with --resume to carry on"
    cause = dataclasses.replace(cause, hint=f"{cause.hint}; {fix}" if cause.hint else fix)
    return describe(cause, operation=f"collect stopped after {summary.stopped_after} meter-days in a row")


def by_code_lines(summary) -> list[str]:
    """The parts that were not ok, by part, outcome and code: an aligned table."""
    rows = [[r["part"], r["outcome"], r["code"] or "-", str(r["count"])] for r in summary.by_code()]
    if not rows:
        return []
    return render.table([["part", "outcome", "code", "count"], *rows], indent=2, right=(3,))


def summary_lines(summary) -> list[str]:
    head = ("interrupted" if summary.interrupted else "stopped early" if summary.stopped
            else "failed" if summary.all_failed else "done")
    lines = [stop_line(summary)] if summary.stopped and not summary.interrupted else []
    lines.append(
        f"halvex: collect {head}: {summary.ok} ok, {summary.partial} partial, {summary.failed} failed"
        + (f", {summary.skipped} skipped (already collected)" if summary.skipped else "")
        + (f", {summary.not_tried} not tried" if summary.not_tried and not summary.interrupted else "")
        + f" meter-days; {summary.rows} rows in {summary.elapsed:.1f} s -> {summary.db}",
    )
    lines += by_code_lines(summary)
    if summary.interrupted:
        lines.append(f"halvex: collect: stopped early; {summary.dropped} running meter-days were dropped, "
                     "the rest stays stored: run again with --resume to finish")
    elif summary.failed or summary.partial:
        lines.append(f"halvex: collect: see 'halvex gaps --db {summary.db}', then run again with --resume")
    return lines


def collect_exit_code(summary) -> int:
    if summary.interrupted:
        return int(ExitCode.INTERRUPTED)
    if summary.stopped is not None:
        return int(summary.stopped.exit_code)
    if not (summary.failed or summary.partial):
        return int(ExitCode.OK)
    # Nothing was stored: the failures' own code, not "partial".
    if summary.all_failed:
        return int(all_failed_exit_code(summary.failed_exit_codes))
    return int(ExitCode.PARTIAL)


def _report(ctx, summary) -> None:
    if ctx.json:
        line = stop_line(summary)
        if line:
            ctx.status.note(line)
        print(render.dumps({"command": "collect", "result": summary.as_dict()}), file=ctx.stdout, flush=True)
    else:
        for line in summary_lines(summary):
            ctx.status.note(line)


def _cluster_failure(ctx, exc) -> int:
    failure = Failure(ExitCode.MEDIATOR, "CLUSTER_UNREACHABLE", "Dask cluster not usable", str(exc), attempted=False)
    print(describe(failure, operation="collect"), file=ctx.stderr, flush=True)
    if ctx.json:
        print(render.dumps({"command": "collect", "error": failure.as_dict()}), file=ctx.stdout, flush=True)
    return int(failure.exit_code)


@contextlib.contextmanager
def _ctrl_c_stops(ctx, stop: threading.Event):
    """The first Ctrl-C asks the collection to stop (it stores what has completed and
    returns its summary); a second one interrupts at once. Either way the tool's log
    entries are muted from then on, and the running reads are cut short by closing the
    channel: their failures, and a cluster winding down, are of no interest any more."""

    def on_sigint(signum, frame):
        if stop.is_set():
            raise KeyboardInterrupt
        ctx.mute_logs()
        ctx.abandon_calls()
        stop.set()

    previous = signal.signal(signal.SIGINT, on_sigint)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _start_cluster(ctx, args, stop: threading.Event, tls):
    """The Dask client of --cluster. Dask narrates its cluster's life at INFO, for --log-level
    DEBUG only, and through the tool's log handler; the worker processes of local:N write
    theirs, and any traceback, to the log file (or a file of their own), never to the terminal."""
    import distributed  # noqa: F401  (importing it sets its loggers up: quieten them after that)

    logging.getLogger("distributed").setLevel("DEBUG" if ctx.log_level == "DEBUG" else "WARNING")
    logs.through_root()
    path = args.log_file or logs.default_worker_log()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    try:
        return start_cluster(args.cluster, workers=args.workers, tls=tls, worker_log=path,
                             worker_setup=functools.partial(logs.worker_logging, path, args.log_format))
    except ClusterError:
        if stop.is_set():  # Ctrl-C while it was starting: that, not the cluster, is the news
            raise KeyboardInterrupt from None
        raise


@COMMANDS.add(
    "collect", "collect meter-days into a DuckDB store",
    arg("serials", metavar="SERIAL", nargs="*",
        help="meter serial numbers (default with --simulate: every simulated meter)"),
    SERIALS_FILE,
    *days_options("collect"),
    arg("--what", metavar="PARTS", default=",".join(DEFAULT_WHATS),
        help=f"comma-separated parts: {', '.join(WHATS)} (default {','.join(DEFAULT_WHATS)})"),
    DB,
    arg("--workers", metavar="N", type=int,
        help=f"meter-days read at the same time (per worker process with --cluster; default {DEFAULT_WORKERS})"),
    arg("--retries", metavar="N", type=int,
        help=f"extra tries of a read after a transient failure (default {DEFAULT_RETRIES})"),
    arg("--resume", action="store_true", help="skip the parts of meter-days whose last try succeeded"),
    arg("--cluster", metavar="ADDRESS|local:N",
        help="run the meter-days on a Dask cluster: a scheduler address (tls://HOST:PORT), or local:N worker "
             "processes on this machine (with TLS of their own) ($HALVEX_CLUSTER)"),
    arg("--cluster-tls-ca", metavar="FILE",
        help="CA (PEM) that signed the Dask cluster's certificates ($HALVEX_CLUSTER_TLS_CA)"),
    arg("--cluster-tls-cert", metavar="FILE",
        help="this client's certificate (PEM) for the Dask cluster ($HALVEX_CLUSTER_TLS_CERT)"),
    arg("--cluster-tls-key", metavar="FILE", help="the key of --cluster-tls-cert (PEM) ($HALVEX_CLUSTER_TLS_KEY)"),
    arg("--cluster-insecure", action="store_true",
        help="allow a tcp:// scheduler off this machine: work and results cross the network unprotected"),
    arg("--stop-after-unreachable", metavar="N", type=int,
        help="stop after N meter-days in a row found the mediator unreachable (UNAVAILABLE, DEADLINE_EXCEEDED); "
             f"exit 4 (default {STOP_AFTER_UNREACHABLE}; 0: never)"),
    arg("--stop-after-refused", metavar="N", type=int,
        help="stop after N meter-days in a row were refused for security (TLS, token, permission); "
             f"exit 8 (default {STOP_AFTER_REFUSED}; 0: never)"),
    arg("--report", metavar="FILE", help="write the run report (JSON) to FILE at the end"),
    arg("--metrics-file", metavar="FILE",
        help="write the run's metrics to FILE (Prometheus text format, for node_exporter's textfile collector)"),
    arg("--workers-write", action="store_true",
        help="with --cluster and a PostgreSQL store: each Dask worker stores the meter-days it reads itself "
             "(every worker host needs the database's credentials, in its own ~/.pgpass)"),
    wait_option(WRITER_WAIT, "each time it writes"),
)
def cmd_collect(ctx, args) -> int:
    days, zone = _days(args)
    db = _db(args)
    try:
        whats = parse_whats(args.what)
    except ValueError as e:
        raise UsageError(f"--what: {e}") from None
    if args.workers < 1:
        raise UsageError("--workers must be at least 1")
    for option in ("retries", "stop_after_unreachable", "stop_after_refused"):
        if getattr(args, option) < 0:
            raise UsageError(f"--{option.replace('_', '-')} must be 0 or more")
    cluster_tls = _cluster_tls(args, ctx.config.sources if ctx.config is not None else None)
    if args.workers_write and (args.cluster is None or not is_server(db)):
        raise UsageError("--workers-write needs --cluster and a PostgreSQL store (--db postgresql://...)")
    _check_store(db, read_only=False)  # before the simulator of --simulate starts
    outputs = {option: parsing.check_output(path, f"--{option.replace('_', '-')}")
               for option, path in (("report", args.report), ("metrics_file", args.metrics_file)) if path}
    serials = _serials(ctx, args)
    store = _open_store(db, read_only=False, wait=args.wait)
    if ctx.json:
        ctx.status.live = False  # the document is the output; failures still go to standard error
    counter = Counter("halvex: collect", len(serials) * len(days), status=ctx.status)
    stop = threading.Event()
    cluster = None
    try:
        with store, _ctrl_c_stops(ctx, stop):
            if ctx.simulate and ctx.simulator is None:
                ctx.start_simulator()
            options = CollectOptions(day=days[-1], days=len(days), whats=whats, workers=args.workers,
                                     retries=args.retries, resume=args.resume, log_level=ctx.log_level,
                                     zone=zone, stop_after_unreachable=args.stop_after_unreachable,
                                     stop_after_refused=args.stop_after_refused, workers_write=args.workers_write)
            run = dict(store=store, on_result=_Progress(ctx, counter), stop=stop, mediator=ctx.mediator,
                       settings=ctx.settings)
            if args.cluster is not None:
                # Each worker process makes its own client from the mediator address and settings.
                run["cluster"] = cluster = _start_cluster(ctx, args, stop, cluster_tls)
            else:
                run["api"] = ctx.api()
            with counter:
                summary = collect(serials, options, **run)
    except KeyboardInterrupt as exc:
        summary = getattr(exc, "summary", None)
        if summary is None:
            raise
    except ClusterError as e:
        return _cluster_failure(ctx, e)
    except ValueError as e:  # a cluster address Dask refuses
        raise UsageError(str(e)) from None
    except StoreError as e:  # held by readers for longer than --wait, or refused
        raise _store_problem(f"{e}; the meter-days stored before stay: run again with --resume") from None
    except Exception as e:
        problem = backend_error(e)
        if problem is None:
            raise
        raise LocalError(f"the store {shown(db)} cannot be written: {problem}; the meter-days stored "
                         "before stay: fix this, then run again with --resume",
                         code="STORE_WRITE_FAILED", cause="store write failed") from None
    finally:
        if cluster is not None:
            with contextlib.suppress(Exception, KeyboardInterrupt):
                close_cluster(cluster)
    code = collect_exit_code(summary)
    _report(ctx, summary)
    return _write_outputs(ctx, outputs, summary, code)


def _write_outputs(ctx, outputs: dict[str, str], summary, code: int) -> int:
    """The run report and metrics file; one that cannot be written is said, and is exit
    code 7 unless the run itself already failed (the stored meter-days stay either way)."""
    from norvo_halvex.collect import run_report

    writers = {"report": run_report.write_report, "metrics_file": run_report.write_metrics}
    for option, path in outputs.items():
        try:
            writers[option](path, summary, code)
        except OSError as e:
            failure = classify(e)
            ctx.status.note(f"halvex: collect: cannot write --{option.replace('_', '-')} {path}: "
                            f"{failure.cause} ({failure.code}): {failure.message}")
            code = code or int(ExitCode.ENVIRONMENT)
    return code


# -- gaps -------------------------------------------------------------------------------------


def _reading(store, read, *args, **kw):
    """``read(*args, **kw)``; a database error on the way (a server gone, a role without
    SELECT) is exit 7 naming the store."""
    try:
        return read(*args, **kw)
    except duckdb.IOException:
        raise  # DuckDB writing an export's file: the caller says which
    except Exception as e:
        problem = backend_error(e)
        if problem is None:
            raise
        raise _store_problem(f"the store {store.path} cannot be read: {problem}") from None


def _slot_runs(slots: list[_dt.datetime], step: int, zone) -> list[str]:
    """Consecutive slots as ranges of local times: 10:00-11:00 (3 slots)."""
    slots = [t.astimezone(zone) for t in slots]
    runs: list[list[_dt.datetime]] = []
    for t in slots:
        if runs and t.timestamp() - runs[-1][-1].timestamp() <= step:
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
    zone = meters.time_zone(report["zone"])
    for meter in report["meters"]:
        serial = for_terminal(meter["serial"])
        for f in meter["failed"]:
            detail = f"{f['code']}: {f['message']}" if f["message"] else str(f["code"])
            lines.append(f"{serial}  {f['day'].isoformat()}  {f['what']}  {f['outcome']}  "
                         f"{for_terminal(' '.join(detail.split()))}")
        for m in meter["missing_slots"]:
            slots = m["slots"]
            lines.append(f"{serial}  {m['day'].isoformat()}  intervals  {len(slots)} missing: "
                         f"{', '.join(_slot_runs(slots, meters.INTERVAL_SECONDS, zone))}")
        for day in meter["not_collected"]:
            lines.append(f"{serial}  {day.isoformat()}  not collected")
    c = report["counts"]
    days = report["days"]
    span = days[0].isoformat() if len(days) == 1 else f"{days[0].isoformat()}..{days[-1].isoformat()}"
    if report["zone"] != "UTC":
        span += f" ({report['zone']})"
    if not report["meters"]:
        lines.append(f"no gaps in {span}")
    else:
        lines.append(f"{c['meters_with_gaps']} meters with gaps in {span}: {c['failed']} failed parts, "
                     f"{c['missing_slots']} missing interval slots, {c['not_collected']} meter-days not collected")
    return lines


@COMMANDS.add("gaps", "list what a store is missing for some days", DB, *days_options("check"),
              wait_option(DEFAULT_WAIT, "as while a collection writes it"))
def cmd_gaps(ctx, args) -> int:
    days, zone = _days(args)
    with _open_store(_db(args), read_only=True, wait=args.wait) as store:
        report = _reading(store, gaps, store, days, zone)
    if ctx.json:
        print(render.dumps({"command": "gaps", "result": report}), file=ctx.stdout, flush=True)
    else:
        for line in gaps_lines(report):
            print(line, file=ctx.stdout)
        ctx.stdout.flush()
    return int(ExitCode.PARTIAL if report["meters"] else ExitCode.OK)


# -- export -----------------------------------------------------------------------------------


@COMMANDS.add(
    "export", "write a table of the store as Parquet, CSV or JSON lines", DB, *days_options("export"),
    arg("--table", choices=tuple(TABLES), default="intervals", help="what to export (default intervals)"),
    arg("--format", choices=FORMATS, required=True, help="parquet, csv or jsonl (one JSON object per line)"),
    arg("--out", metavar="PATH", required=True, help="the file to write ('-': standard output, csv and jsonl)"),
    wait_option(DEFAULT_WAIT, "as while a collection writes it"),
)
def cmd_export(ctx, args) -> int:
    days, zone = _days(args)
    db = _db(args)
    if args.out == files.STDOUT and args.format == "parquet":
        raise UsageError("--format parquet is binary: give --out FILE, not '-'")
    # Checked before the store is read: a folder, a missing or unwritable folder is refused.
    out = parsing.check_output(args.out, "--out")
    with _open_store(db, read_only=True, wait=args.wait) as store:
        try:
            rows = _reading(store, export, store, args.table, days, args.format, out, stdout=ctx.stdout, zone=zone)
        except duckdb.IOException as e:  # DuckDB writing the file itself (a full disk, say)
            raise LocalError(f"cannot write --out {args.out}: {first_line(e)}",
                             code="WRITE_FAILED", cause="cannot write output") from None
    if out != files.STDOUT:
        if ctx.json:
            doc = {"command": "export", "result": {"table": args.table, "format": args.format, "out": out,
                                                   "rows": rows, "days": days, "zone": zone}}
            print(render.dumps(doc), file=ctx.stdout, flush=True)
        else:
            print(for_terminal(f"halvex: export: {rows} {args.table} rows -> {args.out}"), file=ctx.stderr, flush=True)
    return int(ExitCode.OK)
