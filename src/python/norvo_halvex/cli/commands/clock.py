"""The meter clock: read it, or set it to this machine's UTC time."""

from __future__ import annotations

import datetime as _dt

from norvo_halvex.cli import render, writes
from norvo_halvex.cli.command import SERIAL, Commands
from norvo_halvex.cli.outcome import Outcome

UTC = _dt.timezone.utc

COMMANDS = Commands()


@COMMANDS.add("clock", "read the meter clock (UTC)", SERIAL)
def cmd_clock(ctx, args) -> Outcome:
    value = ctx.api().clock_time_read(args.serial)
    offset = (value - _dt.datetime.now(UTC)).total_seconds()
    if abs(offset) < 1:
        drift = "in step with this machine"
    else:
        drift = f"{_duration(abs(offset))} {'ahead of' if offset > 0 else 'behind'} this machine"
    result = {"time": value, "offset_seconds": round(offset, 3)}
    return Outcome(result, render.value_lines(args.serial, "clock", f"{render.iso(value)}  ({drift})"))


def _duration(seconds: float) -> str:
    if seconds < 120:
        return f"{seconds:.0f} s"
    if seconds < 7200:
        return f"{seconds / 60:.0f} min"
    if seconds < 172800:
        return f"{seconds / 3600:.1f} h"
    return f"{seconds / 86400:.0f} days"


@COMMANDS.add("clock-set", "set the meter clock to the current UTC time of this machine", SERIAL,
              *writes.CONFIRM)
def cmd_clock_set(ctx, args) -> Outcome:
    sent = []

    def write(api):
        sent.append(_dt.datetime.now(UTC).replace(microsecond=0))
        api.clock_time_write(args.serial)

    def done():
        return Outcome({"set_to": sent[0]},
                       render.value_lines(args.serial, "clock set to", f"{render.iso(sent[0])} (UTC now)"))

    return writes.perform(ctx, args, "set its clock to this machine's current UTC time", write, done)
