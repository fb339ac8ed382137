"""Helpers for the CLI tests.

- ``fake_api``: an in-process stand-in for ``HalvexMediatorAPI`` installed as the tool's
  client factory, so the tool's own logic (parsing, output, error mapping, the fleet runner)
  is tested without a mediator.
- ``cli``: runs ``main()`` in this process and captures exit code, stdout and stderr.
- ``halvex``: runs the tool as a subprocess (``python -m norvo_halvex.cli``).
"""

from __future__ import annotations

import sys

import pytest

from cli_fakes import FakeAPI
from cli_run import Run, run_halvex


@pytest.fixture
def fake_api(monkeypatch):
    from norvo_halvex.cli import app

    api = FakeAPI()

    def make(address, level):
        api.address, api.level = address, level
        return api

    monkeypatch.setattr(app, "make_api", make)
    monkeypatch.delenv("HALVEX_MEDIATOR", raising=False)
    return api


@pytest.fixture
def cli(capsys):
    from norvo_halvex.cli import main

    def run(*argv) -> Run:
        code = main(list(argv))
        captured = capsys.readouterr()
        return Run(code, captured.out, captured.err)

    return run


@pytest.fixture
def halvex():
    return run_halvex
