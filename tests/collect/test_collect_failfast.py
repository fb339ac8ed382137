"""A collection that stops by itself when the mediator is gone or refuses the credentials, and
what it leaves: the cause, whole meter-days, and the rest for --resume."""

from __future__ import annotations

import dataclasses
import datetime as dt
import json

import pytest

from collect_support import DAY, UTC
from norvo_halvex.collect import CollectOptions, collect
from norvo_halvex.collect.failfast import FailFast
from norvo_halvex.collect.task import Attempt, MeterDayResult
from norvo_halvex.failures import ExitCode, Failure
from support.processes import running, tool_env

UNREACHABLE = Failure(ExitCode.MEDIATOR, "UNAVAILABLE", "mediator unreachable", "connection refused")
LATE = Failure(ExitCode.MEDIATOR, "DEADLINE_EXCEEDED", "mediator timed out", "")
REFUSED = Failure(ExitCode.SECURITY, "UNAUTHENTICATED", "not authenticated", "", problem="unauthenticated")
# Refused for a read-only object, no credential involved: the meter's or the request's matter.
READ_ONLY = Failure(ExitCode.MEDIATOR, "PERMISSION_DENIED", "permission denied", "")
UNKNOWN = Failure(ExitCode.METER, "NOT_FOUND", "not found", "")


def result(*parts):
    """A meter-day whose parts ended as given: a Failure (failed) or "ok"."""
    now = dt.datetime.now(UTC)
    attempts = [Attempt(what, 1, "ok", None, None, 1, now, 1) if p == "ok"
                else Attempt(what, 1, "failed", p.ledger_code, p.message, 0, now, 1, p)
                for what, p in zip(("intervals", "registers"), parts)]
    return MeterDayResult("HX1", DAY, attempts=attempts)


U, L, R = (UNREACHABLE,), (LATE, UNREACHABLE), (REFUSED, REFUSED)


@pytest.mark.parametrize(
    "limits, results, stops_at, code",
    [
        ((5, 3), [U] * 6, 5, "UNAVAILABLE"),
        ((5, 3), [L] * 5, 5, "UNAVAILABLE"),  # a mediator that no longer answers in time
        ((5, 3), [U] * 4 + [("ok",)] + [U] * 4, None, None),  # a blip, not an outage
        ((5, 3), [U] * 4 + [(UNREACHABLE, "ok")] + [U] * 4, None, None),  # partly answered: still there
        ((5, 3), [R] * 3, 3, "UNAUTHENTICATED"),
        ((5, 3), [U, U, R, R, U, U], None, None),  # kinds do not add up
        ((0, 0), [U] * 20 + [R] * 20, None, None),
        ((1, 1), [(READ_ONLY,)] * 5 + [(UNKNOWN,)] * 5, None, None),
    ],
)
def test_fail_fast_stops_on_a_run_of_one_kind_only(limits, results, stops_at, code):
    watch = FailFast(*limits)
    seen = [watch.see(result(*parts)) for parts in results]
    first = next((i + 1 for i, cause in enumerate(seen) if cause is not None), None)
    assert first == stops_at
    assert (watch.cause.code if watch.cause else None) == code


@pytest.mark.parametrize("stop_after", [5, 0])
def test_a_mediator_gone_mid_run_stops_it_and_resume_carries_on(simulator, fleet, db, read_db, stop_after):
    """Stopped after the first stored meter-days: with fail fast, the run ends with the cause
    after at most its limit plus what was in flight; without, every meter-day is tried."""
    from norvo_halvex.mediator.simulator import start_simulator

    serials = sorted(fleet.meters)
    options = CollectOptions(day=DAY, days=3, retries=1, backoff=0.001, workers=2, group_seconds=0,
                             stop_after_unreachable=stop_after)
    seen_at_outage, outcomes = [], []

    def on_result(res, summary):
        outcomes.append(res.outcome)
        if summary.done == 4 and not seen_at_outage:
            seen_at_outage.append(summary.done)
            simulator.stop()

    summary = collect(serials, options, mediator=simulator.address, store=db, on_result=on_result)
    planned = len(serials) * 3
    after_outage = summary.done - seen_at_outage[0]
    if stop_after:
        assert summary.stopped.exit_code is ExitCode.MEDIATOR and summary.stopped.code == "UNAVAILABLE"
        assert simulator.address in summary.stopped.hint
        # After the limit's run of failures, only the meter-days in flight (two per worker) and
        # the one that completed it. (Meter-days read partly before the outage, completed with
        # it, end a run: where the run begins depends on the moment of the outage.)
        ends = [i for i in range(stop_after - 1, len(outcomes))
                if outcomes[i - stop_after + 1:i + 1] == ["failed"] * stop_after]
        assert stop_after <= after_outage and len(outcomes) - ends[0] - 1 <= 2 * 2 + 1, outcomes
        assert summary.not_tried == planned - summary.done > 0
    else:
        assert summary.stopped is None and summary.done == planned

    with start_simulator(fleet) as again:
        resumed = collect(serials, dataclasses.replace(options, resume=True), mediator=again.address, store=db)
    assert resumed.stopped is None and resumed.failed == resumed.partial == 0
    assert resumed.ok + resumed.skipped == planned
    done = read_db("SELECT count(*) FROM (SELECT serial, day, what, max_by(outcome, started_at) AS last "
                   "FROM attempts GROUP BY ALL) WHERE last = 'ok'")[0][0]
    assert done == len(serials) * 3 + len(serials)  # intervals every day, registers once


def test_the_tool_stops_on_an_outage_with_one_cause_line_then_resumes(tmp_path, db):
    """The operator's view: a simulator process killed during `halvex collect`."""
    from support.processes import run_tool

    fleet_file = tmp_path / "fleet.json"
    fleet_file.write_text(json.dumps({"generate": {"count": 30, "kinds": ["three_phase_ax"],
                                                   "fault": {"latency": 0.02}}}))
    serials = [f"HXG{n:06d}" for n in range(30)]
    report = tmp_path / "run.json"

    def simulator():
        return running("norvo_halvex.mediator.simulator", "--port", "0", "--fleet", str(fleet_file),
                       env=tool_env())

    with simulator() as sim:
        address = sim.stdout.readline().split(" listening on ")[1].split()[0]
        with running("norvo_halvex.cli", "--mediator", address, "collect", *serials, "--day", str(DAY),
                     "--days", "3", "--db", db, "--workers", "2", "--report", str(report), env=tool_env()) as tool:
            tool.stderr.readline()  # the first progress line: meter-days are being stored
            sim.terminate()
            out, err = tool.communicate(timeout=120)
    assert tool.returncode == 4, err
    causes = [line for line in err.splitlines() if line.startswith("halvex: collect stopped after")]
    assert len(causes) == 1 and "mediator unreachable (UNAVAILABLE)" in causes[0]
    assert causes[0].endswith("then run again with --resume to carry on")
    first = json.loads(report.read_text())
    assert first["exit_code"] == 4 and first["stopped"]["code"] == "UNAVAILABLE"
    assert first["meter_days"]["not_tried"] > 0

    with simulator() as sim:
        address = sim.stdout.readline().split(" listening on ")[1].split()[0]
        again = run_tool("--mediator", address, "collect", *serials, "--day", DAY, "--days", "3", "--db", db,
                         "--resume", "--json")
    assert again.code == 0, again.err
    counts = again.json()["result"]["meter_days"]
    assert counts["ok"] + counts["skipped"] == 90 and counts["not_tried"] == 0
