"""Running a collection: plan -> meter-day tasks (threads or Dask) -> one writer -> store."""

from __future__ import annotations

import collections
import concurrent.futures as _cf
import dataclasses
import datetime as _dt
import functools
import heapq
import itertools
import os
import secrets
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Sequence

from norvo_halvex.collect.cluster import ClusterTLS, close_cluster, start_cluster
from norvo_halvex.collect.failfast import STOP_AFTER_REFUSED, STOP_AFTER_UNREACHABLE, FailFast, with_mediator
from norvo_halvex.collect.plan import Plan, day_range, yesterday
from norvo_halvex.collect.backends import open_store
from norvo_halvex.collect.store import DEFAULT_DB, WRITER_WAIT, BaseStore
from norvo_halvex.collect.task import (
    DEFAULT_BACKOFF,
    DEFAULT_RETRIES,
    DEFAULT_WHATS,
    MeterDay,
    MeterDayResult,
    collect_meter_day,
)
from norvo_halvex.failures import ExitCode, Failure, all_failed_exit_code
from norvo_halvex.meters import local_day, time_zone

UTC = _dt.timezone.utc

DEFAULT_WORKERS = 8


@dataclasses.dataclass
class Summary:
    """What a collection did. ``failures`` holds the first few failed parts only (the
    attempts ledger has all of them); ``parts`` counts the last try of every part by
    (part, outcome, code); ``failed_serials`` gives each meter that did not come whole the
    codes it failed with; ``slowest`` the meter-days that took longest. ``stopped`` is the
    cause when the collection stopped by itself (see ``failfast``)."""

    run_id: str
    db: str
    days: list[_dt.date]
    zone: str = "UTC"
    started_at: _dt.datetime = dataclasses.field(default_factory=lambda: _dt.datetime.now(UTC))
    ended_at: _dt.datetime | None = None
    planned: int = 0
    ok: int = 0
    partial: int = 0
    failed: int = 0
    skipped: int = 0
    rows: int = 0
    interrupted: bool = False
    dropped: int = 0
    elapsed: float = 0.0
    write_seconds: float = 0.0
    #: The exit code of each failed meter-day (see ``failed_exit_code``), counted.
    failed_exit_codes: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    exchanges: int = 0
    retries: int = 0
    stopped: Failure | None = None
    stopped_after: int = 0
    failures: list[dict] = dataclasses.field(default_factory=list)
    parts: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    outcomes: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    failed_serials: dict[str, set[str]] = dataclasses.field(default_factory=dict)
    slowest: list[tuple[float, str, str]] = dataclasses.field(default_factory=list)

    MAX_FAILURES = 20
    MAX_SLOWEST = 10

    @property
    def done(self) -> int:
        return self.ok + self.partial + self.failed

    @property
    def not_tried(self) -> int:
        """Planned meter-days never dispatched (the run stopped early)."""
        return max(0, self.planned - self.done - self.skipped - self.dropped)

    def add(self, result: MeterDayResult) -> None:
        outcome = result.outcome
        setattr(self, outcome, getattr(self, outcome) + 1)
        self.rows += result.rows
        self.exchanges += result.exchanges
        self.retries += sum(1 for a in result.attempts if a.attempt > 1)
        slow = (round(result.seconds, 3), result.serial, result.day.isoformat())
        if len(self.slowest) < self.MAX_SLOWEST:
            heapq.heappush(self.slowest, slow)
        else:
            heapq.heappushpop(self.slowest, slow)
        final = result.final()
        first_code = ""
        for a in final.values():
            self.parts[(a.what, a.outcome, a.code or "")] += 1
            if a.outcome != "ok":
                first_code = first_code or a.code or ""
                self.failed_serials.setdefault(result.serial, set()).add(a.code or a.outcome.upper())
        self.outcomes[(outcome, first_code)] += 1
        if outcome == "failed":
            self.failed_exit_codes[failed_exit_code(final.values())] += 1
        for a in final.values():
            if a.outcome != "ok" and len(self.failures) < self.MAX_FAILURES:
                self.failures.append(
                    {"serial": result.serial, "day": result.day.isoformat(), "what": a.what,
                     "outcome": a.outcome, "code": a.code, "message": a.message}
                )

    @property
    def all_failed(self) -> bool:
        """Every meter-day tried failed: nothing of them was stored."""
        return self.failed > 0 and self.failed == self.done

    def by_code(self) -> list[dict]:
        """The last tries of the parts that were not ok, by part, outcome and code, most first."""
        rows = [{"part": what, "outcome": outcome, "code": code, "count": n}
                for (what, outcome, code), n in self.parts.items() if outcome != "ok"]
        return sorted(rows, key=lambda r: (-r["count"], r["part"], r["outcome"], r["code"]))

    def as_dict(self) -> dict:
        out = {
            "run_id": self.run_id,
            "db": self.db,
            "days": [d.isoformat() for d in self.days],
            "zone": self.zone,
            "meter_days": {"planned": self.planned, "ok": self.ok, "partial": self.partial,
                           "failed": self.failed, "skipped": self.skipped, "dropped": self.dropped,
                           "not_tried": self.not_tried},
            "rows": self.rows,
            "interrupted": self.interrupted,
            "stopped": None,
            "elapsed_seconds": round(self.elapsed, 3),
            "by_code": self.by_code(),
            "failures": self.failures,
        }
        if self.stopped is not None:
            out["stopped"] = {**self.stopped.as_dict(), "after": self.stopped_after}
        return out


