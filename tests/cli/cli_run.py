"""Running the halvex tool as a subprocess, the way a user does."""

from __future__ import annotations

import os
import subprocess
import sys

from support.processes import Run, interrupt, running

__all__ = ["Run", "interrupt", "run_halvex", "running_halvex"]


def _env():
    env = dict(os.environ)
    env.pop("HALVEX_MEDIATOR", None)
    return env


def run_halvex(*argv, timeout=60, env_extra=None, input=None) -> Run:
    env = _env()
    if env_extra:
        env.update(env_extra)
    # Standard input is never the test runner's terminal: meter writes must not find one.
    stdin = subprocess.DEVNULL if input is None else None
    proc = subprocess.run(
        [sys.executable, "-m", "norvo_halvex.cli", *argv],
        capture_output=True, text=True, timeout=timeout, env=env, input=input, stdin=stdin,
    )
    return Run(proc.returncode, proc.stdout, proc.stderr)


def running_halvex(*argv):
    """The tool as a background process (see support.processes.running)."""
    return running("norvo_halvex.cli", *argv, env=_env())
