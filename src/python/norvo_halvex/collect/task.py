"""One meter-day: what a worker (a thread or a Dask task) does, returning plain rows.

A meter-day is one meter's data for one local day (00:00 to 00:00 in the run's time zone,
UTC by default): its intervals (three-phase meters), its registers (read once per run, with
the newest day of the run) and the events its event log holds for the day. Each part is read
through the client, retried on its own when the failure is transient, and every try is
recorded. A day not over yet (by this machine's clock, ``MeterDay.as_of``) is read as far as
it goes and is ``partial`` (``DAY_NOT_OVER``), so that ``--resume`` completes it. Nothing
here touches the store: the result goes back to the single writer.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
import random
import threading
import time
from collections.abc import Callable

import tenacity
from quarn_frame_protocol.generated.quarn_profile_three_phase_intervals_request import (
    QuarnProfileThreePhaseIntervalsRequest,
)

from norvo_halvex.meters import (
    ELEMENT_REGISTERS,
    ELEMENTS,
    THREE_PHASE_QUANTITIES,
    block_frame,
    blocks_to_intervals_rec,
    check_frames,
    format_scaled,
    interval_frames,
    is_three_phase,
    local_day,
    register_text,
    scale_for,
    time_zone,
    valid_event_log_idx,
)
from norvo_halvex.failures import Failure, classify

UTC = _dt.timezone.utc

WHATS = ("intervals", "registers", "events")
DEFAULT_WHATS = ("intervals", "registers")
OUTCOMES = ("ok", "failed", "partial")

DEFAULT_RETRIES = 2
DEFAULT_BACKOFF = 0.5  # seconds before the first retry; doubles, with jitter
MAX_BACKOFF = 8.0


@dataclasses.dataclass(frozen=True, slots=True)
class MeterDay:
    """``serial``'s local ``day`` in the time zone named ``zone``: the parts ``whats``, read
    as the day stands at ``as_of`` (None: when the part is read)."""

    serial: str
    day: _dt.date
    whats: tuple[str, ...]
    zone: str = "UTC"
    as_of: _dt.datetime | None = None


@dataclasses.dataclass(slots=True)
class Attempt:
    """One try of one part of a meter-day, as the attempts ledger stores it."""

    what: str
    attempt: int
    outcome: str
    code: str | None
    message: str | None
    rows: int
    started_at: _dt.datetime
    duration_ms: int
    #: How the failure of a failed try was classified (not stored: the ledger keeps ``code``).
    failure: Failure | None = None


@dataclasses.dataclass(slots=True)
class MeterDayResult:
    """What one meter-day produced. Rows are present only for parts that were read.

    ``intervals``: (interval start in epoch seconds, the six values as exact decimal
    texts, status flags). ``registers``: (read_at, {column: decimal text or None}, final:
    read after the day ended with every value). ``events``: (event time in epoch seconds,
    code number, code name, detail).
    """

    serial: str
    day: _dt.date
    zone: str = "UTC"
    hardware: str | None = None
    interval_seconds: int | None = None
    intervals: list[tuple] = dataclasses.field(default_factory=list)
    registers: tuple | None = None
    events: list[tuple] = dataclasses.field(default_factory=list)
    attempts: list[Attempt] = dataclasses.field(default_factory=list)
    #: A stop request cut this meter-day short: it is dropped whole, never stored.
    interrupted: bool = False
    #: The worker that read it stored it already (its rows are gone, its tries kept for the summary).
    stored: bool = False
    #: Calls made to the mediator, and the time the meter-day took (retry waits included).
    exchanges: int = 0
    seconds: float = 0.0

    def final(self) -> dict[str, Attempt]:
        """The last try of each part."""
        out: dict[str, Attempt] = {}
        for a in self.attempts:
            out[a.what] = a
        return out

    @property
    def outcome(self) -> str:
        outcomes = {a.outcome for a in self.final().values()}
        if outcomes <= {"ok"}:
            return "ok"
        if outcomes == {"failed"}:
            return "failed"
        return "partial"

    @property
    def rows(self) -> int:
        return sum(a.rows for a in self.final().values())


@dataclasses.dataclass(frozen=True, slots=True)
class Part:
    """What a part of a meter-day yields: rows stored, and how complete it is."""

    rows: int
    outcome: str = "ok"
    code: str | None = None
    message: str | None = None


class NotHeld(Exception):
    """The meter no longer (or not yet) holds what was asked for."""


def _sleeper(stop: threading.Event | None) -> Callable[[float], None]:
    if stop is None:
        return time.sleep
    return stop.wait  # a stop request ends the backoff at once


def retrying(retries: int, *, stop: threading.Event | None = None, backoff: float = DEFAULT_BACKOFF, tried: int = 0):
    """Exponential backoff with jitter, for transient failures only, ``retries`` more tries;
    none once ``stop`` is set. ``tried`` of all the tries were made already (the count and the
    waits go on from there)."""
    stop_rule = tenacity.stop_after_attempt(retries + 1 - tried)
    if stop is not None:
        stop_rule = stop_rule | (lambda state: stop.is_set())
    return tenacity.Retrying(
        stop=stop_rule,
        wait=tenacity.wait_exponential(multiplier=backoff * 2**tried, max=MAX_BACKOFF) + tenacity.wait_random(0, backoff),
        retry=tenacity.retry_if_exception(lambda exc: classify(exc).transient),
        sleep=_sleeper(stop),
        reraise=True,
    )


#: Why a part of a day not over yet is partial.
DAY_NOT_OVER = "DAY_NOT_OVER"


class _Run:
    def __init__(self, api, md: MeterDay, result: MeterDayResult) -> None:
        self.api = api
        self.md = md
        self.result = result
        self.local = local_day(md.day, time_zone(md.zone))
        self._clock: _dt.datetime | None = None

    def as_of(self) -> _dt.datetime:
        return self.md.as_of or _dt.datetime.now(UTC)

    def not_over(self, what: str) -> str:
        return (f"the day is not over until {self.local.end.isoformat()} ({self.md.zone}); "
                f"{what}: --resume completes it")

    def hardware(self) -> str:
        # The client caches the hardware per serial, so only the first part asks the meter.
        hw = self.api.hardware(self.md.serial)
        self.result.hardware = hw
        return hw

    def clock(self) -> _dt.datetime:
        if self._clock is None:
            self._clock = self.api.clock_time_read(self.md.serial)
        return self._clock

    def intervals(self) -> Part:
        hw = self.hardware()
        if not is_three_phase(hw):
            return Part(0, message="single-phase meter: no interval profile")
        serial = self.md.serial
        as_of = self.as_of()
        profile = QuarnProfileThreePhaseIntervalsRequest.ProfileNumber.profile_0
        frames = [(s, e, self.api._three_phase_intervals_read(serial, s, e, profile))
                  for start, end in self.local.windows(as_of) for s, e in interval_frames(start, end)]
        # Nothing of a download that breaks the meter's grid is believed, or stored.
        check_frames(block_frame(*frame) for frame in frames)
        intervals = blocks_to_intervals_rec([block for _, _, block in frames])
        scale = scale_for(hw)
        # Absent, not zero: an interval the meter holds no data for is not stored.
        rows = [(int(iv.time.timestamp()), *[format_scaled(v, scale) for v in iv.values], iv.status)
                for iv in intervals if not iv.missing]
        self.result.intervals = rows
        self.result.interval_seconds = intervals.interval_length
        expected = self.local.slots_over(as_of)
        if not self.local.over(as_of):
            return Part(len(rows), "partial", DAY_NOT_OVER,
                        self.not_over(f"{len(rows)} of its {self.local.slots} intervals so far"))
        if expected > len(rows):
            return Part(len(rows), "partial", "MISSING_INTERVALS",
                        f"{expected - len(rows)} of {expected} intervals missing on the meter")
        return Part(len(rows))

    def registers(self) -> Part:
        hw = self.hardware()
        read_at = self.clock()
        value = self.api.read(self.md.serial)
        values: dict[str, str | None] = {}
        failed = []
        if is_three_phase(hw):
            for key in THREE_PHASE_QUANTITIES:
                v = value.get(key)
                if v is None:
                    failed.append(key)
                values[key] = register_text(v, hw)
        else:
            for element, regs in zip(ELEMENTS, value):
                for key in ELEMENT_REGISTERS:
                    values[f"{element}_{key}"] = register_text(None if regs is None else regs.get(key), hw)
        # The day's reading is one taken once the day is over, with every value.
        over = self.local.over(read_at)
        self.result.registers = (read_at, values, over and not failed)
        if failed:
            return Part(1, "partial", "TOTALS_NOT_READ", f"totals the meter did not deliver: {', '.join(failed)}")
        if not over:
            return Part(1, "partial", DAY_NOT_OVER, self.not_over(f"read at {read_at.isoformat()} by the meter's clock"))
        return Part(1)

    def events(self) -> Part:
        serial, local = self.md.serial, self.local
        meter_today = self.clock().astimezone(UTC).date()
        # A page holds one UTC day of the meter's; a local day may reach into two.
        first, last = local.start.date(), (local.end - _dt.timedelta(seconds=1)).date()
        start, end = int(local.start.timestamp()), int(local.end.timestamp())
        rows = []
        for n in range((last - first).days + 1):
            page = first + _dt.timedelta(days=n)
            index = (meter_today - page).days
            if index < 0:
                continue  # not begun by the meter's clock: the day is not over
            try:
                valid_event_log_idx(index)
            except ValueError:
                raise NotHeld(
                    f"the meter's event log holds the days up to its today ({meter_today.isoformat()}) "
                    f"one page each; {page.isoformat()} is {index} days back, which it does not keep"
                ) from None
            record = self.api.event_log(serial, index)
            for ev in record.events:
                t = int(ev.time)
                # A meter whose clock was off around midnight files an event under its own day.
                if start <= t < end:
                    code = ev.code
                    rows.append((t, int(code), getattr(code, "name", None), int(ev.detail)))
        self.result.events = rows
        if not local.over(self.as_of()):
            return Part(len(rows), "partial", DAY_NOT_OVER, self.not_over(f"{len(rows)} events so far"))
        return Part(len(rows))


def collect_meter_day(
    api,
    md: MeterDay,
    *,
    retries: int = DEFAULT_RETRIES,
    stop: threading.Event | None = None,
    backoff: float = DEFAULT_BACKOFF,
    halt: threading.Event | None = None,
) -> MeterDayResult:
    """Reads the parts of one meter-day through ``api``; never raises for a meter's failure.

    ``stop`` cuts the meter-day short (it comes back ``interrupted``, to be dropped);
    ``halt`` only ends the retries: every part is still tried once and the result is whole.
    """
    from norvo_halvex.mediator.grpc.client import calls_made

    began, calls = time.monotonic(), calls_made()
    result = MeterDayResult(md.serial, md.day, md.zone)
    run = _Run(api, md, result)
    for what in md.whats:
        if stop is not None and stop.is_set():
            break
        step = getattr(run, what)
        tries = 0

        def once(step=step, what=what):
            nonlocal tries
            tries += 1
            started = _dt.datetime.now(UTC)
            t0 = time.monotonic()
            try:
                part = step()
            except Exception as exc:
                if isinstance(exc, NotHeld):
                    code, message = "NOT_HELD", str(exc)
                    failure = None
                else:
                    failure = classify(exc)
                    code, message = failure.ledger_code, failure.message
                result.attempts.append(
                    Attempt(what, tries, "failed", code, message, 0, started, _ms(t0), failure)
                )
                raise
            result.attempts.append(
                Attempt(what, tries, part.outcome, part.code, part.message, part.rows, started, _ms(t0))
            )

        try:
            _with_retries(once, retries, halt or stop, backoff)
        except Exception:
            pass  # every try is in result.attempts
    if stop is not None and stop.is_set():
        result.interrupted = True
    result.exchanges = calls_made() - calls
    result.seconds = time.monotonic() - began
    return result


def _with_retries(once, retries: int, stop: threading.Event | None, backoff: float):
    """``once()``, tried as ``retrying`` says. The first try is made here: most succeed, and
    the retry machinery costs more than a part's own work; it takes over after a failure
    worth another try, once the first wait is over."""
    try:
        return once()
    except Exception as exc:
        if not classify(exc).transient or retries == 0 or (stop is not None and stop.is_set()):
            raise
    _sleeper(stop)(min(backoff, MAX_BACKOFF) + random.uniform(0, backoff))
    return retrying(retries, stop=stop, backoff=backoff, tried=1)(once)


def _ms(t0: float) -> int:
    return int((time.monotonic() - t0) * 1000)
