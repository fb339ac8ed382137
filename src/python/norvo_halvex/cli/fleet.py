"""Reading the registers of many meters concurrently through one API client."""

from __future__ import annotations

import concurrent.futures
import contextlib
import csv
import dataclasses
import json
import threading
import time
from collections.abc import Callable, Sequence

from norvo_halvex import meters
from norvo_halvex.cli import render
from norvo_halvex.cli.report import describe
from norvo_halvex.failures import ExitCode, Failure, all_failed_exit_code, classify
from norvo_halvex.untrusted import for_csv_cell, for_terminal

DEFAULT_WORKERS = 8
# error_code of a row whose meter answered but some of whose values could not be read.
PARTIAL_CODE = "PARTIAL"

CSV_COLUMNS = ["serial", "status", "hardware", "kind", *meters.REGISTER_COLUMNS.values(), "error_code", "error_message"]


@dataclasses.dataclass
class MeterResult:
    index: int
    serial: str
    failure: Failure | None = None
    hardware: str | None = None
    registers: object = None  # what api.read returned
    seconds: float = 0.0

    @property
    def ok(self) -> bool:
        """Every value was read."""
        return self.failure is None and not self.failed_values

    @property
    def failed_values(self) -> list[str]:
        """Three-phase totals whose read failed (the others were read)."""
        if not isinstance(self.registers, dict):
            return []
        return [key for key, value in self.registers.items() if value is None]

    @property
    def status(self) -> str:
        if self.failure is not None:
            return "failed"
        return "partial" if self.failed_values else "ok"

    def problem(self) -> str | None:
        """The line for standard error when this meter was not read completely."""
        if self.failure is not None:
            return describe(self.failure, serial=self.serial, operation="read")
        if self.failed_values:
            return for_terminal(f"halvex: meter {self.serial}: read incomplete: "
                                f"{', '.join(self.failed_values)} could not be read")
        return None

    @property
    def kind(self) -> str | None:
        if self.registers is None:
            return None
        return "three_phase" if isinstance(self.registers, dict) else "single_phase"

    def columns(self) -> dict[str, object]:
        """The CSV row: one column per register value, with its unit in the column name."""
        row: dict[str, object] = dict.fromkeys(CSV_COLUMNS, "")
        row.update(serial=self.serial, status=self.status, hardware=self.hardware or "")
        row["kind"] = self.kind or ""
        regs = self.registers
        # As every file of the tool writes registers: the meter's own decimals.
        if isinstance(regs, tuple):
            for element, values in zip(meters.ELEMENTS, regs):
                for key, value in (values or {}).items():
                    if key in meters.ELEMENT_REGISTERS and value is not None:
                        row[meters.register_column(key, element)] = meters.register_text(value, self.hardware)
        elif isinstance(regs, dict):
            for key, value in regs.items():
                if key in meters.THREE_PHASE_QUANTITIES and value is not None:
                    row[meters.register_column(key)] = meters.register_text(value, self.hardware)
        if self.failure is not None:
            row["error_code"] = self.failure.code
            row["error_message"] = self.failure.message
        elif self.failed_values:
            row["error_code"] = PARTIAL_CODE
            row["error_message"] = "not read: " + " ".join(self.failed_values)
        # People open this file in spreadsheets and terminals: meter and mediator text
        # is shown, never run (register texts are numbers and stay as they are).
        return {key: for_csv_cell(for_terminal(value)) if isinstance(value, str) else value
                for key, value in row.items()}

    def document(self) -> dict:
        """The JSON-lines record."""
        doc: dict[str, object] = {"serial": self.serial, "ok": self.ok, "status": self.status}
        if self.failure is None:
            doc["failed"] = self.failed_values
            doc["hardware"] = self.hardware
            doc["kind"] = self.kind
            regs = self.registers
            if isinstance(regs, tuple):
                doc["registers"] = {"element_a": regs[0], "element_b": regs[1] if len(regs) > 1 else None}
            else:
                doc["registers"] = regs
        else:
            doc["error"] = self.failure.as_dict()
        return doc


def read_one(api, index: int, serial: str, *, mediator: str | None = None) -> MeterResult:
    started = time.monotonic()
    result = MeterResult(index, serial)
    try:
        result.registers = api.read(serial)
        # read() has classified the meter already: this answers from the client's cache.
        result.hardware = api.hardware(serial)
    except Exception as exc:  # every failure belongs in the meter's row
        result.registers = None
        result.failure = classify(exc, mediator=mediator)
    result.seconds = time.monotonic() - started
    return result


