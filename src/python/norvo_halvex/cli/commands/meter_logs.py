"""The meter's logs: profile log 1 and 2 records for a time, event log entries."""

from __future__ import annotations

import argparse

from norvo_halvex import meters
from norvo_halvex.cli import parsing, render
from norvo_halvex.cli.command import SERIAL, Commands, arg
from norvo_halvex.cli.outcome import Outcome

TIMESTAMP = arg("timestamp", metavar="TIMESTAMP", help="ISO 8601 time (naive is UTC) or @EPOCH")

COMMANDS = Commands()


@COMMANDS.add("profile-log-1", "fetch the profile log 1 record for a time", SERIAL, TIMESTAMP)
def cmd_profile_log_1(ctx, args) -> Outcome:
    when = parsing.parse_datetime(args.timestamp)
    record = ctx.api().profile_log_1(args.serial, when)
    lines = [f"{args.serial}  profile log 1 at {render.iso(when)}"] + render.record_lines(record)
    return Outcome({"timestamp": when, "record": record}, lines)


@COMMANDS.add("profile-log-2", "fetch the profile log 2 record for a time", SERIAL, TIMESTAMP,
              arg("--twin", action=argparse.BooleanOptionalAction, default=None,
                  help="decode as a twin-element record (default: from the meter's hardware)"))
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


@COMMANDS.add("event-log", "fetch one event log entry", SERIAL,
              arg("index", metavar="INDEX", help="entry index, 0..15"))
def cmd_event_log(ctx, args) -> Outcome:
    index = parsing.parse_event_index(args.index)
    record = ctx.api().event_log(args.serial, index)
    lines = [f"{args.serial}  event log entry {index}"] + render.record_lines(record)
    return Outcome({"index": index, "record": record}, lines)
