"""Writing files so that readers see the old content or the complete new one, never half.

``atomic_write(path)`` gives a file object on a temporary file in the same folder as
``path``; ``atomic_path(path)`` gives the temporary file's path, for writers that take a
path (a database's ``COPY ... TO``). On a clean exit the temporary file is flushed and
fsynced, renamed over ``path`` and the folder is fsynced, so the rename survives a crash.
On an exception the temporary file is removed and ``path`` is left as it was.

A symlink at ``path`` is followed: the file it points to is replaced and the link stays.
A file that is replaced keeps its permission bits; a new file gets the usual ones (the
umask decides).
"""

from __future__ import annotations

import contextlib
import os
import secrets
import stat
from collections.abc import Iterator
from typing import IO, Any

__all__ = ["atomic_path", "atomic_write"]

_MODES = frozenset({"w", "wt", "wb"})


def _target(path: str | os.PathLike[str]) -> tuple[str, str, str]:
    """(file to replace, its folder, its name); through a symlink, the file it points to."""
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError(f"path must be a text path, got {type(text).__name__}")
    if not text:
        raise ValueError("path must not be empty")
    target = os.path.realpath(text)
    directory, base = os.path.split(target)
    return target, directory, base


def _temp_name(directory: str, base: str) -> str:
    return os.path.join(directory, f".{base}.{secrets.token_hex(8)}.tmp")


def _create_temp(directory: str, base: str) -> tuple[int, str]:
    # O_EXCL with mode 0o666 lets the umask decide the permissions, as for any new file.
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    while True:
        tmp = _temp_name(directory, base)
        try:
            return os.open(tmp, flags, 0o666), tmp
        except FileExistsError:
            continue


def _fsync_directory(directory: str) -> None:
    # Makes the rename itself durable; not every platform can open or sync a directory.
    try:
        fd = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _commit(tmp: str, target: str, directory: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.chmod(tmp, stat.S_IMODE(os.stat(target).st_mode))
    os.replace(tmp, target)
    _fsync_directory(directory)


def _discard(tmp: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(tmp)


@contextlib.contextmanager
def atomic_write(
    path: str | os.PathLike[str],
    mode: str = "w",
    *,
    encoding: str | None = "utf-8",
    newline: str | None = None,
) -> Iterator[IO[Any]]:
    """A file object that replaces ``path`` atomically when the ``with`` block ends cleanly.

    ``mode`` is ``"w"`` / ``"wt"`` (text, with ``encoding`` and ``newline`` as for ``open``;
    pass ``newline=""`` for the csv module) or ``"wb"`` (bytes). OSError from creating,
    writing, syncing or renaming propagates; the temporary file never stays behind.
    """
    if mode not in _MODES:
        raise ValueError(f"atomic_write mode must be one of {sorted(_MODES)}, got {mode!r}")
    binary = "b" in mode
    target, directory, base = _target(path)
    fd, tmp = _create_temp(directory, base)
    try:
        try:
            out = open(fd, mode, encoding=None if binary else encoding, newline=None if binary else newline)
        except BaseException:
            os.close(fd)
            raise
        with out:
            yield out
            out.flush()
            os.fsync(out.fileno())
        _commit(tmp, target, directory)
    except BaseException:
        _discard(tmp)
        raise


@contextlib.contextmanager
def atomic_path(path: str | os.PathLike[str]) -> Iterator[str]:
    """A temporary path in ``path``'s folder for a writer that takes a path; on a clean exit
    the file written there is fsynced and renamed over ``path``.

    The temporary path does not exist yet when it is handed out. A writer that created no
    file there is an error (FileNotFoundError), and ``path`` is left as it was.
    """
    target, directory, base = _target(path)
    tmp = _temp_name(directory, base)
    try:
        yield tmp
        try:
            fd = os.open(tmp, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        except FileNotFoundError as e:
            raise FileNotFoundError(
                e.errno, f"the writer created no file to put in place of {target}", tmp
            ) from None
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        _commit(tmp, target, directory)
    except BaseException:
        _discard(tmp)
        raise
