"""Writing files so that readers see the old content or the complete new one, never half.

``atomic_write(path)`` gives a file object on a temporary file in the same folder as
``path``; ``atomic_path(path)`` gives the path of a file to create in a fresh private
folder beside ``path``, for writers that take a path (a database's ``COPY ... TO``). On a
clean exit the temporary file is flushed and fsynced, renamed over ``path`` and the folder
is fsynced, so the rename survives a crash. On an exception the temporary file is removed
and ``path`` is left as it was. Temporary files are created new (``O_EXCL``, never through
a symlink), and a ``partial`` file is put in place by renaming, which replaces whatever
has that name instead of following it.

A symlink on the way to ``path`` is followed (the file it points to is replaced and the
link stays) unless it is one the kernel's protected_symlinks rule would not follow: a
link in a sticky folder anyone may write to (``/tmp``) owned by neither this user nor
the folder's owner. Such a path raises ``UnsafeSymlinkError`` (a PermissionError) before
anything is written, whether or not the kernel enforces the rule. A file that is replaced
keeps its permission bits; a new file gets the usual ones (the umask decides).

``open_append(path)`` appends (log files) under the same rule, never through a link put in
the file's place later.

``output(path)`` is for writing where a user pointed: ``-`` is standard output; an existing
FIFO, character device (``/dev/null``, a terminal) or Unix socket is opened and written in
place, never replaced by a file; a folder and a block device are refused; anything else is
written with ``atomic_write``. ``check_target(path)`` refuses up front (before any work) a
target that ``output`` could not write.
"""

from __future__ import annotations

import collections
import contextlib
import errno
import os
import secrets
import shutil
import socket
import stat
import sys
import tempfile
from collections.abc import Iterator
from typing import IO, Any

__all__ = [
    "STDOUT",
    "UnsafeSymlinkError",
    "atomic_path",
    "atomic_write",
    "check_target",
    "in_place",
    "open_append",
    "output",
    "resolve",
]

#: The path that means standard output.
STDOUT = "-"

_MODES = frozenset({"w", "wt", "wb"})


# As many symlinks as the kernel follows in one path.
_MAX_LINKS = 40
_NOFOLLOW = os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0)


class UnsafeSymlinkError(PermissionError):
    """A path leads through a symlink that another user may have planted in a shared folder."""


def _check_link(link: str, link_stat: os.stat_result, folder: str) -> None:
    """The protected_symlinks rule: in a sticky folder anyone may write to, only links of
    this user or of the folder's owner are followed."""
    held = os.stat(folder)
    if not (held.st_mode & stat.S_ISVTX and held.st_mode & stat.S_IWOTH):
        return
    if link_stat.st_uid in (os.geteuid(), held.st_uid):
        return
    raise UnsafeSymlinkError(
        errno.EACCES,
        f"is a symlink in {folder}, a folder anyone may write to, and belongs to another user "
        f"(uid {link_stat.st_uid}); it is not followed: remove it or write elsewhere",
        link,
    )


def resolve(path: str | os.PathLike[str]) -> str:
    """The absolute path ``path`` names once its symlinks are followed, like
    ``os.path.realpath``, but raising ``UnsafeSymlinkError`` at a symlink another user
    owns in a sticky, world-writable folder (see the module documentation), and ELOOP
    after too many links. Parts that do not exist are kept as they are."""
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError(f"path must be a text path, got {type(text).__name__}")
    if not text:
        raise ValueError("path must not be empty")
    parts = collections.deque(os.path.join(os.getcwd(), text).split("/"))
    resolved, links = "/", 0
    while parts:
        name = parts.popleft()
        if name in ("", "."):
            continue
        if name == "..":
            resolved = os.path.dirname(resolved)
            continue
        candidate = os.path.join(resolved, name)
        try:
            st = os.lstat(candidate)
        except OSError:  # missing, or under something that is not a folder: kept as written
            resolved = candidate
            continue
        if not stat.S_ISLNK(st.st_mode):
            resolved = candidate
            continue
        links += 1
        if links > _MAX_LINKS:
            raise OSError(errno.ELOOP, "too many levels of symbolic links", text)
        _check_link(candidate, st, resolved)
        target = os.readlink(candidate)
        if target.startswith("/"):
            resolved = "/"
        parts.extendleft(reversed(target.split("/")))
    return resolved


def open_append(path: str | os.PathLike[str], mode: int = 0o666) -> int:
    """A descriptor appending to ``path`` (created with ``mode`` if missing), a log file
    say: resolved as ``resolve`` does, its last part then never followed."""
    return os.open(resolve(path), os.O_WRONLY | os.O_APPEND | os.O_CREAT | _NOFOLLOW, mode)


