"""Running the halvex tool as a subprocess, the way a user does."""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import signal
import subprocess
import sys


@dataclasses.dataclass
class Run:
    code: int
    out: str
    err: str

    def json(self):
        return json.loads(self.out)


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


@contextlib.contextmanager
def running_halvex(*argv):
    """The tool as a background process with piped output; killed if still running after the block."""
    proc = subprocess.Popen([sys.executable, "-m", "norvo_halvex.cli", *argv], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True, env=_env())
    try:
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


def interrupt(proc, timeout=60) -> Run:
    """Ctrl-C for a process from ``running_halvex``; what it printed from then on."""
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=timeout)
    return Run(proc.returncode, out, err)
