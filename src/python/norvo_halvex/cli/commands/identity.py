"""Which meter answers: serial number, hardware, firmware, three-phase identity."""

from __future__ import annotations

from norvo_halvex import meters
from norvo_halvex.cli import render
from norvo_halvex.cli.command import SERIAL, Commands
from norvo_halvex.cli.outcome import Outcome, reads_one

COMMANDS = Commands()


cmd_serial = COMMANDS.add("serial", "read the serial number the meter reports", SERIAL)(
    reads_one("serial_read", "serial"))


@COMMANDS.add("hardware", "read and classify the meter's hardware type", SERIAL)
def cmd_hardware(ctx, args) -> Outcome:
    value = ctx.api().hardware(args.serial)
    three = bool(meters.is_three_phase(value))
    twin = (not three) and bool(meters.is_twin_element(value))
    kind = "three phase" if three else ("single phase, twin element" if twin else "single phase, single element")
    result = {"hardware": value, "three_phase": three, "twin_element": twin}
    return Outcome(result, render.value_lines(args.serial, "hardware", f"{value}  ({kind})"))


cmd_firmware = COMMANDS.add("firmware", "read the firmware version", SERIAL)(
    reads_one("firmware_version", "firmware"))

cmd_three_phase_serial = COMMANDS.add("three-phase-serial", "read a three-phase meter's own serial number", SERIAL)(
    reads_one("three_phase_serial", "three-phase serial"))


@COMMANDS.add("three-phase-config", "read a three-phase meter's hardware configuration", SERIAL)
def cmd_three_phase_config(ctx, args) -> Outcome:
    record = ctx.api().three_phase_hardware_configuration(args.serial)
    result = render.to_jsonable(record)
    lines = [f"{args.serial}  three-phase hardware configuration"] + render.record_lines(record)
    return Outcome(result, lines)
