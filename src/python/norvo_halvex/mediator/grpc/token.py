"""Bearer tokens kept in a file: read on change, never shown.

The same reader serves the client (which sends the token) and the simulator (which
checks it), so a rotated token file takes effect on both sides without a restart.
Nothing here puts a token into a message, a ``repr`` or a log entry.
"""

from __future__ import annotations

import hmac
import os
import threading
from collections.abc import Callable
from time import monotonic

import grpc

__all__ = ["BearerTokenAuth", "TokenFile", "TokenFileError"]

# Visible ASCII only: a token is sent as an HTTP/2 header value.
_MAX_TOKEN = 16 * 1024

#: Seconds between two looks at the token file: a call in between uses the token read last.
RECHECK_SECONDS = 1.0


class TokenFileError(ValueError):
    """The token file cannot be used (missing, unreadable, empty, not a single token).
    The message names the file and the problem, never the file's content."""


class TokenFile:
    """The token in ``path``: the file's content without surrounding whitespace.

    ``token()`` looks at the file at most once every ``recheck`` seconds (by ``clock``;
    by default ``RECHECK_SECONDS`` by ``time.monotonic``, as this module holds them then)
    and re-reads it when its modification time, size or inode changed since the last
    read, so replacing the file (atomically or in place) rotates the token for the calls
    from then on. A file that cannot be read any more fails the first look after that.
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
        self._stamp: tuple[int, int, int] | None = None
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
        stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
        with self._lock:
            if stamp != self._stamp:
                self._token = self._read()
                self._stamp = stamp
            self._looked = now
            return self._token

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
        try:
            with open(self.path, "rb") as f:
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