def failed_exit_code(tries) -> ExitCode:
    """The exit code of a meter-day whose parts' last ``tries`` all failed. A part the meter
    no longer holds (``NOT_HELD``) is the meter's failure."""
    return all_failed_exit_code(a.failure.exit_code if a.failure is not None else ExitCode.METER for a in tries)


def new_run_id() -> str:
    return f"{_dt.datetime.now(UTC):%Y%m%dT%H%M%SZ}-{secrets.token_hex(3)}"


# -- runners: each yields the results of the meter-days as they complete, in lists of
# those that completed together, and an empty list at least every TICK seconds while
# nothing completes (so the writer can store what it holds without waiting for more).

TICK = 0.1


def run_threads(
    api, plan: Iterable[MeterDay], *, workers: int, retries: int, backoff: float, stop: threading.Event,
    halt: threading.Event | None = None,
) -> Iterator[list[MeterDayResult]]:
    """Meter-days on a thread pool sharing ``api``. At most 2 x ``workers`` are submitted
    at a time, so a fleet of any size is held as a handful of tasks. Once ``halt`` is set
    nothing more starts and the running meter-days end without further retries."""
    window = 2 * workers
    tasks = iter(plan)
    halt = halt if halt is not None else threading.Event()
    pool = _cf.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="halvex-collect")
    pending: set[_cf.Future] = set()

    def fill() -> None:
        while len(pending) < window and not stop.is_set() and not halt.is_set():
            md = next(tasks, None)
            if md is None:
                return
            pending.add(pool.submit(collect_meter_day, api, md, retries=retries, stop=stop, backoff=backoff,
                                    halt=halt))

    try:
        fill()
        while pending:
            done, _ = _cf.wait(pending, timeout=TICK, return_when=_cf.FIRST_COMPLETED)
            pending.difference_update(done)
            if stop.is_set():
                halt.set()
            if halt.is_set():  # what has not started yet never will
                pending = {f for f in pending if not f.cancel()}
            yield [f.result() for f in done]
            fill()
    finally:
        if pending:  # stopped early: running meter-days cut their retries short
            stop.set()
        for future in pending:
            future.cancel()
        pool.shutdown(wait=False, cancel_futures=True)


def run_dask(
    client, mediator: str, settings, plan: Iterable[MeterDay], *, retries: int, backoff: float, log_level: str,
    stop: threading.Event, halt: threading.Event | None = None, write: tuple[str, str] | None = None,
) -> Iterator[list[MeterDayResult]]:
    """Meter-days as Dask tasks, in bounded batches (twice the cluster's threads in flight);
    results come back as plain rows and are released once handed on. ``settings`` (file
    paths, never their contents) travel with each task to the worker's client. Once
    ``halt`` is set no more are sent; those sent end as they would (with their retries).
    ``write``: (store URL, run id) for workers that store what they read themselves."""
    from dask.distributed import as_completed

    from norvo_halvex.collect.worker import run_and_store, run_meter_day

    if stop.is_set():  # interrupted while the cluster was starting
        return
    threads = sum(client.nthreads().values()) or 1
    tasks = iter(plan)

    def submit(md: MeterDay):
        if write is not None:
            return client.submit(run_and_store, *write, mediator, md, retries, backoff, log_level, settings,
                                 pure=False)
        return client.submit(run_meter_day, mediator, md, retries, backoff, log_level, settings, pure=False)

    first = [submit(md) for md in itertools.islice(tasks, 2 * threads)]
    outstanding = set(first)
    queue = as_completed(first)
    try:
        while not queue.is_empty():
            if not queue.has_ready():
                time.sleep(TICK / 10)
                yield []
                continue
            batch = queue.next_batch(block=False)
            results = []
            for future in batch:
                outstanding.discard(future)
                results.append(future.result())
                future.release()
            yield results
            if not stop.is_set() and not (halt is not None and halt.is_set()):
                for md in itertools.islice(tasks, len(batch)):
                    nxt = submit(md)
                    outstanding.add(nxt)
                    queue.add(nxt)
    finally:
        if outstanding:
            stop.set()
            client.cancel(list(outstanding))


