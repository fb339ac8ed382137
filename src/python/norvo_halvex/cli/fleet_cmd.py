"""``halvex fleet``: the registers of many meters, one row each."""

from __future__ import annotations

import sys

from norvo_halvex.cli import parsing
from norvo_halvex.cli.errors import UsageError
from norvo_halvex.cli.fleet import (
    DEFAULT_WORKERS,
    OrderedWriter,
    csv_writer,
    fleet_exit_code,
    jsonl_writer,
    read_fleet,
)
from norvo_halvex.cli.progress import Counter


def add_arguments(p) -> None:
    p.add_argument("serials", metavar="SERIAL", nargs="*", help="meter serial numbers")
    p.add_argument("--file", metavar="FILE",
                   help="read serials from FILE ('-' for standard input): one per line, '#' starts a comment")
    p.add_argument("--workers", metavar="N", type=int, default=DEFAULT_WORKERS,
                   help=f"meters read at the same time (default {DEFAULT_WORKERS})")
    p.add_argument("--format", choices=("csv", "jsonl"), default="csv",
                   help="csv (default) or jsonl, one JSON object per meter; --json means jsonl")
    p.add_argument("--out", metavar="FILE", help="write the rows to FILE instead of standard output")
    p.add_argument("--quiet", action="store_true", help="no progress and summary on standard error")


def load_serials(args) -> list[str]:
    serials = list(args.serials)
    if args.file:
        try:
            if args.file == "-":
                serials += parsing.parse_serial_lines(sys.stdin)
            else:
                with open(args.file, encoding="utf-8") as f:
                    serials += parsing.parse_serial_lines(f)
        except OSError as e:
            raise UsageError(f"cannot read {args.file}: {e.strerror or e}") from None
    if not serials:
        raise UsageError("no meters: give serials as arguments or --file FILE")
    return serials


def cmd_fleet(ctx, args) -> int:
    serials = load_serials(args)
    if args.workers < 1:
        raise UsageError("--workers must be at least 1")
    fmt = "jsonl" if ctx.json else args.format
    try:
        out = open(args.out, "w", encoding="utf-8", newline="") if args.out else ctx.stdout
    except OSError as e:
        raise UsageError(f"cannot write {args.out}: {e.strerror or e}") from None
    try:
        ctx.status.enabled = not args.quiet
        ctx.status.live = ctx.status.live and not args.quiet
        api = ctx.api()
        writer = OrderedWriter(jsonl_writer(out) if fmt == "jsonl" else csv_writer(out))
        counter = Counter("halvex: fleet", len(serials), status=ctx.status)

        def on_result(result):
            writer.add(result)
            counter.advance(result.status, result.problem())

        def on_stop(exc, running):
            if isinstance(exc, KeyboardInterrupt):
                # Reads still ending must not bury "interrupted" under their failures.
                ctx.mute_logs()
            if running:
                ctx.status.note(f"halvex: fleet: stopping; {running} meter read{'s' if running != 1 else ''} "
                                "in progress will end first (Ctrl-C again to cut them short)")

        with counter:
            results = read_fleet(api, serials, workers=args.workers, on_result=on_result, mediator=ctx.mediator,
                                 on_stop=on_stop, on_abandon=ctx.abandon_calls)
        counter.finish()
    finally:
        if out is not ctx.stdout:
            out.close()
    return int(fleet_exit_code(results))
