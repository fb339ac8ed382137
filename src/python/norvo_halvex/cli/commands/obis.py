"""OBIS objects: their raw payloads, read or written."""

from __future__ import annotations

from norvo_halvex.cli import parsing, render, writes
from norvo_halvex.cli.command import SERIAL, Commands, arg
from norvo_halvex.cli.outcome import Outcome

OBIS = arg("obis", metavar="OBIS", help="OBIS triplet C.D.E, e.g. 1.8.0")

COMMANDS = Commands()


def _shown(serial: str, obis: str, payload: bytes, what: str) -> Outcome:
    return Outcome({"obis": obis, "payload": payload, "length": len(payload)},
                   render.value_lines(serial, what, render.payload_text(payload)))


@COMMANDS.add("obis-read", "read the raw payload of an OBIS object", SERIAL, OBIS)
def cmd_obis_read(ctx, args) -> Outcome:
    obis = parsing.parse_obis(args.obis)
    return _shown(args.serial, obis, ctx.api().obis_read(args.serial, obis), f"OBIS {obis}")


@COMMANDS.add("obis-write", "write a raw payload to an OBIS object", SERIAL, OBIS,
              arg("hex", metavar="HEX", help="payload as hex digits, e.g. 0aff10"), *writes.CONFIRM)
def cmd_obis_write(ctx, args) -> Outcome:
    obis = parsing.parse_obis(args.obis)
    payload = parsing.parse_hex(args.hex)
    text = render.payload_text(payload)
    return writes.perform(
        ctx, args, f"write {text} to OBIS object {obis}",
        lambda api: api.obis_write(args.serial, obis, payload.hex()),
        lambda: _shown(args.serial, obis, payload, f"OBIS {obis} written"))
