"""Bearer tokens kept in a file: read on change, never shown.

The same reader serves the client (which sends the token) and the simulator (which
checks it), so a rotated token file takes effect on both sides without a restart.
Nothing here puts a token into a message, a ``repr`` or a log entry.
"""

from __future__ import annotations

import hmac
import os
import stat
import threading
from collections.abc import Callable
from time import monotonic

import grpc

__all__ = ["BearerTokenAuth", "TokenFile", "TokenFileError"]

# Visible ASCII only: a token is sent as an HTTP/2 header value.
_MAX_TOKEN = 16 * 1024
_READERS = {stat.S_IRGRP: "its group", stat.S_IROTH: "other users",
            stat.S_IRGRP | stat.S_IROTH: "its group and other users"}

#: Seconds between two looks at the token file: a call in between uses the token read last.
RECHECK_SECONDS = 1.0


class TokenFileError(ValueError):
    """The token file cannot be used (missing, unreadable, not a regular file, readable by
    other users, empty, not a single token). The message names the file and the problem,
    never the file's content."""


class TokenFile:
    """The token in ``path``: the file's content without surrounding whitespace.

    The file must be a regular file (a symlink to one is fine) that neither its group nor
    other users may read. ``token()`` looks at it at most once every ``recheck`` seconds
    (by ``clock``; by default ``RECHECK_SECONDS`` by ``time.monotonic``, as this module
    holds them then) and re-reads it when its modification time, size, inode or mode
    changed since the last read, so replacing the file (atomically or in place) rotates
    the token for the calls from the next look on, and a file made readable to others, or
    gone, is refused from then on.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        *,
        recheck: float | None = None,
        clock: Callable[[], float] | None = None,
    ) -> None:
        self.path = os.fspath(path)
        self._recheck = RECHECK_SECONDS if recheck is None else recheck
        self._clock = monotonic if clock is None else clock
        self._lock = threading.Lock()
        self._stamp: tuple[int, int, int, int] | None = None
        self._looked = 0.0
        self._token = ""
        self._look()  # refuse an unusable file at once

    def __repr__(self) -> str:
        return f"<TokenFile {self.path!r}>"

    def token(self) -> str:
        # Every call of a channel asks: a stat per call costs a system call each time.
        if self._clock() - self._looked < self._recheck:
            return self._token
        return self._look()

    def _look(self) -> str:
        now = self._clock()
        try:
            st = os.stat(self.path)
        except OSError as e:
            raise TokenFileError(f"token file {self.path} cannot be read: {e.strerror or e}") from None
        stamp = (st.st_mtime_ns, st.st_size, st.st_ino, st.st_mode)
        with self._lock:
            if stamp != self._stamp:
                self._token = self._read()
                self._stamp = stamp
            self._looked = now
            return self._token

    def _check(self, st: os.stat_result) -> None:
        if not stat.S_ISREG(st.st_mode):
            raise TokenFileError(f"token file {self.path} is not a regular file ({_kind(st.st_mode)}); "
                                 "give a file that holds the token")
        shared = st.st_mode & (stat.S_IRGRP | stat.S_IROTH)
        if shared:
            raise TokenFileError(f"token file {self.path} can be read by {_READERS[shared]} (mode "
                                 f"{stat.S_IMODE(st.st_mode):04o}); make it private: chmod 600 {self.path}")

    def matches(self, presented: str | bytes | None) -> bool:
        """Whether ``presented`` (an ``authorization`` header value) carries this token;
        compared in constant time."""
        if isinstance(presented, bytes):
            presented = presented.decode("latin-1")
        if not isinstance(presented, str):
            return False
        scheme, _, value = presented.partition(" ")
        if scheme.lower() != "bearer":
            return False
        return hmac.compare_digest(value.strip().encode(), self.token().encode())

    def _read(self) -> str:
        # Non-blocking: a FIFO put in the file's place must not hang the caller until a
        # writer comes; it is refused below once open.
        flags = os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_CLOEXEC", 0)
        try:
            fd = os.open(self.path, flags)
        except OSError as e:
            raise TokenFileError(f"token file {self.path} cannot be read: {e.strerror or e}") from None
        with open(fd, "rb") as f:
            self._check(os.fstat(fd))
            try:
                data = f.read(_MAX_TOKEN + 1)
            except OSError as e:
                raise TokenFileError(f"token file {self.path} cannot be read: {e.strerror or e}") from None
        if len(data) > _MAX_TOKEN:
            raise TokenFileError(f"token file {self.path} is larger than {_MAX_TOKEN} bytes; it must hold one token")
        try:
            text = data.decode("ascii").strip()
        except UnicodeDecodeError:
            raise TokenFileError(f"token file {self.path} holds non-ASCII bytes; it must hold one token") from None
        if not text:
            raise TokenFileError(f"token file {self.path} is empty")
        if any(not 0x21 <= ord(ch) <= 0x7E for ch in text):
            raise TokenFileError(
                f"token file {self.path} must hold one token on one line (no spaces or control characters)"
            )
        return text


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISFIFO, "a pipe"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"), (stat.S_ISDIR, "a folder")):
        if test(mode):
            return name
    return "not a file"


class BearerTokenAuth(grpc.AuthMetadataPlugin):
    """Adds ``authorization: Bearer <token>`` to every call of a channel."""

    def __init__(self, token_file: TokenFile) -> None:
        self._file = token_file

    def __repr__(self) -> str:
        return f"<BearerTokenAuth {self._file.path!r}>"

    def __call__(self, context, callback) -> None:
        try:
            token = self._file.token()
        except TokenFileError as e:
            callback((), e)
            return
        callback((("authorization", f"Bearer {token}"),), None)
