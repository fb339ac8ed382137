"""How a command of the tool is declared: its name, what it does and its arguments, right
above the function that runs it::

    COMMANDS = Commands()


    @COMMANDS.add("power", "read the instantaneous active power in kW", SERIAL,
                  arg("--element", choices=ELEMENTS, help="one metering element instead of the whole meter"))
    def cmd_power(ctx, args) -> Outcome:
        ...

``arg`` takes what ``argparse``'s ``add_argument`` takes. A handler gets the run's context
and the parsed arguments, and returns an ``Outcome`` or an exit code. The modules of
``norvo_halvex.cli.commands`` each declare a few commands this way; ``app`` gives them to
the parser, in the order they are declared.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Iterator
from typing import Any


@dataclasses.dataclass(frozen=True)
class Argument:
    """One ``add_argument`` call, kept until the parser is built."""

    flags: tuple[str, ...]
    options: dict[str, Any]

    def add_to(self, parser) -> None:
        parser.add_argument(*self.flags, **self.options)


def arg(*flags: str, **options: Any) -> Argument:
    return Argument(flags, options)


#: The first argument of every meter command.
SERIAL = arg("serial", metavar="SERIAL", help="meter serial number, e.g. HX1000001")
#: A file of serials, for every command that reads many meters.
SERIALS_FILE = arg("--serials-file", metavar="FILE",
                   help="read serials from FILE ('-' for standard input), UTF-8: one per line ('#' starts a comment), "
                        "or CSV with a 'serial' column")
#: The time zone of the days a command takes (``parsing.time_zone`` reads it).
ZONE = arg("--tz", metavar="ZONE",
           help="the time zone of the days: an IANA name such as Europe/Oslo (default: $HALVEX_TZ, else UTC)")


@dataclasses.dataclass(frozen=True)
class Command:
    name: str
    help: str
    run: Callable[..., Any]
    arguments: tuple[Argument, ...] = ()


class Commands:
    """The commands a module declares, in the order it declares them."""

    def __init__(self) -> None:
        self._declared: list[Command] = []

    def add(self, name: str, help: str, *arguments: Argument) -> Callable[[Callable], Callable]:
        """Declares the command ``name``, run by the function this decorates."""

        def declare(run: Callable) -> Callable:
            self._declared.append(Command(name, help, run, arguments))
            return run

        return declare

    def __iter__(self) -> Iterator[Command]:
        return iter(self._declared)
