"""The fleet report: its figures from a store, its page, and the page in a real browser."""

from __future__ import annotations

import datetime as dt
import json
import os
import re

import pytest

from collect_support import BACKENDS, DAY, NOW, UTC
from norvo_halvex.collect import CollectOptions, Store, collect, open_store
from norvo_halvex.collect.report_data import read
from norvo_halvex.collect.report_page import javascript, load_chart, report, script_json
from norvo_halvex.collect.task import Attempt, MeterDayResult
from support.browser import Browser, chromium

DAYS = [DAY - dt.timedelta(days=n) for n in (3, 2, 1, 0)]
HOSTILE_SERIAL = "<script>alert(1)</script>"
HOSTILE_DETAIL = "</script><img src=x onerror=alert(2)>\x1b[31m"
CELLS = 'document.querySelectorAll("#heatmap g.mark-rect.role-mark path").length'
SECTIONS = ("summary", "completeness", "failures", "load", "deviations")


def tries(*parts, day=DAY):
    """A meter-day's tries in order: (what, outcome), one second apart."""
    start = dt.datetime.combine(day, dt.time(23), tzinfo=UTC)
    return [Attempt(what, n, outcome, None if outcome == "ok" else "X", None, 0, start + dt.timedelta(seconds=n), 1)
            for n, (what, outcome) in enumerate(parts, 1)]


def intervals(day, value_at, zone="UTC"):
    """A day's intervals, each ``value_at(wall-clock start)`` kWh of active import."""
    from norvo_halvex.collect.report_data import slots

    return [(s.t, f"{value_at(s.wall):.3f}", "0.000", "0.000", "0.000", "0.000", "0.000", 0)
            for s in slots([day], zone)]


def store_of(db, results):
    with open_store(db) as store:
        store.write_many("run", results)
    return open_store(db, read_only=True)


# -- figures ----------------------------------------------------------------------------------


@BACKENDS
@pytest.mark.parametrize(
    "parts, zone, outcome",
    [
        ((("intervals", "ok"), ("registers", "ok")), "UTC", "complete"),
        ((("intervals", "failed"), ("registers", "failed")), "UTC", "failed"),
        ((("intervals", "ok"), ("registers", "failed")), "UTC", "partial"),
        ((("intervals", "partial"),), "UTC", "partial"),
        ((("intervals", "failed"), ("intervals", "ok")), "UTC", "complete"),  # the last try counts
        ((("intervals", "ok"), ("intervals", "failed")), "UTC", "failed"),
        ((("intervals", "ok"),), "Europe/Oslo", "missing"),  # tried, but for the day in another zone
        ((), "UTC", "missing"),
    ],
)
def test_a_meter_days_outcome_is_its_parts_last_tries(db, parts, zone, outcome):
    known = MeterDayResult("M1", DAY - dt.timedelta(days=1), attempts=tries(("registers", "ok")))
    day = MeterDayResult("M1", DAY, zone=zone, attempts=tries(*parts))
    with store_of(db, [known, day]) as store:
        data = read(store, [DAY])
    assert data.outcomes == {("M1", DAY): outcome}
    assert data.counts() == {**dict.fromkeys(("complete", "partial", "failed", "missing"), 0), outcome: 1}


@BACKENDS
def test_worst_meters_come_first(db):
    days = DAYS[-3:]
    plan = {  # serial: outcome per day
        "A": ("ok", "ok", "ok"),
        "B": ("ok", "failed", "ok"),
        "C": ("partial", "ok", "ok"),
        "D": ("partial", "partial", "ok"),
        "E": ("failed", None, "ok"),
    }
    results = [MeterDayResult(s, d, attempts=tries(("intervals", o), day=d))
               for s, outcomes in plan.items() for d, o in zip(days, outcomes) if o]
    with store_of(db, results) as store:
        data = read(store, days)
    assert data.meters == ["E", "D", "B", "C", "A"]
    assert data.outcomes["E", days[1]] == "missing"
    assert [data.counts(d)["complete"] for d in days] == [2, 2, 5]


