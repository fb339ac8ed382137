"""The meter sub-commands: one API call each, shown as text or as a JSON result."""

from __future__ import annotations

import contextlib
import csv as _csv
import datetime as _dt
import io
from types import SimpleNamespace
from typing import NamedTuple

from norvo_halvex import files, meters
from norvo_halvex.cli import parsing, render, writes
from norvo_halvex.cli.outcome import Outcome, failed_values, partial
from norvo_halvex.cli.progress import Spinner, isatty
from norvo_halvex.failures import UsageError

UTC = _dt.timezone.utc


def _one(serial: str, what: str, value: str) -> list[str]:
    return render.table([[serial, what, value]])


def _setting_enum(name: str):
    from quarn_frame_protocol.quarn_message import QuarnMessage

    return getattr(QuarnMessage, name)


# ----------------------------------------------------------------- identity

def cmd_serial(ctx, args) -> Outcome:
    value = ctx.api().serial_read(args.serial)
    return Outcome(value, _one(args.serial, "serial", value))


def cmd_hardware(ctx, args) -> Outcome:
    value = ctx.api().hardware(args.serial)
    three = bool(meters.is_three_phase(value))
    twin = (not three) and bool(meters.is_twin_element(value))
    kind = "three phase" if three else ("single phase, twin element" if twin else "single phase, single element")
    result = {"hardware": value, "three_phase": three, "twin_element": twin}
    return Outcome(result, _one(args.serial, "hardware", f"{value}  ({kind})"))


def cmd_firmware(ctx, args) -> Outcome:
    value = ctx.api().firmware_version(args.serial)
    return Outcome(value, _one(args.serial, "firmware", value))


def cmd_three_phase_serial(ctx, args) -> Outcome:
    value = ctx.api().three_phase_serial(args.serial)
    return Outcome(value, _one(args.serial, "three-phase serial", value))


def cmd_three_phase_config(ctx, args) -> Outcome:
    record = ctx.api().three_phase_hardware_configuration(args.serial)
    result = render.to_jsonable(record)
    lines = [f"{args.serial}  three-phase hardware configuration"] + render.record_lines(record)
    return Outcome(result, lines)


# ----------------------------------------------------------------- clock

def cmd_clock(ctx, args) -> Outcome:
    value = ctx.api().clock_time_read(args.serial)
    offset = (value - _dt.datetime.now(UTC)).total_seconds()
    if abs(offset) < 1:
        drift = "in step with this machine"
    else:
        drift = f"{_duration(abs(offset))} {'ahead of' if offset > 0 else 'behind'} this machine"
    result = {"time": value, "offset_seconds": round(offset, 3)}
    return Outcome(result, _one(args.serial, "clock", f"{render.iso(value)}  ({drift})"))


def _duration(seconds: float) -> str:
    if seconds < 120:
        return f"{seconds:.0f} s"
    if seconds < 7200:
        return f"{seconds / 60:.0f} min"
    if seconds < 172800:
        return f"{seconds / 3600:.1f} h"
    return f"{seconds / 86400:.0f} days"


def cmd_clock_set(ctx, args) -> Outcome:
    sent = []

    def write(api):
        sent.append(_dt.datetime.now(UTC).replace(microsecond=0))
        api.clock_time_write(args.serial)

    def done():
        return Outcome({"set_to": sent[0]}, _one(args.serial, "clock set to", f"{render.iso(sent[0])} (UTC now)"))

    return writes.perform(ctx, args, "set its clock to this machine's current UTC time", write, done)


# ----------------------------------------------------------------- instantaneous values

def cmd_voltage(ctx, args) -> Outcome:
    value = ctx.api().instantaneous_voltage(args.serial)
    return Outcome({"value": value, "unit": "V"}, _one(args.serial, "voltage", render.with_unit(value, "V")))


