"""Commands that change a meter, against the simulator: confirmed, refused or shown."""

from __future__ import annotations

import io
import sys

import pytest

from cli_fakes import Terminal

SERIAL = "HX1000002"

# (argv after the serial, object name, object number, payload hex)
WRITES = [
    (["load-switch-set", SERIAL, "disconnected"], "load_switch", 0x0032, "00"),
    (["backlight-set", SERIAL, "auto"], "backlight", 0x0031, "02"),
    (["dst-set", SERIAL, "off"], "daylight_savings_correction_flag", 0x0030, "00"),
    (["obis-write", SERIAL, "96.14.0", "0a ff 10"], None, 0x01600E00, "0aff10"),
    (["clock-set", SERIAL], "time", 0x0004, None),  # payload: the current time
]
IDS = [argv[0] for argv, *_ in WRITES]


def load_switch(cli, simulator) -> str:
    run = cli("--mediator", simulator.address, "--json", "load-switch", SERIAL)
    return run.json()["result"]["name"]


@pytest.mark.parametrize("argv, name, number, payload", WRITES, ids=IDS)
def test_dry_run_shows_the_request_and_sends_nothing(cli, simulator, requests_seen, argv, name, number, payload):
    run = cli("--mediator", simulator.address, "--json", *argv, "--dry-run")
    assert run.code == 0, run.err
    assert requests_seen() == 0
    (request,) = run.json()["result"]["requests"]
    assert run.json()["result"]["dry_run"] is True
    assert request["serial"] == SERIAL
    assert request["object"] == {"name": name, "value": number}
    if payload is not None:
        assert request["payload"] == payload and request["length"] == len(payload) // 2
    else:
        assert request["length"] == 7  # the clock record

    text = cli("--mediator", simulator.address, *argv, "--dry-run")
    assert text.code == 0 and requests_seen() == 0
    assert text.out.startswith(f"{SERIAL}  dry run: ") and "nothing was sent" in text.out.splitlines()[0]
    assert ["serial", SERIAL] in [line.split() for line in text.out.splitlines()]
    assert f"0x{number:04x}" in text.out
    if payload is not None:
        assert f"payload  {payload}  (" in text.out


@pytest.mark.parametrize("argv", [argv for argv, *_ in WRITES], ids=IDS)
def test_without_a_terminal_a_write_needs_yes(cli, simulator, requests_seen, monkeypatch, argv):
    monkeypatch.setattr(sys, "stdin", io.StringIO("y\n"))  # a pipe, not a person: its 'y' counts for nothing
    run = cli("--mediator", simulator.address, *argv)
    assert run.code == 2
    assert run.out == ""
    assert run.err.startswith(f"halvex: {argv[0]}: meter {SERIAL}: ")
    assert "standard input is not a terminal; add --yes" in run.err and len(run.err.splitlines()) == 1
    assert requests_seen() == 0

    run = cli("--mediator", simulator.address, *argv, "--yes")
    assert run.code == 0, run.err
    assert requests_seen() == 1


@pytest.mark.parametrize(
    "setting, answer, sent",
    [("disconnected", "y\n", True), ("disconnected", "YES\n", True), ("disconnected", "n\n", False),
     ("disconnected", "\n", False), ("disconnected", "", False), ("armed", "y\n", True)],
)
def test_on_a_terminal_a_write_is_asked_first_and_a_disconnect_warned_of(cli, simulator, monkeypatch, setting,
                                                                         answer, sent):
    monkeypatch.setattr(sys, "stdin", Terminal(answer))
    run = cli("--mediator", simulator.address, "load-switch-set", SERIAL, setting)
    warning = f"halvex: warning: this cuts the supply at meter {SERIAL} at once"
    assert (warning in run.err) is (setting == "disconnected")
    assert f"halvex: meter {SERIAL}: set the load switch to {setting} (" in run.err and ". Send? [y/N] " in run.err
    if sent:
        assert run.code == 0 and f"load switch set to  {setting} (" in run.out
    else:
        assert run.code == 2 and run.out == ""
        assert run.err.rstrip().endswith("not confirmed; nothing was sent")
    assert (load_switch(cli, simulator) == setting) is sent


def test_a_refused_write_in_json_mode_is_an_error_document(cli, simulator, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.StringIO(""))
    run = cli("--mediator", simulator.address, "--json", "clock-set", SERIAL)
    assert run.code == 2
    assert run.json()["error"]["code"] == "USAGE" and "result" not in run.json()
    assert cli("--mediator", simulator.address, "--json", "clock-set", SERIAL, "-y").json()["result"]["set_to"]