@BACKENDS
def test_the_fleet_load_is_the_sum_per_half_hour(db):
    def day_of(serial, kwh):
        rows = intervals(DAY, lambda wall: kwh)[:2]
        return MeterDayResult(serial, DAY, hardware="P1.ax", interval_seconds=1800, intervals=rows,
                              attempts=tries(("intervals", "ok")))

    with store_of(db, [day_of("A", 1.25), day_of("B", 0.5)]) as store:
        data = read(store, [DAY])
    assert [(slot.wall.hour, slot.wall.minute, sums[0], n) for slot, sums, n in data.load] == [
        (0, 0, 1.75, 2), (0, 30, 1.75, 2)]
    chart = load_chart(data).to_dict()
    first = chart["datasets"][chart["data"]["name"]].splitlines()[1].split(",")
    assert (first[2], first[-2]) == ("3.5", "2")  # 1.75 kWh in half an hour: 3.5 kW, from 2 meters


def _profile(wall):
    return 1 + wall.hour  # a meter that follows the wall clock


@BACKENDS
@pytest.mark.parametrize(
    "zone, days, odd, expected",
    [
        # One day of four doubles the usual: a whole usual day's energy off.
        ("UTC", DAYS, {DAYS[2]: lambda wall: 2 * _profile(wall)}, (DAYS[2], 1.0, 4)),
        # The clocks go back on 26 October: the day of 50 half-hours still lines up by the clock.
        ("Europe/Oslo", [dt.date(2025, 10, d) for d in (24, 25, 26, 27)], {}, (dt.date(2025, 10, 24), 0.0, 4)),
        ("Europe/Oslo", [dt.date(2025, 3, d) for d in (28, 29, 30, 31)], {}, (dt.date(2025, 3, 28), 0.0, 4)),
        # A day holding less than half its half-hours is not compared.
        ("UTC", DAYS, {DAYS[1]: "sparse"}, (DAYS[0], 0.0, 3)),
        # Too few days for a usual day.
        ("UTC", DAYS[:2], {}, None),
    ],
    ids=["doubled", "clocks-back", "clocks-forward", "sparse-day", "two-days"],
)
def test_a_meter_is_ranked_by_its_most_unusual_day(db, zone, days, odd, expected):
    results = []
    for d in days:
        rows = intervals(d, odd[d] if callable(odd.get(d)) else _profile, zone)
        if odd.get(d) == "sparse":
            rows = [(t, "99.000", *rest) for t, _, *rest in rows[:10]]
        results.append(MeterDayResult("M1", d, zone, hardware="P1.ax", interval_seconds=1800, intervals=rows,
                                      attempts=tries(("intervals", "ok"), day=d)))
    with store_of(db, results) as store:
        data = read(store, days, zone)
    if expected is None:
        assert data.deviations == [] and data.too_few_days == 1
    else:
        (top,) = data.deviations
        assert (top["day"], round(top["deviation"], 9), top["days"]) == expected


@pytest.mark.parametrize(
    "text",
    [HOSTILE_SERIAL, "</SCRIPT >", "<!-- x", "a & b", "line\u2028break\u2029", HOSTILE_DETAIL, "\"quoted\\\""],
)
def test_json_in_the_page_cannot_end_its_script_element(text):
    embedded = script_json({"serial": text})
    assert not re.search("[<>&\u2028\u2029]", embedded)
    assert json.loads(embedded) == {"serial": text}


# -- the page in a browser -----------------------------------------------------------------


@pytest.fixture(scope="module")
def browser():
    binary = chromium()
    if binary is None:
        if os.environ.get("CI"):
            pytest.fail("chromium is missing: .ci/run installs it (apt-get install chromium)")
        pytest.skip("needs Debian's chromium (apt-get install chromium)")
    b = Browser(binary)
    yield b
    b.close()