# -- the collection ------------------------------------------------------------------------

#: Completed meter-days wait at most this long to be stored together in one transaction.
GROUP_SECONDS = 1.0
#: ... and at most this many of them.
MAX_GROUP = 256


@dataclasses.dataclass(frozen=True, kw_only=True)
class CollectOptions:
    """What a collection reads and how hard it tries.

    ``day`` is the newest local day in the time zone ``zone`` (an IANA name; default
    yesterday there) and ``days`` how many up to it; ``whats`` the parts of each meter-day;
    ``resume`` skips the parts whose last try succeeded. ``now`` is the instant the days are
    collected as of (default: when each part is read): a day not over by then is read as far
    as it goes and recorded ``partial``. ``workers`` meter-days are read at once (per process on a Dask cluster), a
    transient failure is tried ``retries`` more times after ``backoff`` seconds (doubling),
    and completed meter-days wait at most ``group_seconds`` to share a transaction (0: one
    each). ``log_level`` is that of the clients the collection makes itself.
    ``stop_after_unreachable`` / ``stop_after_refused``: dispatching stops after that many
    meter-days in a row failed because the mediator could not be reached / refused the
    connection's security (0: never; see ``failfast``).
    ``workers_write``: on a Dask cluster and a PostgreSQL store, each worker stores the
    meter-days it reads itself (one transaction each), with the credentials its host has.
    """

    day: _dt.date | None = None
    days: int = 1
    whats: Sequence[str] = DEFAULT_WHATS
    resume: bool = False
    workers: int = DEFAULT_WORKERS
    retries: int = DEFAULT_RETRIES
    backoff: float = DEFAULT_BACKOFF
    group_seconds: float = GROUP_SECONDS
    log_level: str = "WARNING"
    zone: str = "UTC"
    now: _dt.datetime | None = None
    stop_after_unreachable: int = STOP_AFTER_UNREACHABLE
    stop_after_refused: int = STOP_AFTER_REFUSED
    workers_write: bool = False

    def __post_init__(self) -> None:
        time_zone(self.zone)  # ValueError naming an unknown zone
        if self.workers < 1:
            raise ValueError(f"workers must be at least 1, got {self.workers}")
        for name in ("retries", "stop_after_unreachable", "stop_after_refused"):
            if getattr(self, name) < 0:
                raise ValueError(f"{name} must be 0 or more, got {getattr(self, name)}")


