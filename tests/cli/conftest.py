"""Helpers for the CLI tests.

- ``fake_api``: an in-process stand-in for ``HalvexMediatorAPI`` installed as the tool's
  client factory, so the tool's own logic (parsing, output, error mapping, the fleet runner)
  is tested without a mediator.
- ``cli``: runs ``main()`` in this process and captures exit code, stdout and stderr.
- ``halvex``: runs the tool as a subprocess (``python -m norvo_halvex.cli``).
"""

from __future__ import annotations

import dataclasses
import json
import os
import subprocess
import sys

import pytest

from cli_fakes import FakeAPI


@dataclasses.dataclass
class Run:
    code: int
    out: str
    err: str

    def json(self):
        return json.loads(self.out)


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


def _env():
    env = dict(os.environ)
    env.pop("HALVEX_MEDIATOR", None)
    return env


def run_halvex(*argv, timeout=60, env_extra=None, input=None) -> Run:
    env = _env()
    if env_extra:
        env.update(env_extra)
    proc = subprocess.run(
        [sys.executable, "-m", "norvo_halvex.cli", *argv],
        capture_output=True, text=True, timeout=timeout, env=env, input=input,
    )
    return Run(proc.returncode, proc.stdout, proc.stderr)


@pytest.fixture
def halvex():
    return run_halvex
