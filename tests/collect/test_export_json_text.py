"""JSON lines from the store show a mediator's words as data: nothing a terminal would act on
goes out raw, and every text reads back exactly as stored."""

from __future__ import annotations

import datetime as dt
import io
import json

import pytest

from collect_support import DAY

HOSTILE = "\x1b]0;owned\x07 \u009b2J \u202eevil \x7f"
RAW = ("\x1b", "\x07", "\u009b", "\u202e", "\x7f")


@pytest.mark.parametrize("to_stdout", [False, True], ids=["file", "stdout"])
def test_jsonl_export_escapes_what_a_terminal_would_act_on(tmp_path, db, to_stdout):
    from norvo_halvex.collect import Store, export
    from norvo_halvex.collect.task import Attempt, MeterDayResult

    now = dt.datetime.now(dt.timezone.utc)
    attempt = Attempt("events", 1, "failed", "UNAVAILABLE", HOSTILE, 0, now, 3)
    result = MeterDayResult("HX" + HOSTILE, DAY, attempts=[attempt])
    stdout = io.StringIO()
    out = "-" if to_stdout else str(tmp_path / "a.jsonl")
    with Store(db) as store:
        store.write("run", result)
        assert export(store, "attempts", [DAY], "jsonl", out, stdout=stdout) == 1
    text = stdout.getvalue() if to_stdout else (tmp_path / "a.jsonl").read_text(encoding="utf-8")
    assert not any(ch in text for ch in RAW)
    (row,) = [json.loads(line) for line in text.splitlines()]
    assert (row["serial"], row["message"]) == ("HX" + HOSTILE, HOSTILE)
