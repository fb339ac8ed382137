"""``halvex demo``: the library at work against the built-in simulator."""

from __future__ import annotations

import contextlib
import datetime as _dt
import errno
import fcntl
import os
import shutil
import stat
import time

from norvo_halvex import meters
from norvo_halvex.cli import render
from norvo_halvex.cli.command import Commands, arg
from norvo_halvex.cli.commands.intervals import count_csv_rows, day_calls, download_intervals
from norvo_halvex.cli.commands.registers import registers_lines, registers_result
from norvo_halvex.cli.commands.simulator import fleet_rows
from norvo_halvex.cli.outcome import failed_values
from norvo_halvex.cli.report import describe
from norvo_halvex.collect.plan import day_range
from norvo_halvex.failures import ExitCode, LocalError, classify
from norvo_halvex.untrusted import for_terminal

UTC = _dt.timezone.utc

COMMANDS = Commands()

#: The days the demo collects and reports, up to yesterday.
DEMO_DAYS = 7


def _kind(meter) -> str:
    kind = getattr(meter, "kind", "")
    return str(getattr(kind, "value", kind))


def _count_values(value) -> int:
    """How many values a reading carried (a register pair counts each register)."""
    value = render.to_jsonable(value)
    if isinstance(value, dict):
        if set(value) == {"name", "value"}:
            return 1
        return sum(_count_values(v) for k, v in value.items() if k not in ("unit", "units", "type", "dbm"))
    if isinstance(value, list):
        return sum(_count_values(v) for v in value)
    return 0 if value is None or isinstance(value, bool) else 1


class _Demo:
    def __init__(self, ctx) -> None:
        self.ctx = ctx
        self.values = 0
        self.failures = []
        self.partial = []
        self.meters_read = 0

    def say(self, line: str = "") -> None:
        if not self.ctx.json:
            print(for_terminal(line), file=self.ctx.stdout, flush=True)

    def attempt(self, serial: str, operation: str, call):
        try:
            value = call()
        except Exception as exc:
            failure = classify(exc, mediator=self.ctx.mediator)
            self.failures.append({"serial": serial, "operation": operation, "error": failure.as_dict()})
            self.ctx.status.note(describe(failure, serial=serial, operation=operation))
            return None, False
        self.values += _count_values(value)
        failed = _failed_parts(operation, value)
        if failed:
            self.partial.append({"serial": serial, "operation": operation, "failed": failed})
            self.ctx.status.note(f"halvex: meter {serial}: {operation} incomplete: {', '.join(failed)} "
                                 f"could not be read")
        return value, True

    def meter(self, api, serial: str, kind: str) -> dict:
        three = kind.startswith("three_phase")
        twin = kind == "twin_element"
        steps = [
            ("serial", "serial", lambda: api.serial_read(serial), str),
            ("hardware", "hardware", lambda: api.hardware(serial), str),
            ("firmware", "firmware", lambda: api.firmware_version(serial), str),
            ("clock", "clock", lambda: api.clock_time_read(serial), render.iso),
            ("csq", "signal quality (csq)", lambda: api.csq(serial), _csq_text),
        ]
        if three:
            steps += [
                ("three-phase-serial", "three-phase serial", lambda: api.three_phase_serial(serial), str),
                ("three-phase-config", "meter type",
                 lambda: api.three_phase_hardware_configuration(serial), _meter_type_text),
                ("three-phase-voltage", "voltage L1 / L2 / L3",
                 lambda: api.three_phase_instantaneous_voltage(serial), _phases_text),
            ]
        else:
            steps += [
                ("voltage", "voltage", lambda: api.instantaneous_voltage(serial), lambda v: render.with_unit(v, "V")),
                ("power", "active power", lambda: api.instantaneous_active_power(serial),
                 lambda v: render.with_unit(v, "kW", 3)),
                ("power --element a", "active power, element A",
                 lambda: api.instantaneous_active_power_element_a(serial), lambda v: render.with_unit(v, "kW", 3)),
            ]
            if twin:
                steps.append(("power --element b", "active power, element B",
                              lambda: api.instantaneous_active_power_element_b(serial),
                              lambda v: render.with_unit(v, "kW", 3)))
        readings: dict[str, object] = {}
        rows = []
        ok_all = True
        for op, label, call, show in steps:
            value, ok = self.attempt(serial, op, call)
            ok_all &= ok
            if ok:
                readings[op] = value
                rows.append([label, show(value)])
        self.say(f"{serial}  ({kind})")
        for line in render.table(rows, indent=2):
            self.say(line)
        value, ok = self.attempt(serial, "read", lambda: api.read(serial))
        ok_all &= ok
        if ok:
            hardware = readings.get("hardware")
            readings["read"] = registers_result(value)
            for line in registers_lines(serial, value, hardware if isinstance(hardware, str) else None)[1:]:
                self.say(line)
        self.say()
        self.meters_read += ok_all
        return {"serial": serial, "kind": kind, "readings": readings}

    def intervals(self, api, serial: str, day: _dt.date, out_dir: str) -> dict | None:
        path = os.path.join(out_dir, f"intervals-{serial}-{day.isoformat()}.csv")
        calls = day_calls(meters.local_day(day, meters.UTC_ZONE))

        def download():
            return download_intervals(api, serial, calls, path, True, status=self.ctx.status,
                                      label=f"downloading {day.isoformat()} intervals of {serial}")

        got, ok = self.attempt(serial, "intervals", download)
        if not ok:
            return None
        seconds = got.seconds
        rows = count_csv_rows(path)
        self.values -= _count_values(got)  # the collection is counted as rows below
        self.values += rows
        self.say(f"{serial}  intervals {day.isoformat()} (UTC): {rows} rows in {seconds:.1f} s -> {path}")
        return {"serial": serial, "day": day, "csv": path, "rows": rows}


