"""Child processes run the way a user runs them: `running` keeps one in the background (killed if
it is still running after the block) and `interrupt` is Ctrl-C for it."""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import pathlib
import signal
import subprocess
import sys
from typing import Iterator


@dataclasses.dataclass
class Run:
    code: int
    out: str
    err: str

    def json(self):
        return json.loads(self.out)


def package_env() -> dict[str, str]:
    """The environment with the folder of the norvo_halvex this process imported first on
    PYTHONPATH, so that a child runs the same code (an in-tree build as well as an install)."""
    import norvo_halvex

    root = str(pathlib.Path(norvo_halvex.__file__).resolve().parents[1])
    return dict(os.environ, PYTHONPATH=root + os.pathsep + os.environ.get("PYTHONPATH", ""))


@contextlib.contextmanager
def running(module: str, *argv: str, env: dict[str, str] | None = None) -> Iterator[subprocess.Popen]:
    """`python -m module argv...` with piped output and no terminal on standard input."""
    proc = subprocess.Popen([sys.executable, "-m", module, *argv], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True, env=env)
    try:
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


def interrupt(proc: subprocess.Popen, timeout: float = 60) -> Run:
    """Ctrl-C for a process from `running`; what it printed from then on."""
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=timeout)
    return Run(proc.returncode, out, err)


# What a sanitized test run sets for its own interpreter and the tools it starts.
_SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def outside_env() -> dict[str, str]:
    """The environment for programs that are not ours (PostgreSQL, Chromium): without the
    sanitizer runtime a sanitized run preloads, which those programs were not built for."""
    return {k: v for k, v in os.environ.items() if k not in _SANITIZER_VARIABLES}


TOOL = "norvo_halvex.cli"


def tool_env(**variables: str) -> dict[str, str]:
    """`package_env()` without this process's HALVEX_* settings, plus `variables`: the tool sees
    only what its test gives it."""
    env = {k: v for k, v in package_env().items() if not k.startswith("HALVEX_")}
    return {**env, **variables}


def run_tool(*argv, timeout: float = 120, **variables: str) -> Run:
    """`halvex argv...` to its end, in `tool_env(**variables)`. Standard input is never the test
    runner's terminal: meter writes must not find one."""
    proc = subprocess.run([sys.executable, "-m", TOOL, *map(str, argv)], capture_output=True, text=True,
                          timeout=timeout, env=tool_env(**variables), stdin=subprocess.DEVNULL)
    return Run(proc.returncode, proc.stdout, proc.stderr)


def running_tool(*argv) -> contextlib.AbstractContextManager[subprocess.Popen]:
    """The tool in the background (see `running`), in `tool_env()`."""
    return running(TOOL, *map(str, argv), env=tool_env())