def cmd_power(ctx, args) -> Outcome:
    api = ctx.api()
    if args.element == "a":
        value, what = api.instantaneous_active_power_element_a(args.serial), "active power (element A)"
    elif args.element == "b":
        value, what = api.instantaneous_active_power_element_b(args.serial), "active power (element B)"
    else:
        value, what = api.instantaneous_active_power(args.serial), "active power"
    result = {"value": value, "unit": "kW", "element": args.element}
    return Outcome(result, _one(args.serial, what, render.with_unit(value, "kW", 3)))


def cmd_csq(ctx, args) -> Outcome:
    value = ctx.api().csq(args.serial)
    dbm = render.csq_dbm(value)
    text = render.fmt_number(value) + (f"  (about {dbm} dBm)" if dbm is not None else "")
    return Outcome({"value": value, "dbm": dbm}, _one(args.serial, "signal quality (csq)", text))


def cmd_three_phase_voltage(ctx, args) -> Outcome:
    l1, l2, l3 = ctx.api().three_phase_instantaneous_voltage(args.serial)
    phases = {"l1": l1, "l2": l2, "l3": l3}
    failed = failed_values(phases)
    result = {**phases, "unit": "V", "failed": failed}
    rows = [["", key.upper(), render.fmt_number(v, 1, none=render.FAILED), "V" if v is not None else ""]
            for key, v in phases.items()]
    lines = [f"{args.serial}  three-phase voltage"] + render.table(rows, right=[2])
    return partial(Outcome(result, lines), args.serial, "three-phase-voltage", failed)


# ----------------------------------------------------------------- registers

def registers_result(value) -> dict:
    """JSON shape of a register read: single-phase pair or three-phase totals."""
    if isinstance(value, tuple):
        a, b = (list(value) + [None, None])[:2]
        return {"type": "single_phase", "element_a": a, "element_b": b, "units": _units(meters.ELEMENT_REGISTERS),
                "failed": []}
    return {"type": "three_phase", "totals": value, "units": _units(meters.THREE_PHASE_QUANTITIES),
            "failed": failed_values(value)}


def _units(keys) -> dict:
    return {k: meters.REGISTER_UNITS[k] for k in keys}


def registers_lines(serial: str, value, hardware: str | None) -> list[str]:
    digits = render.register_digits(hardware)
    title = f"{serial}  registers" + (f"  ({hardware})" if hardware else "")
    rows: list[list[str]] = []
    if isinstance(value, tuple):
        for name, values in zip(("element A", "element B"), value):
            if values is None:
                continue
            for i, row in enumerate(render.register_rows(values, digits)):
                row[0] = name if i == 0 else ""
                rows.append(row)
    else:
        # A missing total is one whose read failed, never one that does not apply.
        rows = render.register_rows(value or {}, digits, prefix="total", none=render.FAILED)
        for row in rows[1:]:
            row[0] = ""
    return [title] + render.table(rows, indent=2, right=[2])


def cmd_read(ctx, args) -> Outcome:
    api = ctx.api()
    if args.element is None:
        value = api.read(args.serial)
        hardware = api.hardware(args.serial)  # answered from the client's cache after read()
        result = registers_result(value)
        result["hardware"] = hardware
        return partial(Outcome(result, registers_lines(args.serial, value, hardware)), args.serial, "read",
                       result["failed"])
    method = api.read_element_a if args.element == "a" else api.read_element_b
    values = method(args.serial)
    pair = (values, None) if args.element == "a" else (None, values)
    result = {"type": "single_phase", "element": args.element, "registers": values,
              "units": _units(meters.ELEMENT_REGISTERS)}
    lines = registers_lines(args.serial, pair, None)
    return Outcome(result, lines)


# ----------------------------------------------------------------- settings

def cmd_dst(ctx, args) -> Outcome:
    value = ctx.api().daylight_savings_correction_enabled(args.serial)
    return Outcome({"enabled": value}, _one(args.serial, "daylight-saving correction", "on" if value else "off"))


def cmd_dst_set(ctx, args) -> Outcome:
    enabled = parsing.parse_on_off(args.value)
    word = "on" if enabled else "off"
    return writes.perform(
        ctx, args, f"switch daylight-saving correction {word}",
        lambda api: api.daylight_savings_correction_enabled_write(args.serial, enabled),
        lambda: Outcome({"enabled": enabled}, _one(args.serial, "daylight-saving correction set to", word)))


