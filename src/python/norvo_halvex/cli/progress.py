"""Progress on standard error: a live line on a terminal, sparse plain lines otherwise."""

from __future__ import annotations

import sys
import threading
import time

_SPIN = "|/-\\"


class StatusLine:
    """One status line on ``stream``. On a terminal it is redrawn in place; elsewhere
    (pipes, files, CI logs) only ``note`` lines and the final line are written, so logs
    are not flooded with carriage returns."""

    def __init__(self, stream=None, *, enabled: bool = True) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled
        self.live = enabled and _isatty(self.stream)
        self._lock = threading.Lock()
        self._shown = 0

    def show(self, text: str) -> None:
        if not self.live:
            return
        with self._lock:
            self._draw(text)

    def note(self, text: str) -> None:
        """A permanent line (a failure, say), printed above the live line."""
        with self._lock:
            self._clear()
            print(text, file=self.stream, flush=True)

    def done(self, text: str | None = None) -> None:
        with self._lock:
            self._clear()
            if text and self.enabled:
                print(text, file=self.stream, flush=True)

    def _draw(self, text: str) -> None:
        pad = max(0, self._shown - len(text))
        self.stream.write("\r" + text + " " * pad)
        self.stream.flush()
        self._shown = len(text)

    def _clear(self) -> None:
        if self._shown:
            self.stream.write("\r" + " " * self._shown + "\r")
            self.stream.flush()
            self._shown = 0


def _isatty(stream) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


class Spinner:
    """Elapsed time (and an optional step counter) while a blocking call runs."""

    def __init__(self, label: str, *, status: StatusLine, total_steps: int | None = None) -> None:
        self.label = label
        self.status = status
        self.total_steps = total_steps
        self.steps = 0
        self.started = time.monotonic()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def step(self) -> None:
        self.steps += 1

    @property
    def elapsed(self) -> float:
        return time.monotonic() - self.started

    def _text(self, tick: int) -> str:
        text = f"{_SPIN[tick % len(_SPIN)]} {self.label}  {self.elapsed:5.1f} s"
        if self.total_steps:
            text += f"  frame {min(self.steps, self.total_steps)}/{self.total_steps}"
        return text

    def _run(self) -> None:
        tick = 0
        while not self._stop.wait(0.1):
            self.status.show(self._text(tick))
            tick += 1

    def __enter__(self) -> Spinner:
        self.started = time.monotonic()
        if self.status.live:
            self._thread = threading.Thread(target=self._run, name="halvex-spinner", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        self.status.done()


class Counter:
    """done/total and failures for many concurrent jobs; thread-safe."""

    def __init__(self, label: str, total: int, *, status: StatusLine, every: float = 0.1) -> None:
        self.label = label
        self.total = total
        self.status = status
        self.done_count = 0
        self.failed = 0
        self.started = time.monotonic()
        self._lock = threading.Lock()
        self._every = every
        self._last = 0.0

    def text(self) -> str:
        elapsed = time.monotonic() - self.started
        return f"{self.label}: {self.done_count}/{self.total} done, {self.failed} failed, {elapsed:.1f} s"

    def advance(self, ok: bool, failure_line: str | None = None) -> None:
        with self._lock:
            self.done_count += 1
            if not ok:
                self.failed += 1
            now = time.monotonic()
            redraw = now - self._last >= self._every or self.done_count == self.total
            if redraw:
                self._last = now
            text = self.text()
        if failure_line:
            self.status.note(failure_line)
        if redraw:
            self.status.show(text)

    def __enter__(self) -> Counter:
        # Keep the elapsed time moving on a terminal while slow meters are outstanding.
        self._stop = threading.Event()
        self._thread = None
        if self.status.live:
            self._thread = threading.Thread(target=self._tick, name="halvex-progress", daemon=True)
            self._thread.start()
        return self

    def _tick(self) -> None:
        while not self._stop.wait(0.5):
            with self._lock:
                text = self.text()
            self.status.show(text)

    def __exit__(self, *exc) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()

    def finish(self) -> None:
        self.status.done(self.text())
