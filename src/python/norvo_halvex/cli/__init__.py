"""The ``halvex`` command line tool."""

import sys


def main(argv: list[str] | None = None) -> int:
    """Runs ``halvex`` with ``argv`` (default: the command line) and returns its exit code."""
    try:
        # Loading the tool takes a moment (gRPC, DuckDB): Ctrl-C then is an interrupt like any other.
        from norvo_halvex.cli.app import main as run
    except KeyboardInterrupt:
        print("halvex: interrupted", file=sys.stderr, flush=True)
        return 130
    return run(argv)


__all__ = ["main"]
