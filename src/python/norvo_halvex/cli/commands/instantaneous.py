"""Instantaneous values: voltage, active power, signal quality, three-phase voltages."""

from __future__ import annotations

from norvo_halvex import meters
from norvo_halvex.cli import render
from norvo_halvex.cli.command import SERIAL, Commands, arg
from norvo_halvex.cli.outcome import Outcome, failed_values, partial

COMMANDS = Commands()


@COMMANDS.add("voltage", "read the instantaneous voltage (single phase)", SERIAL)
def cmd_voltage(ctx, args) -> Outcome:
    value = ctx.api().instantaneous_voltage(args.serial)
    return Outcome({"value": value, "unit": "V"},
                   render.value_lines(args.serial, "voltage", render.with_unit(value, "V")))


@COMMANDS.add("power", "read the instantaneous active power in kW", SERIAL,
              arg("--element", choices=meters.ELEMENTS, help="one metering element instead of the whole meter"))
def cmd_power(ctx, args) -> Outcome:
    api = ctx.api()
    if args.element == "a":
        value, what = api.instantaneous_active_power_element_a(args.serial), "active power (element A)"
    elif args.element == "b":
        value, what = api.instantaneous_active_power_element_b(args.serial), "active power (element B)"
    else:
        value, what = api.instantaneous_active_power(args.serial), "active power"
    result = {"value": value, "unit": "kW", "element": args.element}
    return Outcome(result, render.value_lines(args.serial, what, render.with_unit(value, "kW", 3)))


@COMMANDS.add("csq", "read the modem's signal quality (csq)", SERIAL)
def cmd_csq(ctx, args) -> Outcome:
    value = ctx.api().csq(args.serial)
    dbm = render.csq_dbm(value)
    text = render.fmt_number(value) + (f"  (about {dbm} dBm)" if dbm is not None else "")
    return Outcome({"value": value, "dbm": dbm}, render.value_lines(args.serial, "signal quality (csq)", text))


@COMMANDS.add("three-phase-voltage", "read the voltages of phases L1, L2, L3", SERIAL)
def cmd_three_phase_voltage(ctx, args) -> Outcome:
    l1, l2, l3 = ctx.api().three_phase_instantaneous_voltage(args.serial)
    phases = {"l1": l1, "l2": l2, "l3": l3}
    failed = failed_values(phases)
    result = {**phases, "unit": "V", "failed": failed}
    rows = [["", key.upper(), render.fmt_number(v, 1, none=render.FAILED), "V" if v is not None else ""]
            for key, v in phases.items()]
    lines = [f"{args.serial}  three-phase voltage"] + render.table(rows, right=[2])
    return partial(Outcome(result, lines), args.serial, "three-phase-voltage", failed)