def _collect_days(ctx, demo: _Demo, serials: list[str], day: _dt.date, out_dir: str) -> dict:
    """The nightly job in small: the fleet's last days into a DuckDB store, what it holds for
    the newest, and the report of them all."""
    from norvo_halvex.collect import CollectOptions, Store, collect, gaps, report

    db = os.path.join(out_dir, "halvex.duckdb")
    days = day_range(day, DEMO_DAYS)
    demo.say(f"collecting {days[0].isoformat()} to {day.isoformat()} of every meter into {db}")
    with Store(db) as store:
        summary = collect(serials, CollectOptions(day=day, days=len(days), whats=("intervals", "registers", "events")),
                          api=ctx.api(), mediator=ctx.mediator, store=store)
        per_meter = store.meter_counts([day])
        found = gaps(store, days)
        page = os.path.join(out_dir, "report.html")
        shown = report(store, days, page)
    demo.say(f"  {day.isoformat()}:")
    rows = [["serial", "intervals", "registers", "events"], *[[s, str(i), str(r), str(e)] for s, i, r, e in per_meter]]
    for line in render.table(rows, indent=2):
        demo.say(line)
    counts = found["counts"]
    demo.say(f"  {summary.ok} meter-days ok, {summary.partial} partial, {summary.failed} failed; gaps: "
             f"{counts['failed']} failed parts, {counts['missing_slots']} missing interval slots")
    for f in summary.failures:
        operation = f"collect {f['what']}"
        ctx.status.note(f"halvex: meter {f['serial']}: {operation} {f['outcome']}: {f['code']}: {f['message']}")
        if f["outcome"] == "partial":
            demo.partial.append({"serial": f["serial"], "operation": operation, "failed": [f["code"]]})
        else:
            demo.failures.append({"serial": f["serial"], "operation": operation,
                                  "error": {"code": f["code"], "message": f["message"],
                                            "exit_code": int(ExitCode.PARTIAL)}})
    return {"db": db, "day": day, "days": days, "summary": summary.as_dict(), "gaps": found["counts"],
            "report": page, "report_counts": shown.counts,
            "rows_per_meter": [{"serial": s, "intervals": i, "registers": r, "events": e} for s, i, r, e in per_meter]}


def _csq_text(value) -> str:
    dbm = render.csq_dbm(value)
    return render.fmt_number(value) + (f"  (about {dbm} dBm)" if dbm is not None else "")


def _meter_type_text(record) -> str:
    meter_type = getattr(record, "meter_type", record)
    return getattr(meter_type, "name", None) or str(meter_type)


def _phases_text(triple) -> str:
    return " / ".join(render.fmt_number(v, 1, none=render.FAILED) for v in triple) + " V"


def _failed_parts(operation: str, value) -> list[str]:
    """What a reading lacks because a read failed (the client gives None for it)."""
    if operation == "read":
        return failed_values(value)
    if operation == "three-phase-voltage" and isinstance(value, tuple):
        return failed_values({f"l{i}": v for i, v in enumerate(value, 1)})
    return []


def default_folder() -> str:
    """Where the demo keeps its files without --out: one folder in this user's cache
    ($XDG_CACHE_HOME, else ~/.cache), which the next run replaces."""
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(cache, "halvex", "demo")


