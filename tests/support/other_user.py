"""A second, unprivileged user (``nobody``) for the tests of what one user can do to another:
links planted in a shared sticky folder, a port or socket held by someone else."""

from __future__ import annotations

import contextlib
import os
import pwd
import shutil
import subprocess
import tempfile
import warnings
from collections.abc import Callable, Iterator

import pytest

NOBODY = pwd.getpwnam("nobody")

#: Acting as another user (or making a file theirs) takes root; CI runs the suite as root.
needs_root = pytest.mark.skipif(
    os.geteuid() != 0 or shutil.which("setpriv") is None,
    reason="acting as a second user (nobody, through setpriv) needs root",
)


def as_nobody(*argv: str, **kw) -> subprocess.CompletedProcess:
    """``argv`` run as ``nobody`` with no supplementary groups."""
    return subprocess.run(["setpriv", f"--reuid={NOBODY.pw_uid}", f"--regid={NOBODY.pw_gid}", "--clear-groups",
                           *argv], capture_output=True, text=True, timeout=120, **kw)


@contextlib.contextmanager
def shared_folder() -> Iterator[str]:
    """A sticky folder anyone may write to, like /tmp, that ``nobody`` can reach."""
    folder = tempfile.mkdtemp(prefix="halvex-shared-", dir="/tmp")
    os.chmod(folder, 0o1777)
    try:
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def plant_link(target: str, link: str) -> None:
    """``nobody`` makes ``link`` point at ``target``."""
    done = as_nobody("ln", "-s", str(target), str(link))
    assert done.returncode == 0, done.stderr


def in_a_child_as_nobody(work: Callable[[], int]) -> int:
    """``work()`` in a forked child that has become ``nobody``; its result as the exit code
    (an OSError: its errno). A fork, not a new interpreter: this one may live where
    ``nobody`` cannot read it."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads running: the child only does syscalls
        pid = os.fork()
    if pid == 0:
        code = 255
        try:
            os.setgroups([])
            os.setgid(NOBODY.pw_gid)
            os.setuid(NOBODY.pw_uid)
            code = work()
        except OSError as e:
            code = e.errno or 255
        finally:
            os._exit(code)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