def _setting_text(member) -> str:
    name = getattr(member, "name", None)
    value = getattr(member, "value", None)
    return f"{name} ({value})" if name is not None else str(member)


def cmd_backlight(ctx, args) -> Outcome:
    value = ctx.api().backlight(args.serial)
    return Outcome(value, _one(args.serial, "backlight", _setting_text(value)))


def cmd_backlight_set(ctx, args) -> Outcome:
    member = parsing.parse_setting(args.value, _setting_enum("BacklightSettingType"), "backlight")
    return writes.perform(
        ctx, args, f"set the backlight to {_setting_text(member)}",
        lambda api: api.backlight_write(args.serial, member),
        lambda: Outcome(member, _one(args.serial, "backlight set to", _setting_text(member))))


def cmd_load_switch(ctx, args) -> Outcome:
    value = ctx.api().load_switch(args.serial)
    return Outcome(value, _one(args.serial, "load switch", _setting_text(value)))


def cmd_load_switch_set(ctx, args) -> Outcome:
    member = parsing.parse_setting(args.value, _setting_enum("LoadSwitchSettingType"), "load switch")
    warning = None
    if member.name == "disconnected":
        warning = f"this cuts the supply at meter {args.serial} at once"
    return writes.perform(
        ctx, args, f"set the load switch to {_setting_text(member)}",
        lambda api: api.load_switch_write(args.serial, member),
        lambda: Outcome(member, _one(args.serial, "load switch set to", _setting_text(member))),
        warning=warning)


# ----------------------------------------------------------------- intervals

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
        lines = _one(args.serial, "intervals", f"{window}  {rows} rows written to {csv_path}")
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


# ----------------------------------------------------------------- logs

def cmd_profile_log_1(ctx, args) -> Outcome:
    when = parsing.parse_datetime(args.timestamp)
    record = ctx.api().profile_log_1(args.serial, when)
    lines = [f"{args.serial}  profile log 1 at {render.iso(when)}"] + render.record_lines(record)
    return Outcome({"timestamp": when, "record": record}, lines)


def cmd_profile_log_2(ctx, args) -> Outcome:
    when = parsing.parse_datetime(args.timestamp)
    api = ctx.api()
    twin = args.twin
    if twin is None:
        twin = bool(meters.is_twin_element(api.hardware(args.serial)))
    record = api.profile_log_2(args.serial, when, twin)
    title = f"{args.serial}  profile log 2 at {render.iso(when)}  ({'twin' if twin else 'single'} element)"
    return Outcome({"timestamp": when, "twin_element": twin, "record": record},
                   [title] + render.record_lines(record))


def cmd_event_log(ctx, args) -> Outcome:
    index = parsing.parse_event_index(args.index)
    record = ctx.api().event_log(args.serial, index)
    lines = [f"{args.serial}  event log entry {index}"] + render.record_lines(record)
    return Outcome({"index": index, "record": record}, lines)


# ----------------------------------------------------------------- OBIS

def cmd_obis_read(ctx, args) -> Outcome:
    obis = parsing.parse_obis(args.obis)
    payload = ctx.api().obis_read(args.serial, obis)
    return Outcome({"obis": obis, "payload": payload, "length": len(payload)},
                   _one(args.serial, f"OBIS {obis}", render.payload_text(payload)))


def cmd_obis_write(ctx, args) -> Outcome:
    obis = parsing.parse_obis(args.obis)
    payload = parsing.parse_hex(args.hex)
    text = render.payload_text(payload)
    return writes.perform(
        ctx, args, f"write {text} to OBIS object {obis}",
        lambda api: api.obis_write(args.serial, obis, payload.hex()),
        lambda: Outcome({"obis": obis, "payload": payload, "length": len(payload)},
                        _one(args.serial, f"OBIS {obis} written", text)))