@contextlib.contextmanager
def fresh_folder(path: str):
    """``path`` as a new, empty folder for as long as this run holds it: the folder the
    previous run left is removed first. A second run at the same time is refused, and so is
    anything but a folder at ``path`` (a symlink is neither followed nor removed)."""
    def refused(message: str, code: str) -> LocalError:
        return LocalError(f"{message}; or give the demo a folder of its own with --out DIR", code=code,
                          cause="demo folder not usable", attempted=False)

    parent = os.path.dirname(path)
    try:
        os.makedirs(parent, mode=0o700, exist_ok=True)
        lock = os.open(parent, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)  # held by the run that uses path
    except OSError as e:
        raise refused(f"cannot make the demo's folder {path}: {e.strerror or e}",
                      errno.errorcode.get(e.errno, "OS_ERROR")) from None
    try:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise refused(f"another halvex demo is using {path}: wait for it to end", "DEMO_RUNNING") from None
        try:
            kind = stat.S_IFMT(os.lstat(path).st_mode)
        except FileNotFoundError:
            kind = None
        if kind is not None and kind != stat.S_IFDIR:
            what = "a symlink" if kind == stat.S_IFLNK else "not a folder"
            raise refused(f"{path} is {what}, not the demo's folder: move it away", "NOT_A_FOLDER")
        try:
            if kind is not None:
                shutil.rmtree(path)
            os.mkdir(path, 0o700)
        except OSError as e:
            raise refused(f"cannot replace the demo's folder {path}: {e.strerror or e}",
                          errno.errorcode.get(e.errno, "OS_ERROR")) from None
        yield path
    finally:
        os.close(lock)


@COMMANDS.add("demo", "show what the library does, against a built-in simulator",
              arg("--out", metavar="DIR",
                  help="folder for the demo's files (default: one in your cache that the next run replaces)"))
def cmd_demo(ctx, args) -> int:
    if args.out:
        os.makedirs(args.out, exist_ok=True)
        return _demo(ctx, args.out)
    with fresh_folder(default_folder()) as folder:
        return _demo(ctx, folder, replaced=True)


def _demo(ctx, out_dir: str, *, replaced: bool = False) -> int:
    started = time.monotonic()
    demo = _Demo(ctx)

    sim = ctx.start_simulator()
    api = ctx.api()
    meters = sorted(sim.fleet.meters.items())
    demo.say(f"halvex demo: simulated mediator on {sim.address} with {len(meters)} meters")
    demo.say(f"  its files go to {out_dir}" + (" (the next demo replaces them)" if replaced else ""))
    for line in render.table([["serial", "kind"], *fleet_rows(sim.fleet)], indent=2):
        demo.say(line)
    demo.say()

    report = [demo.meter(api, serial, _kind(meter)) for serial, meter in meters]

    yesterday = _dt.datetime.now(UTC).date() - _dt.timedelta(days=1)
    downloads = []
    for serial, meter in meters:
        if _kind(meter).startswith("three_phase"):
            got = demo.intervals(api, serial, yesterday, out_dir)
            if got is not None:
                downloads.append(got)
    collection = _collect_days(ctx, demo, sorted(sim.fleet.meters), yesterday, out_dir)
    elapsed = time.monotonic() - started

    rows = sum(d["rows"] for d in downloads)
    summary = {
        "meters": len(meters),
        "meters_read": demo.meters_read,
        "values": demo.values,
        "interval_rows": rows,
        "files": [d["csv"] for d in downloads],
        "failures": len(demo.failures),
        "partial": len(demo.partial),
        "elapsed_seconds": round(elapsed, 3),
    }
    if ctx.json:
        doc = {"command": "demo", "simulator": sim.address, "folder": out_dir, "meters": report, "intervals": downloads,
               "collection": collection, "failures": demo.failures, "partial": demo.partial,
               "summary": summary}
        print(render.dumps(doc), file=ctx.stdout, flush=True)
    else:
        demo.say()
        demo.say("summary")
        lines = [
            ["meters read", f"{demo.meters_read} of {len(meters)}"],
            ["values read", str(demo.values)],
            ["interval rows written", str(rows)],
        ]
        lines += [["folder", out_dir + (" (the next demo replaces it)" if replaced else "")]]
        lines += [["CSV file", d["csv"]] for d in downloads]
        lines += [["collection store", collection["db"]]]
        lines += [["failures", str(len(demo.failures))]]
        if demo.partial:
            lines += [["incomplete readings", str(len(demo.partial))]]
        lines += [["elapsed", f"{elapsed:.1f} s"]]
        for line in render.table(lines, indent=2):
            demo.say(line)
        demo.say()
        demo.say(f"the fleet's last {DEMO_DAYS} days, to open in a browser: {collection['report']}")
    if demo.failures:
        return demo.failures[0]["error"]["exit_code"]
    return int(ExitCode.PARTIAL if demo.partial else ExitCode.OK)