@pytest.fixture(scope="module")
def collected(tmp_path_factory):
    """Four days of the default fleet, collected from the simulator: one meter whose interval
    downloads fail with a hostile detail, one that fails whole, one collected for the last day
    only; and a meter-day with a hostile serial. Returns the store's path."""
    from norvo_halvex.mediator.simulator import Fault, Fleet, start_simulator

    db = str(tmp_path_factory.mktemp("report") / "halvex.duckdb")
    fleet = Fleet.default()
    fleet.freeze_time(NOW)
    fleet.set_fault("HX3000002", Fault(kind="connection_failure", operations=["message"], details=HOSTILE_DETAIL))
    fleet.set_fault("HX1000004", Fault(kind="connection_failure"))
    sim = start_simulator(fleet, host="127.0.0.1", port=0)
    try:
        everyone = sorted(set(fleet.meters) - {"HX1000001"})
        for serials, days in ((everyone, len(DAYS)), (["HX1000001"], 1)):
            collect(serials, CollectOptions(day=DAY, days=days, retries=0, backoff=0.001, workers=4),
                    mediator=sim.address, store=db)
    finally:
        sim.stop()
    with Store(db) as store:
        store.write(
            "hostile", MeterDayResult(HOSTILE_SERIAL, DAY, attempts=[
                Attempt("intervals", 1, "failed", "HALVEX_CONNECTION_FAILURE", HOSTILE_DETAIL, 0,
                        dt.datetime.now(UTC), 1)]))
    return db


