"""What a collection run leaves for monitoring: a JSON run report and a Prometheus textfile.

Both are written atomically (``norvo_halvex.files``), so node_exporter's textfile collector
or a reader of the report never sees half a file. The metrics describe the last run (gauges,
not counters); the time of the last successful run is carried over from the previous file
when this run was not one.
"""

from __future__ import annotations

import datetime as _dt
import json
import os

from norvo_halvex import files

UTC = _dt.timezone.utc
LAST_SUCCESS = "halvex_collect_last_success_timestamp_seconds"
METER_DAY_OUTCOMES = ("ok", "partial", "failed", "skipped", "dropped", "not_tried")


def report(summary, exit_code: int) -> dict:
    """The run report of ``summary``, as plain JSON values."""
    base = summary.as_dict()
    return {
        "run_id": summary.run_id,
        "started_at": summary.started_at.isoformat(),
        "ended_at": (summary.ended_at or _dt.datetime.now(UTC)).isoformat(),
        "elapsed_seconds": base["elapsed_seconds"],
        "db": summary.db,
        "days": base["days"],
        "zone": summary.zone,
        "exit_code": int(exit_code),
        "interrupted": summary.interrupted,
        "stopped": base["stopped"],
        "meter_days": base["meter_days"],
        "meter_days_by_code": [{"outcome": o, "code": c, "count": n}
                               for (o, c), n in sorted(summary.outcomes.items())],
        "parts": [{"part": w, "outcome": o, "code": c, "count": n} for (w, o, c), n in sorted(summary.parts.items())],
        "rows": summary.rows,
        "exchanges": summary.exchanges,
        "retries": summary.retries,
        "slowest": [{"serial": serial, "day": day, "seconds": seconds}
                    for seconds, serial, day in sorted(summary.slowest, reverse=True)],
        "failed": [{"serial": serial, "codes": sorted(codes)} for serial, codes in sorted(summary.failed_serials.items())],
    }


def write_report(path: str, summary, exit_code: int) -> None:
    with files.output(path) as out:
        json.dump(report(summary, exit_code), out, indent=2, ensure_ascii=True)
        out.write("\n")


def previous_success(path: str) -> float | None:
    """The last successful run's time in the metrics file at ``path``, if it has one."""
    from prometheus_client.parser import text_string_to_metric_families

    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        for family in text_string_to_metric_families(text):
            for sample in family.samples:
                if sample.name == LAST_SUCCESS:
                    return float(sample.value)
    except (OSError, ValueError, UnicodeDecodeError):
        pass  # no file, or not one of ours: the first success will set it
    return None


def metrics(summary, exit_code: int, *, last_success: float | None = None) -> bytes:
    """The Prometheus text exposition of one run."""
    from prometheus_client import CollectorRegistry, Gauge, generate_latest

    registry = CollectorRegistry(auto_describe=True)

    def gauge(name: str, doc: str, value: float | None = None, labels: tuple[str, ...] = ()) -> Gauge:
        g = Gauge(name, doc, labels, registry=registry)
        if value is not None:
            g.set(value)
        return g

    days = gauge("halvex_collect_meter_days", "Meter-days of the last run by outcome and the code of the "
                 "first part that was not ok", labels=("outcome", "code"))
    counts = summary.as_dict()["meter_days"]
    for outcome in METER_DAY_OUTCOMES:  # every outcome, so a query finds a 0 rather than nothing
        stored = outcome in ("ok", "partial", "failed")
        days.labels(outcome, "").set(summary.outcomes.get((outcome, ""), 0) if stored else counts[outcome])
    for (outcome, code), n in summary.outcomes.items():
        if code:
            days.labels(outcome, code).set(n)
    parts = gauge("halvex_collect_parts", "Parts of meter-days of the last run by the outcome and code "
                  "of their last try", labels=("part", "outcome", "code"))
    for (what, outcome, code), n in summary.parts.items():
        parts.labels(what, outcome, code).set(n)
    gauge("halvex_collect_duration_seconds", "How long the last run took", summary.elapsed)
    gauge("halvex_collect_exchanges", "Calls made to the mediator in the last run", summary.exchanges)
    gauge("halvex_collect_retries", "Tries after the first of a part in the last run", summary.retries)
    gauge("halvex_collect_rows", "Rows stored by the last run", summary.rows)
    gauge("halvex_collect_exit_code", "Exit code of the last run (0: everything collected)", int(exit_code))
    ended = (summary.ended_at or _dt.datetime.now(UTC)).timestamp()
    gauge("halvex_collect_last_run_timestamp_seconds", "When the last run ended (Unix time)", ended)
    if int(exit_code) == 0:
        last_success = ended
    if last_success is not None:
        gauge(LAST_SUCCESS, "When the last run that collected everything ended (Unix time)", last_success)
    return generate_latest(registry)


def write_metrics(path: str, summary, exit_code: int) -> None:
    """Replaces the metrics file at ``path`` atomically (a FIFO or device is written in place)."""
    text = metrics(summary, exit_code, last_success=previous_success(path) if os.path.isfile(path) else None)
    with files.output(path) as out:
        out.write(text.decode("utf-8"))