def _target(path: str | os.PathLike[str]) -> tuple[str, str, str]:
    """(file to replace, its folder, its name); through a symlink, the file it points to."""
    target = resolve(path)
    directory, base = os.path.split(target)
    return target, directory, base


def _parent(path: str | os.PathLike[str]) -> tuple[str, str, str]:
    """``_target`` with the last part of ``path`` taken as it is, never followed: a name
    that is replaced whatever it is now."""
    text = os.fspath(path)
    folder, base = os.path.split(text)
    if not base:
        raise ValueError(f"{text} names a folder, not a file")
    directory = resolve(folder or ".")
    return os.path.join(directory, base), directory, base


def _temp_name(directory: str, base: str) -> str:
    return os.path.join(directory, f".{base}.{secrets.token_hex(8)}.tmp")


def _create_temp(directory: str, base: str) -> tuple[int, str]:
    # O_EXCL with mode 0o666 lets the umask decide the permissions, as for any new file;
    # O_EXCL also never follows a symlink in the temporary file's place.
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW
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


def _commit(tmp: str, target: str, directory: str, fd: int | None = None) -> None:
    """Puts ``tmp`` (open as ``fd``, if it is) in place of ``target``, with its mode."""
    with contextlib.suppress(FileNotFoundError):
        mode = stat.S_IMODE(os.lstat(target).st_mode)
        if fd is not None:
            os.fchmod(fd, mode)
        else:
            os.chmod(tmp, mode, follow_symlinks=False)
    os.replace(tmp, target)
    _fsync_directory(directory)


def _discard(tmp: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(tmp)


def _keep(tmp: str, partial: str | os.PathLike[str]) -> None:
    """Puts what was written so far under the name ``partial`` (replacing it whole, never
    following it)."""
    try:
        target, directory, base = _parent(partial)
        try:
            os.replace(tmp, target)
        except OSError as e:
            if e.errno != errno.EXDEV:  # ``partial`` may be on another file system than the temp file
                raise
            with _atomic(target, directory, base, "wb") as out, open(tmp, "rb") as src:
                shutil.copyfileobj(src, out)
            _discard(tmp)
        _fsync_directory(directory)
    except (OSError, ValueError):
        _discard(tmp)


@contextlib.contextmanager
def atomic_write(
    path: str | os.PathLike[str],
    mode: str = "w",
    *,
    encoding: str | None = "utf-8",
    newline: str | None = None,
    partial: str | os.PathLike[str] | None = None,
) -> Iterator[IO[Any]]:
    """A file object that replaces ``path`` atomically when the ``with`` block ends cleanly.

    ``mode`` is ``"w"`` / ``"wt"`` (text, with ``encoding`` and ``newline`` as for ``open``;
    pass ``newline=""`` for the csv module) or ``"wb"`` (bytes). OSError from creating,
    writing, syncing or renaming propagates; the temporary file never stays behind. With
    ``partial``, a block that ends with an exception leaves what it wrote so far under that
    name instead (``path`` is still untouched).
    """
    if mode not in _MODES:
        raise ValueError(f"atomic_write mode must be one of {sorted(_MODES)}, got {mode!r}")
    with _atomic(*_target(path), mode, encoding=encoding, newline=newline, partial=partial) as out:
        yield out


@contextlib.contextmanager
def _atomic(target: str, directory: str, base: str, mode: str, *, encoding: str | None = "utf-8",
            newline: str | None = None, partial: str | os.PathLike[str] | None = None) -> Iterator[IO[Any]]:
    binary = "b" in mode
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
            _commit(tmp, target, directory, out.fileno())
    except BaseException:
        if partial is None:
            _discard(tmp)
        else:
            _keep(tmp, partial)
        raise


@contextlib.contextmanager
def atomic_path(path: str | os.PathLike[str]) -> Iterator[str]:
    """A path for a writer that takes a path; on a clean exit the file written there is
    fsynced and renamed over ``path``.

    The path is in a new folder beside ``path`` that only this user may enter, so no one
    else can put a file or a symlink there first; it does not exist yet when handed out.
    A writer that created no file there is an error (FileNotFoundError), and ``path`` is
    left as it was. The folder is removed either way.
    """
    target, directory, base = _target(path)
    private = tempfile.mkdtemp(prefix=f".{base}.", suffix=".tmp", dir=directory)
    tmp = os.path.join(private, base)
    try:
        yield tmp
        try:
            fd = os.open(tmp, os.O_RDONLY | _NOFOLLOW)
        except FileNotFoundError as e:
            raise FileNotFoundError(
                e.errno, f"the writer created no file to put in place of {target}", tmp
            ) from None
        try:
            os.fsync(fd)
            _commit(tmp, target, directory, fd)
        finally:
            os.close(fd)
    except BaseException:
        _discard(tmp)
        raise
    finally:
        with contextlib.suppress(OSError):
            os.rmdir(private)


def _in_place(mode: int) -> bool:
    return stat.S_ISFIFO(mode) or stat.S_ISCHR(mode) or stat.S_ISSOCK(mode)


def in_place(path: str | os.PathLike[str]) -> bool:
    """True when ``output`` writes ``path`` as it is (standard output, an existing FIFO,
    character device or socket) rather than replacing it atomically."""
    text = os.fspath(path)
    if text == STDOUT:
        return True
    try:
        return _in_place(os.stat(resolve(text)).st_mode)
    except (OSError, ValueError):
        return False


def check_target(path: str | os.PathLike[str]) -> None:
    """Raises the OSError that writing ``path`` with ``output`` would meet, before anything
    is produced: a folder, a block device, a missing or unwritable folder, a pipe or device
    this process may not write, a symlink that is not safe to follow (``UnsafeSymlinkError``).
    ``-`` (standard output) always passes."""
    text = os.fspath(path)
    if text == STDOUT:
        return
    target, directory, _ = _target(text)  # through the symlinks that may be followed
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    except NotADirectoryError:
        raise NotADirectoryError(errno.ENOTDIR, "a part of the path is not a folder", text) from None
    if mode is not None:
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, "is a folder; give a file name in it", text)
        if stat.S_ISBLK(mode):
            raise OSError(errno.EINVAL, "is a block device; give a file, a pipe or '-'", text)
        if _in_place(mode):
            if not os.access(target, os.W_OK):
                raise PermissionError(errno.EACCES, "not writable", text)
            return
    if not os.path.isdir(directory):
        raise FileNotFoundError(errno.ENOENT, "no such folder", directory)
    # A regular file is replaced by a new one made in its folder.
    if not os.access(directory, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, "folder not writable", directory)


