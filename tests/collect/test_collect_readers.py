"""A DuckDB store has readers during a collection: the collector holds the file only while it
writes, and gaps, export and collect wait (--wait) for a file another process holds."""

from __future__ import annotations

import contextlib
import json
import os
import subprocess
import sys

import pytest

from collect_support import DAY
from norvo_halvex.collect import Store
from support.processes import Run, interrupt, running_tool

HOLD = "import duckdb, sys, time; c = duckdb.connect(sys.argv[1], read_only=sys.argv[2] == 'read'); " \
       "print('held', flush=True); time.sleep(float(sys.argv[3]))"


@pytest.fixture
def halvex(capsys, monkeypatch):
    from norvo_halvex.cli import main

    for variable in [v for v in os.environ if v.startswith("HALVEX_")]:
        monkeypatch.delenv(variable)
    return lambda *argv: Run(main([str(a) for a in argv]), *capsys.readouterr())


def test_gaps_and_export_answer_during_a_collection(halvex, tmp_path, db):
    fleet = tmp_path / "slow.json"
    fleet.write_text(json.dumps({"generate": {"count": 40, "kinds": ["three_phase_ax"], "fault": {"latency": 0.02}}}))
    with running_tool("--simulate", "--fleet", fleet, "collect", "--day", DAY, "--db", db, "--workers", "2") as proc:
        assert proc.stderr.readline().startswith("halvex: collect: ")  # the first progress line: some are stored
        found = halvex("gaps", "--db", db, "--day", DAY, "--wait", 30, "--json")
        exported = halvex("export", "--db", db, "--day", DAY, "--format", "csv", "--out", "-", "--wait", 30)
        still_running = proc.poll() is None
        run = interrupt(proc) if still_running else Run(proc.wait(), *proc.communicate())

    assert found.code in (0, 6), found.err
    assert found.json()["result"]["counts"]["meters_with_gaps"] < 40  # it saw the meter-days stored by then
    lines = exported.out.splitlines()
    assert exported.code == 0 and lines[0].startswith("serial,interval_start,")
    assert (len(lines) - 1) % 48 == 0 and len(lines) > 1  # whole meter-days only
    assert run.code in (0, 130), run.err


@pytest.mark.parametrize(
    "holder, seconds, argv, code",
    [
        # A reader lets go within the collection's --wait: it waits, then writes.
        ("read", 2, ("--simulate", "collect", "HX3000001", "--wait", 60), 0),
        ("read", 600, ("--simulate", "collect", "HX3000001", "--wait", 0.3), 7),
        ("write", 2, ("gaps", "--wait", 60), 0),
        ("write", 600, ("gaps", "--wait", 0.3), 7),
        ("write", 600, ("export", "--format", "csv", "--out", "-", "--wait", 0.3), 7),
    ],
)
def test_a_store_another_process_holds_is_waited_for_up_to_wait_seconds(halvex, db, holder, seconds, argv, code):
    Store(db).close()
    with _holding(db, holder, seconds) as proc:
        run = halvex(*argv, "--db", db, "--day", DAY)
    assert run.code == code, run.err
    if code:
        assert f"the store {db} is in use by another process (PID {proc.pid}) and stayed so for 0.3 s" in run.err


@contextlib.contextmanager
def _holding(db, how, seconds):
    """A process holding ``db`` open (``read``: read-only, as a reader; ``write``: as a writer)
    for ``seconds``, from when it says so."""
    proc = subprocess.Popen([sys.executable, "-c", HOLD, db, how, str(seconds)], stdout=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, text=True)
    try:
        assert proc.stdout.readline().strip() == "held"
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.communicate()