def collect(
    serials: Iterable[str],
    options: CollectOptions | None = None,
    *,
    mediator: str | None = None,
    settings=None,
    api=None,
    cluster=None,
    cluster_tls: ClusterTLS | None = None,
    store: BaseStore | str | os.PathLike[str] = DEFAULT_DB,
    on_result: Callable[[MeterDayResult, Summary], None] | None = None,
    stop: threading.Event | None = None,
) -> Summary:
    """Collects meter-days of ``serials`` into ``store`` and returns the summary.

    ``options`` says which days and parts, and how (``CollectOptions``). Reads go through
    ``api`` (a ``HalvexMediatorAPI``; made for ``mediator`` with the ``ConnectionSettings``
    ``settings`` when not given) on ``options.workers`` threads, or through one client per
    process on a Dask cluster (``cluster``: ``"local:N"``, a scheduler address reached
    with ``cluster_tls`` (default: ``ClusterTLS.from_env()``), or a connected
    ``dask.distributed.Client``, left open; needs ``mediator``). ``store`` is an open
    store (left open), or the path or URL of one (see ``open_store``; a DuckDB file is then
    held only while it is written, so that readers get in between).

    This thread alone writes the store. A transaction holds whole meter-days only: those
    that completed within ``options.group_seconds`` of each other (at most ``MAX_GROUP``),
    so a crash loses no more than that and never part of a meter-day. ``on_result`` is
    called with each result and the running summary once it is stored. When the mediator
    is gone or refuses the credentials (``CollectOptions.stop_after_*``), nothing more is
    dispatched, the meter-days in flight end and are stored, and ``summary.stopped`` holds
    the cause; the rest is left for ``resume``. A
    KeyboardInterrupt (or ``stop`` being set) ends the run: completed meter-days are
    stored, running ones are dropped whole, and the summary says so (``interrupted``); the
    KeyboardInterrupt is re-raised after the summary is complete, so catch it to read
    ``exc.summary``.
    """
    options = options if options is not None else CollectOptions()
    zone = options.zone
    day_list = day_range(options.day or yesterday(time_zone(zone), options.now), options.days)
    for day in day_list:
        local_day(day, time_zone(zone))  # ValueError for a day that does not begin on the grid
    started = time.monotonic()
    own_store = not isinstance(store, BaseStore)
    if own_store:
        store = open_store(store, hold=False, wait=WRITER_WAIT)
    summary = Summary(new_run_id(), store.path, day_list, zone)
    stop = stop if stop is not None else threading.Event()
    done = functools.partial(store.succeeded, zone=zone) if options.resume else None
    serials = list(serials)
    plan = Plan(serials, day_list, options.whats, done=done, zone=zone, as_of=options.now,
                three_phase=store.three_phase)
    summary.planned = len(dict.fromkeys(serials)) * len(day_list)
    held: list[MeterDayResult] = []
    held_since = 0.0
    halt = threading.Event()
    fail_fast = FailFast(options.stop_after_unreachable, options.stop_after_refused)

    def store_held() -> None:
        nonlocal held
        batch, held = held, []
        t0 = time.monotonic()
        try:
            unstored = [r for r in batch if not r.stored]
            if unstored:
                store.write_many(summary.run_id, unstored)
        except BaseException:
            summary.dropped += len(batch)
            raise
        summary.write_seconds += time.monotonic() - t0
        for result in batch:
            summary.add(result)
            if on_result is not None:
                on_result(result, summary)

    client = None
    try:
        # Known to the store before any is read: gaps names them even if nothing of theirs is stored.
        store.plan(serials)
        if cluster is not None:
            if mediator is None:
                raise ValueError("a Dask cluster needs the mediator address its workers connect to")
            write = None
            if options.workers_write:
                if store.url is None:
                    raise ValueError("workers write to a PostgreSQL store only: a DuckDB file has one writer")
                write = (store.url, summary.run_id)
            if isinstance(cluster, str):
                cluster = client = start_cluster(cluster, workers=options.workers, tls=cluster_tls)
            results = run_dask(cluster, mediator, settings, plan, retries=options.retries, backoff=options.backoff,
                               log_level=options.log_level, stop=stop, halt=halt, write=write)
        else:
            if options.workers_write:
                raise ValueError("workers write on a Dask cluster only (--cluster)")
            if api is None:
                from norvo_halvex.collect.worker import client_for

                if mediator is None:
                    raise ValueError("give the mediator address or a client")
                api = client_for(mediator, settings, options.log_level)
            results = run_threads(api, plan, workers=options.workers, retries=options.retries,
                                  backoff=options.backoff, stop=stop, halt=halt)
        try:
            for done in results:
                whole = [r for r in done if not r.interrupted]
                summary.dropped += len(done) - len(whole)
                for result in whole:  # as they arrive: storing may wait for more to share a transaction
                    cause = fail_fast.see(result)
                    if cause is not None and summary.stopped is None:
                        summary.stopped, summary.stopped_after = with_mediator(cause, mediator), fail_fast.streak
                        halt.set()
                if whole and not held:
                    held_since = time.monotonic()
                held += whole
                summary.skipped = plan.skipped
                if held and (stop.is_set() or halt.is_set() or len(held) >= MAX_GROUP
                             or time.monotonic() - held_since >= options.group_seconds):
                    store_held()
                elif not held:
                    store.idle()
                if stop.is_set():
                    break
        finally:
            results.close()
        if held:
            store_held()
        summary.skipped = plan.skipped
        summary.interrupted = stop.is_set()
    except KeyboardInterrupt as exc:
        stop.set()
        summary.interrupted = True
        summary.skipped = plan.skipped
        if held:  # completed whole: worth keeping, unless interrupted again
            try:
                store_held()
            except KeyboardInterrupt:
                pass
        exc.summary = summary
        raise
    finally:
        summary.elapsed = time.monotonic() - started
        summary.ended_at = _dt.datetime.now(UTC)
        if client is not None:
            close_cluster(client)
        if own_store:
            store.close()
    return summary