def _open_in_place(path: str) -> tuple[int | None, socket.socket | None]:
    """A descriptor for writing an existing FIFO, character device or socket as it is, or
    (None, None) when ``path`` turns out to be something to write atomically after all.
    ``path`` is resolved already: a symlink found in its place now is not followed."""
    mode = os.lstat(path).st_mode
    if stat.S_ISSOCK(mode):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(path)
        except BaseException:
            sock.close()
            raise
        return None, sock
    if not (stat.S_ISFIFO(mode) or stat.S_ISCHR(mode)):
        return None, None
    # No O_CREAT or O_TRUNC: this never makes or empties a file, whatever the path is by now.
    fd = os.open(path, os.O_WRONLY | getattr(os, "O_NOCTTY", 0) | _NOFOLLOW)
    if not _in_place(os.fstat(fd).st_mode):  # replaced by a file since the check above
        os.close(fd)
        return None, None
    return fd, None


@contextlib.contextmanager
def output(
    path: str | os.PathLike[str],
    *,
    encoding: str = "utf-8",
    newline: str | None = None,
    partial: str | os.PathLike[str] | None = None,
    stdout: IO[str] | None = None,
) -> Iterator[IO[str]]:
    """A text stream that writes to ``path`` the way a user means it (see the module
    documentation): standard output for ``-`` (``stdout``, default ``sys.stdout``; flushed,
    not closed), in place for FIFOs, character devices and sockets, atomically otherwise
    (``partial`` as for ``atomic_write``)."""
    text = os.fspath(path)
    if text == STDOUT:
        out = stdout if stdout is not None else sys.stdout
        if out is None:
            raise OSError(errno.EBADF, "there is no standard output to write to", text)
        yield out
        out.flush()
        return
    check_target(text)
    target = resolve(text)
    try:
        fd, sock = _open_in_place(target)
    except FileNotFoundError:
        fd, sock = None, None
    if sock is not None:
        with sock, sock.makefile("w", encoding=encoding, newline=newline) as out:
            yield out
        return
    if fd is not None:
        with open(fd, "w", encoding=encoding, newline=newline) as out:
            yield out
        return
    with atomic_write(target, encoding=encoding, newline=newline, partial=partial) as out:
        yield out
