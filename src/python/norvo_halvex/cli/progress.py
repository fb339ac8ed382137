"""Progress on standard error: a live bar on a terminal, sparse plain lines otherwise."""

from __future__ import annotations

import contextlib
import sys
import threading
import time

from rich.console import Console
from rich.progress import (
    BarColumn,
    MofNCompleteColumn,
    Progress,
    ProgressColumn,
    SpinnerColumn,
    TextColumn,
    TimeElapsedColumn,
    TimeRemainingColumn,
)
from rich.text import Text

from norvo_halvex.untrusted import for_terminal


def isatty(stream) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


class StatusLine:
    """Where progress and notes go. On a terminal a live progress display is drawn (and
    removed when done); elsewhere (pipes, files, CI logs) only ``note`` lines and the
    final line are written, so logs are not flooded with redraws."""

    def __init__(self, stream=None, *, enabled: bool = True, log=None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled
        self.log = log  # also gets every note (the log file's copy)
        self.live = enabled and isatty(self.stream)
        self._lock = threading.Lock()
        self._progress = None  # the live display now shown, if any

    def note(self, text: str) -> None:
        """A permanent line (a failure, say), printed above any live display."""
        line = for_terminal(text)
        with self._lock:
            progress = self._progress
            if progress is not None:
                progress.console.print(Text(line), soft_wrap=True)
            else:
                print(line, file=self.stream, flush=True)
        if self.log is not None:
            self.log(line)

    def done(self, text: str | None = None) -> None:
        if text and self.enabled:
            self.note(text)

    @contextlib.contextmanager
    def display(self, *columns):
        """A live rich ``Progress`` with ``columns`` while the block runs (None when not
        on a terminal); notes printed meanwhile appear above it."""
        if not self.live:
            yield None
            return
        console = Console(file=self.stream, highlight=False, markup=False, emoji=False)
        # Standard output stays where it is: it may be carrying the CSV to a file.
        progress = Progress(*columns, console=console, transient=True, refresh_per_second=8,
                            redirect_stdout=False, redirect_stderr=False)
        with progress:
            with self._lock:
                self._progress = progress
            try:
                yield progress
            finally:
                with self._lock:
                    self._progress = None


class _Shown:
    """A job count shown as one task of a live display while the ``with`` block runs."""

    _progress = None
    _task = None
    _display = None

    def _show(self, status: StatusLine, label: str, total: int | None, columns, **fields) -> None:
        self._display = status.display(*columns)
        self._progress = self._display.__enter__()
        if self._progress is not None:
            self._task = self._progress.add_task(for_terminal(label), total=total, **fields)

    def _update(self, **kw) -> None:
        if self._progress is not None:
            self._progress.update(self._task, **kw)

    def __exit__(self, *exc) -> None:
        display, self._display, self._progress = self._display, None, None
        if display is not None:
            display.__exit__(*exc)


class Spinner(_Shown):
    """Elapsed time and frames fetched while a blocking download runs."""

    def __init__(self, label: str, *, status: StatusLine, total_steps: int | None = None) -> None:
        self.label = label
        self.status = status
        self.total_steps = total_steps
        self.steps = 0
        self.started = time.monotonic()

    def step(self) -> None:
        self.steps += 1
        self._update(advance=1)

    @property
    def elapsed(self) -> float:
        return time.monotonic() - self.started

    def __enter__(self) -> Spinner:
        self.started = time.monotonic()
        self._show(self.status, self.label, self.total_steps, (
            SpinnerColumn(), TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(),
            TextColumn("frames"), TimeElapsedColumn(), TimeRemainingColumn(),
        ))
        return self


class Counter(_Shown):
    """done/total, failures and partial results of many concurrent jobs; thread-safe."""

    def __init__(self, label: str, total: int, *, status: StatusLine) -> None:
        self.label = label
        self.total = total
        self.status = status
        self.done_count = 0
        self.failed = 0
        self.partial = 0
        self.started = time.monotonic()
        self._lock = threading.Lock()

    def text(self) -> str:
        elapsed = time.monotonic() - self.started
        text = f"{self.label}: {self.done_count}/{self.total} done, {self.failed} failed"
        if self.partial:
            text += f", {self.partial} partial"
        return text + f", {elapsed:.1f} s"

    def advance(self, outcome: str, line: str | None = None) -> None:
        """Counts one job: ``outcome`` is "ok", "partial" or "failed"; ``line`` (if any)
        is printed as a note."""
        with self._lock:
            self.done_count += 1
            if outcome == "failed":
                self.failed += 1
            elif outcome == "partial":
                self.partial += 1
            fields = {"failed": self.failed, "partial": self.partial}
        if line:
            self.status.note(line)
        self._update(advance=1, **fields)

    def skip(self, count: int) -> None:
        """Counts ``count`` jobs that needed no work (done by an earlier run)."""
        with self._lock:
            self.done_count += count
        self._update(advance=count)

    def __enter__(self) -> Counter:
        self.started = time.monotonic()
        self._show(self.status, self.label, self.total, (
            TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(),
            TextColumn("{task.fields[failed]} failed, {task.fields[partial]} partial"),
            RateColumn(), TimeElapsedColumn(), TimeRemainingColumn(),
        ), failed=0, partial=0)
        return self

    def finish(self) -> None:
        self.status.done(self.text())


class RateColumn(ProgressColumn):
    """Jobs per second, as rich averages them over its recent samples."""

    def render(self, task) -> Text:
        speed = task.finished_speed or task.speed
        return Text("-/s" if speed is None else f"{speed:.1f}/s")