def test_the_report_opens_offline_with_every_section_and_a_cell_per_meter_day(browser, collected, tmp_path):
    out = str(tmp_path / "report.html")
    with Store(collected, read_only=True) as store:
        summary = report(store, DAYS, out)
    # HX1000004 fails every day; HX3000002's intervals fail (its registers, read for the newest
    # day only, do not); HX1000001 and the hostile serial are known but each tried on one day.
    assert summary.meters == 9
    assert summary.counts == {"complete": 21, "partial": 1, "failed": 4 + 3 + 1, "missing": 3 + 3}

    visit, seen = browser.visit(out, ready="document.documentElement.dataset.rendered",
                                screenshot=str(tmp_path / "report.png"), inspect={
        "rendered": "document.documentElement.dataset.rendered",
        "cells": CELLS,
        "sections": "Array.from(document.querySelectorAll('section'), s => s.id)",
        "cards": "Array.from(document.querySelectorAll('.card b'), b => b.innerText)",
        "rows": "['per-day', 'codes', 'deviations'].map(t => document.querySelectorAll(`table.${t} tr`).length)",
        "charts": "Array.from(document.querySelectorAll('.vega-embed svg'), svg => svg.parentNode.id)",
    })
    assert (visit.requests, visit.errors, visit.dialogs) == ([], [], [])
    assert seen == {"rendered": "true", "cells": 9 * len(DAYS), "sections": list(SECTIONS),
                    "cards": ["21", "1", "8", "6", "58.3%"],
                    "rows": [1 + len(DAYS), 1 + 1, 1 + 3],  # one code; three-phase meters with intervals
                    "charts": ["heatmap", "problems", "loadcurve"]}
    with open(tmp_path / "report.png", "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"


def test_hostile_text_shows_as_text_and_runs_nothing(browser, collected, tmp_path):
    out = str(tmp_path / "report.html")
    with Store(collected, read_only=True) as store:
        report(store, DAYS, out)
    with open(out, encoding="utf-8") as f:
        ours = f.read().replace(javascript(), "")  # all but the charting library
    assert "<script>alert" not in ours and "<img" not in ours

    visit, seen = browser.visit(out, ready="document.documentElement.dataset.rendered", inspect={
        "text": "document.body.innerText",
        "images": "document.images.length",
        "scripts": "document.scripts.length",
        "labels": "Array.from(document.querySelectorAll('#heatmap [aria-label]'), e => e.getAttribute('aria-label'))"
                  ".join('\\n')",
    })
    assert (visit.requests, visit.errors, visit.dialogs) == ([], [], [])
    assert HOSTILE_SERIAL in seen["text"]  # in the heatmap's axis and the failures table, as text
    assert "</script><img src=x onerror=alert(2)>\\x1b[31m" in seen["text"]
    assert f"serial: {HOSTILE_SERIAL}" in seen["labels"]
    assert (seen["images"], seen["scripts"]) == (0, 3 + 2)  # three charts, the library, the start


@pytest.mark.parametrize(
    "planted, caught",
    [
        ('<img src="http://example.invalid/pixel.png">', "requests"),
        ('<script>fetch("https://cdn.example.org/vega.js")</script>', "requests"),
        ('<script>console.error("planted")</script>', "errors"),
        ('<script>throw new Error("planted")</script>', "errors"),
        ('<script>alert("planted")</script>', "dialogs"),
    ],
)
def test_the_browser_checks_catch_what_they_look_for(browser, tmp_path, planted, caught):
    # The report's own page with a fault planted: its checks must not be ones that cannot fail.
    with Store(str(tmp_path / "empty.duckdb")) as store:
        report(store, [DAY], str(tmp_path / "clean.html"))
    clean = (tmp_path / "clean.html").read_text()
    (tmp_path / "planted.html").write_text(clean.replace("<body>", "<body>" + planted, 1))
    (tmp_path / "bare.html").write_text(f"<!DOCTYPE html><html><body>{planted}</body></html>")

    bare, _ = browser.visit(str(tmp_path / "bare.html"))
    assert getattr(bare, caught)
    # In the report, the page's own policy refuses a load before it starts: logged as an error.
    inside, _ = browser.visit(str(tmp_path / "planted.html"))
    assert inside.requests or inside.errors or inside.dialogs


# -- size ---------------------------------------------------------------------------------------


@pytest.mark.slow
def test_a_thousand_meters_over_a_month_fit_in_two_megabytes(browser, tmp_path):
    """1,000 meters x 31 days: attempts with every outcome and every meter's intervals,
    written with SQL into a store's own tables (the writer's speed is not what is tested)."""
    db, out = str(tmp_path / "big.duckdb"), str(tmp_path / "big.html")
    first = DAY - dt.timedelta(days=30)
    with Store(db) as store:
        store.con.execute(
            """INSERT INTO attempts SELECT 'r', 'HX' || (3000000 + m)::VARCHAR, $first + d::INTEGER, 'UTC', w, 1,
                   CASE WHEN hash(m, d, w) % 29 = 0 THEN 'failed' WHEN hash(m, d, w) % 31 = 0 THEN 'partial'
                        ELSE 'ok' END,
                   CASE WHEN hash(m, d, w) % 29 = 0 THEN 'HALVEX_CONNECTION_FAILURE' END,
                   NULL, 48, now(), 5
               FROM range(1000) a(m), range(31) b(d), (VALUES ('intervals'), ('registers')) c(w)
               WHERE hash(m, d) % 97 <> 0""", {"first": first})
        store.con.execute(
            """INSERT INTO intervals SELECT 'HX' || (3000000 + m)::VARCHAR, to_timestamp(epoch($first::TIMESTAMP) + s * 1800),
                   (0.2 + (hash(m, s) % 1000) / 1000.0)::DECIMAL(18,4), 0, 0.05, 0, 0.3, 0, 3, 0, '', now()
               FROM range(1000) a(m), range(31 * 48) b(s)""", {"first": first})
    with Store(db, read_only=True) as store:
        summary = report(store, [first + dt.timedelta(days=n) for n in range(31)], out)
    assert summary.meters == 1000 and sum(summary.counts.values()) == 31_000
    assert 0 < summary.counts["missing"] and 0 < summary.counts["failed"]
    assert os.path.getsize(out) == summary.bytes <= 2_000_000

    visit, seen = browser.visit(out, ready="document.documentElement.dataset.rendered",
                                inspect={"cells": CELLS, "rendered": "document.documentElement.dataset.rendered"})
    assert (visit.requests, visit.errors, seen) == ([], [], {"cells": 31_000, "rendered": "true"})
