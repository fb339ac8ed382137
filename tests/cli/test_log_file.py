"""--log-file: the library's entries and the tool's own lines in one file, in one format, and
a file that follows logrotate."""

from __future__ import annotations

import json
import logging
import os
import re
import signal

import pytest

TEXT_LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+00:00 \[(\w+) *\] .+ \[([\w.]+)\]")


def parsed(fmt: str, line: str) -> tuple[str, str]:
    """(level, logger) of one line of the log file, or the test fails."""
    if fmt == "json":
        entry = json.loads(line)
        assert list(entry)[:4] == ["timestamp", "level", "logger", "event"]
        return entry["level"], entry["logger"]
    found = TEXT_LINE.match(line)
    assert found, line
    return found.group(1), found.group(2)


@pytest.mark.parametrize("fmt", ["text", "json"])
def test_the_log_file_gets_the_library_entries_and_the_tools_lines_in_one_format(cli, tmp_path, fmt):
    log = tmp_path / "halvex.log"
    ok = cli("--simulate", "--log-level", "INFO", "--log-format", fmt, "--log-file", str(log), "read", "HX1000001")
    failed = cli("--simulate", "--log-format", fmt, "--log-file", str(log), "read", "NOPE")
    assert (ok.code, failed.code) == (0, 3)
    assert ok.err == "" and failed.err.startswith("halvex: meter NOPE: read failed: not found")
    entries = [parsed(fmt, line) for line in log.read_text().splitlines()]
    loggers = {logger for _, logger in entries}
    assert "halvex" in loggers and any(name.startswith("norvo_halvex") for name in loggers)
    assert ("error", "halvex") in entries  # the failure line, appended by the second run


def test_the_log_file_is_opened_again_after_logrotate_moved_it_and_on_sighup(tmp_path):
    from norvo_halvex.cli.logs import LogOutput

    path = tmp_path / "halvex.log"
    before = signal.getsignal(signal.SIGHUP)
    out = LogOutput("INFO", None, "text", str(path))
    log = logging.getLogger("norvo_halvex.test")
    try:
        log.warning("first")
        os.rename(path, tmp_path / "halvex.log.1")  # logrotate's move
        log.warning("second")
        opened = out.handler.stream
        os.kill(os.getpid(), signal.SIGHUP)  # the process stays, the file is opened again
        log.warning("third")
        assert out.handler.stream is not opened
    finally:
        out.close()
    assert signal.getsignal(signal.SIGHUP) is before
    found = {p.name: [line.split("] ")[1].split(" [")[0].strip() for line in p.read_text().splitlines()]
             for p in tmp_path.iterdir()}
    assert found == {"halvex.log.1": ["first"], "halvex.log": ["second", "third"]}
