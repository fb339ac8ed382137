"""The tool's standard output and error, when a reader may go away (``halvex ... | head -1``).

A write that finds the pipe closed points the descriptor at /dev/null: nothing more is
printed, no later flush fails (not even the interpreter's own at exit), and the work goes
on: a collection still stores everything it reads. ``closed_by_reader`` says it happened,
so the run can end with its documented exit code for it.
"""

from __future__ import annotations

import os


class Pipe:
    """A text stream whose reader may close it; everything else is the stream's own."""

    def __init__(self, stream) -> None:
        self._stream = stream
        self.closed_by_reader = False

    def write(self, text: str) -> int:
        try:
            return self._stream.write(text)
        except BrokenPipeError:
            self._gone()
            return len(text)

    def flush(self) -> None:
        try:
            self._stream.flush()
        except BrokenPipeError:
            self._gone()

    def _gone(self) -> None:
        self.closed_by_reader = True
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            try:
                os.dup2(devnull, self._stream.fileno())
            finally:
                os.close(devnull)
        except (AttributeError, OSError, ValueError):
            pass  # not a real descriptor (a test's buffer): dropping the text is enough

    def __getattr__(self, name: str):
        return getattr(self._stream, name)


def closed(*streams) -> bool:
    """True when a reader closed any of ``streams`` during the run."""
    return any(getattr(s, "closed_by_reader", False) for s in streams)
