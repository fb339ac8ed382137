"""``halvex report``: the fleet's days in a store as one HTML page."""

from __future__ import annotations

import datetime as _dt

from norvo_halvex import files
from norvo_halvex.cli import parsing, render
from norvo_halvex.cli.command import ZONE, Commands, arg
from norvo_halvex.cli.commands.collect import DB, _db, _open_store, _reading, checked_days, wait_option
from norvo_halvex.collect import DEFAULT_WAIT, day_range, report, yesterday
from norvo_halvex.collect.report_page import share
from norvo_halvex.failures import ExitCode, UsageError
from norvo_halvex.untrusted import for_terminal

COMMANDS = Commands()

#: The longest range one page shows (a year, with a leap day).
MOST_DAYS = 366


def report_days(args) -> tuple[list[_dt.date], str]:
    """The local days of ``--day`` or ``--from``/``--to`` (default: yesterday), oldest first,
    and the name of their time zone."""
    zone = parsing.time_zone(args.tz)
    if args.day and (args.first or args.last):
        raise UsageError("give --day D or --from D [--to D], not both")
    if args.last and not args.first:
        raise UsageError("--to needs --from (or give one day with --day)")
    if args.first:
        first = parsing.parse_day(args.first)
        last = parsing.parse_day(args.last) if args.last else yesterday(zone)
        option = "--to" if args.last else "--from"
        if first > last:
            raise UsageError(f"--from {first.isoformat()} is after {'--to' if args.last else 'yesterday'} "
                             f"{last.isoformat()}")
    else:
        first = last = parsing.parse_day(args.day) if args.day else yesterday(zone)
        option = "--day"
    count = (last - first).days + 1
    if count > MOST_DAYS:
        raise UsageError(f"--from {first.isoformat()} --to {last.isoformat()} is {count} days; "
                         f"a report shows at most {MOST_DAYS}")
    return checked_days(day_range(last, count), zone, option), zone.key


@COMMANDS.add(
    "report", "write the fleet's days in a store as one self-contained HTML page", DB,
    arg("--day", metavar="YYYY-MM-DD", help="one day to show, 00:00 to 00:00 in --tz (default: yesterday there)"),
    arg("--from", dest="first", metavar="YYYY-MM-DD", help="the first day to show"),
    arg("--to", dest="last", metavar="YYYY-MM-DD", help="the last day to show (default: yesterday)"),
    ZONE,
    arg("--out", metavar="PATH", required=True, help="the HTML file to write ('-': standard output)"),
    wait_option(DEFAULT_WAIT, "as while a collection writes it"),
)
def cmd_report(ctx, args) -> int:
    days, zone = report_days(args)
    db = _db(args)
    out = parsing.check_output(args.out, "--out")  # before the store is read
    with _open_store(db, read_only=True, wait=args.wait) as store:
        summary = _reading(store, report, store, days, out, zone=zone, stdout=ctx.stdout)
    if out != files.STDOUT:
        if ctx.json:
            print(render.dumps({"command": "report", "result": summary.as_dict()}), file=ctx.stdout, flush=True)
        else:
            part = share(summary.counts)
            total = sum(summary.counts.values())
            shown = "no meter-days" if part is None else f"{part:.1%} of {total} meter-days complete"
            span = f"{len(days)} day{'s' if len(days) > 1 else ''}"
            print(for_terminal(f"halvex: report: {summary.meters} meters x {span}, {shown} -> {args.out}"),
                  file=ctx.stderr, flush=True)
    return int(ExitCode.OK)