def read_fleet(
    api,
    serials: Sequence[str],
    *,
    workers: int = DEFAULT_WORKERS,
    on_result: Callable[[MeterResult], None] | None = None,
    mediator: str | None = None,
    on_stop: Callable[[BaseException, int], None] | None = None,
    on_abandon: Callable[[], None] | None = None,
) -> list[MeterResult]:
    """Reads the registers of every serial through ``api`` with at most ``workers``
    calls in flight. Failures are recorded per meter, never raised. ``on_result`` is
    called (from the calling thread) as each meter finishes; the list returned is in
    the order of ``serials``.

    When the caller is interrupted (Ctrl-C) or ``on_result`` fails, reads not yet
    started are cancelled and the running ones end before the exception goes on:
    ``on_stop(exc, running)`` is told first. Interrupted again while waiting,
    ``on_abandon()`` is called to cut the running reads short (closing the channel)."""
    if workers < 1:
        raise ValueError("workers must be at least 1")
    results: list[MeterResult | None] = [None] * len(serials)
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=min(workers, max(1, len(serials))),
                                                 thread_name_prefix="halvex-fleet")
    futures: list[concurrent.futures.Future] = []
    try:
        for i, s in enumerate(serials):
            futures.append(pool.submit(read_one, api, i, s, mediator=mediator))
        for future in concurrent.futures.as_completed(futures):
            result = future.result()
            results[result.index] = result
            if on_result is not None:
                on_result(result)
    except BaseException as exc:
        abandoned = _stop(pool, futures, exc, on_stop, on_abandon)
        if isinstance(exc, KeyboardInterrupt) and on_result is not None and not abandoned:
            # Reads that ended after Ctrl-C were made all the same: hand them over.
            for future in futures:
                if future.done() and not future.cancelled() and future.exception() is None:
                    result = future.result()
                    if results[result.index] is None:
                        results[result.index] = result
                        with contextlib.suppress(Exception):
                            on_result(result)
        raise
    pool.shutdown(wait=True)
    return results  # type: ignore[return-value]


def _stop(pool, futures, exc, on_stop, on_abandon) -> bool:
    """Cancels what has not started and waits for the rest; True when interrupted again
    while waiting (the running reads were then cut short)."""
    for future in futures:
        future.cancel()
    running = sum(1 for future in futures if not future.done())
    if on_stop is not None:
        on_stop(exc, running)
    try:
        pool.shutdown(wait=True, cancel_futures=True)
    except KeyboardInterrupt:
        if on_abandon is not None:
            on_abandon()
        pool.shutdown(wait=True)
        return True
    return False


class OrderedWriter:
    """Writes results in input order as soon as every earlier one is in, so output
    streams while the fleet is still being read and stays deterministic."""

    def __init__(self, write: Callable[[MeterResult], None]) -> None:
        self._write = write
        self._pending: dict[int, MeterResult] = {}
        self._next = 0
        self._lock = threading.Lock()
        self.written = 0

    def add(self, result: MeterResult) -> None:
        with self._lock:
            self._pending[result.index] = result
            while self._next in self._pending:
                self._write(self._pending.pop(self._next))
                self._next += 1
                self.written += 1

    def flush_pending(self) -> None:
        """Writes the results still waiting for an earlier one (a run that stopped early
        leaves gaps), in input order."""
        with self._lock:
            for index in sorted(self._pending):
                self._write(self._pending.pop(index))
                self.written += 1


def csv_writer(stream):
    writer = csv.DictWriter(stream, fieldnames=CSV_COLUMNS, lineterminator="\n")
    writer.writeheader()

    def write(result: MeterResult) -> None:
        writer.writerow(result.columns())
        stream.flush()

    return write


def jsonl_writer(stream):
    def write(result: MeterResult) -> None:
        stream.write(json.dumps(render.to_jsonable(result.document()), allow_nan=False) + "\n")
        stream.flush()

    return write


def fleet_exit_code(results: Sequence[MeterResult]) -> ExitCode:
    incomplete = [r for r in results if not r.ok]
    if not incomplete:
        return ExitCode.OK
    # Nothing was read: the failures' own code, not "partial".
    if len(incomplete) == len(results) and all(r.failure is not None for r in incomplete):
        return all_failed_exit_code(r.failure.exit_code for r in incomplete)
    return ExitCode.PARTIAL
