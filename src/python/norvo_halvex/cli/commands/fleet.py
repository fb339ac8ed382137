"""``halvex fleet``: the registers of many meters, one row each."""

from __future__ import annotations

import argparse
import contextlib
import os

from norvo_halvex import files
from norvo_halvex.cli import parsing
from norvo_halvex.cli.command import SERIALS_FILE, Commands, arg
from norvo_halvex.cli.fleet import (
    DEFAULT_WORKERS,
    OrderedWriter,
    csv_writer,
    fleet_exit_code,
    jsonl_writer,
    read_fleet,
)
from norvo_halvex.cli.progress import Counter
from norvo_halvex.failures import UsageError

# Where the rows of a run that stopped early go, next to the file it would have replaced.
PARTIAL_SUFFIX = ".partial"


COMMANDS = Commands()


def load_serials(args) -> list[str]:
    serials = parsing.read_serials(args.serials, args.serials_file)
    if not serials:
        raise UsageError("no meters: give serials as arguments or --serials-file FILE")
    return serials


@COMMANDS.add(
    "fleet", "read the registers of many meters concurrently",
    arg("serials", metavar="SERIAL", nargs="*", help="meter serial numbers"),
    SERIALS_FILE,
    # The older spelling, accepted for a release and no longer shown.
    arg("--file", dest="serials_file", help=argparse.SUPPRESS),
    arg("--workers", metavar="N", type=int,
        help=f"meters read at the same time (default {DEFAULT_WORKERS})"),
    arg("--format", choices=("csv", "jsonl"), default="csv",
        help="csv (default) or jsonl, one JSON object per meter; --json means jsonl"),
    arg("--out", metavar="FILE",
        help="write the rows to FILE instead of standard output (replaced only when complete; "
             "a run that stops early leaves FILE.partial)"),
    arg("--quiet", action="store_true", help="no progress and summary on standard error"),
)
def cmd_fleet(ctx, args) -> int:
    serials = load_serials(args)
    if args.workers < 1:
        raise UsageError("--workers must be at least 1")
    fmt = "jsonl" if ctx.json else args.format
    # Checked before any meter is read: a run must not end in an output it cannot write.
    path = parsing.check_output(args.out, "--out") if args.out else None
    partial = None if path is None or files.in_place(path) else path + PARTIAL_SUFFIX
    target = contextlib.nullcontext(ctx.stdout) if path is None else files.output(path, newline="", partial=partial)
    ctx.status.enabled = not args.quiet
    ctx.status.live = ctx.status.live and not args.quiet
    api = ctx.api()
    counter = Counter("halvex: fleet", len(serials), status=ctx.status)
    writer = None
    try:
        with target as out:
            writer = OrderedWriter(jsonl_writer(out) if fmt == "jsonl" else csv_writer(out))

            def on_result(result):
                writer.add(result)
                if path is None and getattr(out, "closed_by_reader", False):
                    raise BrokenPipeError  # nobody reads the rows any more: stop reading meters
                counter.advance(result.status, result.problem())

            def on_stop(exc, running):
                if isinstance(exc, BrokenPipeError):
                    return  # the reader went away: quietly
                interrupted = isinstance(exc, KeyboardInterrupt)
                if interrupted:
                    # Reads still ending must not bury "interrupted" under their failures.
                    ctx.mute_logs()
                if running:
                    reads = f"{running} meter read{'s' if running != 1 else ''}"
                    ctx.status.note(f"halvex: fleet: stopping; {reads} in progress will end first"
                                    + (" (Ctrl-C again to cut them short)" if interrupted else ""))

            try:
                with counter:
                    results = read_fleet(api, serials, workers=args.workers, on_result=on_result,
                                         mediator=ctx.mediator, on_stop=on_stop, on_abandon=ctx.abandon_calls)
            except BaseException:
                # Rows held back only to keep the input order are read all the same.
                with contextlib.suppress(Exception):
                    writer.flush_pending()
                raise
    except BaseException:
        if partial is not None and writer is not None and os.path.exists(partial):
            ctx.status.note(f"halvex: fleet: stopped early; the {writer.written} rows read so far are in "
                            f"{partial}; {path} is unchanged")
        raise
    counter.finish()
    return int(fleet_exit_code(results))
