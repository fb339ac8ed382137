"""The energy registers of any meter: element A (and B), or the three-phase totals."""

from __future__ import annotations

from norvo_halvex import meters
from norvo_halvex.cli import render
from norvo_halvex.cli.command import SERIAL, Commands, arg
from norvo_halvex.cli.outcome import Outcome, failed_values, partial

COMMANDS = Commands()


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


@COMMANDS.add("read", "read the energy registers (any meter type)", SERIAL,
              arg("--element", choices=meters.ELEMENTS, help="read one single-phase element's registers only"))
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
