"""Commands that change a meter: confirmed first, or shown without being sent.

A write can cut a customer's supply or move the clock their bill is read against, so it
is never sent on a whim: on a terminal the tool asks, without one it needs ``--yes``,
and ``--dry-run`` shows the exact request (serial, object, payload bytes) instead of
sending it.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable

from norvo_halvex import meters
from norvo_halvex.cli import render
from norvo_halvex.cli.command import arg
from norvo_halvex.cli.outcome import Outcome
from norvo_halvex.cli.progress import isatty
from norvo_halvex.failures import SetupError, UsageError
from norvo_halvex.untrusted import for_terminal

YES_WORDS = ("y", "yes")


#: The options of every write command.
CONFIRM = (
    arg("--yes", "-y", action="store_true", help="send without asking (needed when standard input is not a terminal)"),
    arg("--dry-run", action="store_true", help="show the request (serial, object, payload) and send nothing"),
)


@dataclasses.dataclass(frozen=True)
class Request:
    """One write as the client would hand it to the mediator."""

    serial: str
    object_id: object  # an ObjectIdEnum member, or the number of an OBIS object
    payload: bytes

    def object_text(self) -> str:
        number = int(self.object_id)
        name = getattr(self.object_id, "name", None)
        if name is None and meters.is_obis_object_id(number):
            name = f"OBIS {meters.obis_code(number)}"
        return f"{name} (0x{number:04x})" if name else f"0x{number:04x}"

    def as_dict(self) -> dict:
        return {"serial": self.serial, "object": {"name": getattr(self.object_id, "name", None),
                                                  "value": int(self.object_id)},
                "payload": self.payload.hex(), "length": len(self.payload)}


def record_writes(api, call: Callable[[object], None]) -> list[Request]:
    """Runs ``call(api)`` with the client's write primitive replaced, on this object only,
    by a recorder: the client builds its payloads as always and nothing is sent."""
    requests: list[Request] = []

    def recorder(serial, object_id, payload):
        requests.append(Request(serial, object_id, bytes(payload)))

    own = getattr(api, "__dict__", {})
    previous = own.get("_write_element") if isinstance(own, dict) else None
    try:
        api._write_element = recorder
        installed = api._write_element is recorder
    except (AttributeError, TypeError):
        installed = False
    if not installed:
        raise SetupError("this client does not let a write be shown without sending it; nothing was sent")
    try:
        call(api)
    finally:
        try:
            if previous is not None:
                api._write_element = previous
            else:
                del api._write_element
        except AttributeError:
            pass
    return requests


def confirm(ctx, args, action: str, warning: str | None = None) -> None:
    """Returns when the user agreed to ``action`` (``--yes``, or 'y' on a terminal);
    otherwise refuses with a usage error, before anything is sent."""
    if args.yes:
        return
    what = f"meter {args.serial}: {action}"
    if not isatty(ctx.stdin):
        raise UsageError(f"{what}: not sent without confirmation, and standard input is not a terminal; "
                         "add --yes to send it, or --dry-run to see what would be sent")
    stderr = ctx.stderr
    if warning:
        print(for_terminal(f"halvex: warning: {warning}"), file=stderr)
    print(for_terminal(f"halvex: {what}. Send? [y/N] "), end="", file=stderr, flush=True)
    answer = ctx.stdin.readline()
    if answer.strip().lower() not in YES_WORDS:
        if not answer.endswith("\n"):
            print(file=stderr)
        raise UsageError(f"{what}: not confirmed; nothing was sent")


def perform(ctx, args, action: str, call: Callable[[object], None], done: Callable[[], object], *,
            warning: str | None = None):
    """The common path of every write command: ``--dry-run`` shows the request,
    otherwise the user confirms, ``call(api)`` sends it and ``done()`` is the outcome."""
    if args.dry_run:
        requests = record_writes(ctx.api(), call)
        lines = [f"{args.serial}  dry run: {action}; nothing was sent"]
        for request in requests:
            lines += render.table([["serial", request.serial], ["object", request.object_text()],
                                   ["payload", render.payload_text(request.payload)]], indent=2)
        return Outcome({"dry_run": True, "requests": [r.as_dict() for r in requests]}, lines)
    confirm(ctx, args, action, warning)
    call(ctx.api())
    return done()
