"""Helpers for the CLI tests.

- ``fake_api``: an in-process stand-in for ``HalvexMediatorAPI`` installed as the tool's
  client factory, so the tool's own logic (parsing, output, error mapping, the fleet runner)
  is tested without a mediator.
- ``cli``: runs ``main()`` in this process, without this process's HALVEX_* settings, and
  captures exit code, stdout and stderr.
- ``halvex``: runs the tool as a subprocess (``python -m norvo_halvex.cli``).
- ``requests_seen``: how many requests reached the simulator's meters so far.
"""

from __future__ import annotations

import os

import pytest

from cli_fakes import FakeAPI
from support.processes import Run, run_tool


@pytest.fixture
def fake_api(monkeypatch):
    from norvo_halvex.cli import context as app

    api = FakeAPI()

    def make(address, level):
        api.address, api.level = address, level
        return api

    monkeypatch.setattr(app, "make_api", make)
    monkeypatch.delenv("HALVEX_MEDIATOR", raising=False)
    return api


@pytest.fixture
def cli(capsys, monkeypatch):
    from norvo_halvex.cli import main

    for variable in [v for v in os.environ if v.startswith("HALVEX_")]:
        monkeypatch.delenv(variable)  # a test sets what it needs

    return lambda *argv: Run(main(list(argv)), *capsys.readouterr())


@pytest.fixture
def halvex():
    return run_tool


@pytest.fixture
def requests_seen(simulator):
    """How many requests reached the simulator's meters (a latency fault counts each call)."""
    from norvo_halvex.mediator.simulator import Fault

    fleet = simulator.fleet
    for serial in fleet.meters:
        fleet.set_fault(serial, Fault(latency=0.001))
    return lambda: sum(fleet.fault_calls(serial) for serial in fleet.meters)
