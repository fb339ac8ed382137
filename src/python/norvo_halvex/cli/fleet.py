"""Reading the registers of many meters concurrently through one API client."""

from __future__ import annotations

import concurrent.futures
import csv
import dataclasses
import json
import threading
import time
from collections.abc import Callable, Sequence

from norvo_halvex.cli import render
from norvo_halvex.cli.errors import ExitCode, Failure, classify

DEFAULT_WORKERS = 8

ELEMENT_COLUMNS = [f"{e}_{k}_{render.REGISTER_UNITS[k].lower()}" for e in ("a", "b") for k in render.ELEMENT_KEYS]
THREE_PHASE_COLUMNS = [f"{k}_{render.REGISTER_UNITS[k].lower()}" for k in render.THREE_PHASE_KEYS]
CSV_COLUMNS = ["serial", "status", "hardware", "kind", *ELEMENT_COLUMNS, *THREE_PHASE_COLUMNS, "error_code", "error_message"]


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
        return self.failure is None

    @property
    def kind(self) -> str | None:
        if self.registers is None:
            return None
        return "three_phase" if isinstance(self.registers, dict) else "single_phase"

    def columns(self) -> dict[str, object]:
        """The CSV row: one column per register value, with its unit in the column name."""
        row: dict[str, object] = dict.fromkeys(CSV_COLUMNS, "")
        row.update(serial=self.serial, status="ok" if self.ok else "failed", hardware=self.hardware or "")
        row["kind"] = self.kind or ""
        regs = self.registers
        if isinstance(regs, tuple):
            for element, values in zip(("a", "b"), regs):
                for key, value in (values or {}).items():
                    name = f"{element}_{key}_{render.REGISTER_UNITS.get(key, '').lower()}"
                    if name in row and value is not None:
                        row[name] = value
        elif isinstance(regs, dict):
            for key, value in regs.items():
                name = f"{key}_{render.REGISTER_UNITS.get(key, '').lower()}"
                if name in row and value is not None:
                    row[name] = value
        if self.failure is not None:
            row["error_code"] = self.failure.code
            row["error_message"] = self.failure.message
        return row

    def document(self) -> dict:
        """The JSON-lines record."""
        doc: dict[str, object] = {"serial": self.serial, "ok": self.ok}
        if self.ok:
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
) -> list[MeterResult]:
    """Reads the registers of every serial through ``api`` with at most ``workers``
    calls in flight. Failures are recorded per meter, never raised. ``on_result`` is
    called (from the calling thread) as each meter finishes; the list returned is in
    the order of ``serials``."""
    if workers < 1:
        raise ValueError("workers must be at least 1")
    results: list[MeterResult | None] = [None] * len(serials)
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=min(workers, max(1, len(serials))),
                                                 thread_name_prefix="halvex-fleet")
    try:
        futures = [pool.submit(read_one, api, i, s, mediator=mediator) for i, s in enumerate(serials)]
        for future in concurrent.futures.as_completed(futures):
            result = future.result()
            results[result.index] = result
            if on_result is not None:
                on_result(result)
    except BaseException:
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown(wait=True)
    return results  # type: ignore[return-value]


class OrderedWriter:
    """Writes results in input order as soon as every earlier one is in, so output
    streams while the fleet is still being read and stays deterministic."""

    def __init__(self, write: Callable[[MeterResult], None]) -> None:
        self._write = write
        self._pending: dict[int, MeterResult] = {}
        self._next = 0
        self._lock = threading.Lock()

    def add(self, result: MeterResult) -> None:
        with self._lock:
            self._pending[result.index] = result
            while self._next in self._pending:
                self._write(self._pending.pop(self._next))
                self._next += 1


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
    failed = [r for r in results if not r.ok]
    if not failed:
        return ExitCode.OK
    # Nothing answered and the mediator itself (or the credentials for it) was the problem: say so.
    if len(failed) == len(results):
        for code in (ExitCode.MEDIATOR, ExitCode.SECURITY):
            if all(r.failure.exit_code is code for r in failed):
                return code
    return ExitCode.PARTIAL
