"""How the transport client connects: TLS, client certificate, bearer token, deadlines.

``ConnectionSettings`` holds file *paths*, never their contents, so a settings object can
be printed, logged or compared without exposing a key or a token. Files are read when a
client is built (and the token file again whenever it changes).
"""

from __future__ import annotations

import dataclasses
import math
import os
from collections.abc import Mapping
from typing import Any

__all__ = [
    "DEFAULT_TIMEOUT_SECONDS",
    "ENVIRONMENT_VARIABLES",
    "MAX_READ_RETRIES",
    "ConnectionSettings",
]

#: Deadline of every call, in seconds. A meter behind a slow modem link answers
#: within a few seconds; ten leaves room for that without letting a dead mediator
#: hold a caller for long.
DEFAULT_TIMEOUT_SECONDS = 10.0

#: gRPC caps a call at five attempts: one try and four retries.
MAX_READ_RETRIES = 4

#: Settings field -> environment variable read by ``ConnectionSettings.from_env()``.
ENVIRONMENT_VARIABLES = {
    "tls": "HALVEX_TLS",
    "tls_ca": "HALVEX_TLS_CA",
    "tls_cert": "HALVEX_TLS_CERT",
    "tls_key": "HALVEX_TLS_KEY",
    "tls_server_name": "HALVEX_TLS_SERVER_NAME",
    "token_file": "HALVEX_TOKEN_FILE",
    "timeout": "HALVEX_TIMEOUT",
    "keepalive": "HALVEX_KEEPALIVE",
    "read_retries": "HALVEX_READ_RETRIES",
}

_TRUE = frozenset({"1", "true", "yes", "on"})
_FALSE = frozenset({"0", "false", "no", "off"})
# Retry behaviour is this client's promise (writes never retried), not a free option.
_RESERVED_OPTIONS = frozenset(
    {"grpc.enable_retries", "grpc.service_config", "grpc.service_config_disable_resolution"}
)
_PATH_FIELDS = ("tls_ca", "tls_cert", "tls_key", "token_file")


@dataclasses.dataclass(frozen=True)
class ConnectionSettings:
    """Everything about the connection to a mediator except its address.

    - ``tls``: use TLS. Implied by any of ``tls_ca``, ``tls_cert``/``tls_key`` and
      ``tls_server_name``; alone it means TLS verified against the system's trusted CAs.
    - ``tls_ca``: PEM file of the CA(s) that signed the mediator's certificate.
    - ``tls_cert`` + ``tls_key``: PEM client certificate and key, for mutual TLS.
    - ``tls_server_name``: the name to verify in the mediator's certificate when it
      differs from the host in the address (e.g. connecting by IP address).
    - ``token_file``: file holding a bearer token, sent as ``authorization: Bearer ...``
      with every call; re-read when the file changes. Only sent over TLS, or to this
      machine (loopback address or Unix socket).
    - ``timeout``: deadline of each call in seconds.
    - ``keepalive``: seconds between HTTP/2 pings on an idle connection (None: gRPC's
      default, no pings), so firewalls and NAT keep an idle channel open.
    - ``max_receive_message_length``: largest reply accepted, in bytes (None: gRPC's 4 MiB).
    - ``read_retries``: how often an element read that failed with UNAVAILABLE is tried
      again, with exponential backoff (0..4; 0, the default, retries nothing). Writes and
      data records are never retried.
    - ``channel_options``: further gRPC channel options, ``(name, value)`` pairs.
    - ``interceptors``: gRPC client interceptors wrapped around every call (tracing,
      metrics), outermost first.
    """

    tls: bool = False
    tls_ca: str | None = None
    tls_cert: str | None = None
    tls_key: str | None = None
    tls_server_name: str | None = None
    token_file: str | None = None
    timeout: float = DEFAULT_TIMEOUT_SECONDS
    keepalive: float | None = None
    max_receive_message_length: int | None = None
    read_retries: int = 0
    channel_options: tuple[tuple[str, Any], ...] = ()
    interceptors: tuple[Any, ...] = ()

    def __post_init__(self) -> None:
        def set_(name: str, value: Any) -> None:
            object.__setattr__(self, name, value)

        if not isinstance(self.tls, bool):
            raise TypeError(f"tls must be True or False, got {type(self.tls).__name__}")
        for name in _PATH_FIELDS:
            value = getattr(self, name)
            if value is None:
                continue
            if isinstance(value, os.PathLike):
                value = os.fspath(value)
            if not isinstance(value, str):
                raise TypeError(f"{name} must be a file path (str or path-like), got {type(value).__name__}")
            if not value:
                raise ValueError(f"{name} must not be empty; leave it None instead")
            set_(name, value)
        if (self.tls_cert is None) != (self.tls_key is None):
            given, missing = ("tls_cert", "tls_key") if self.tls_key is None else ("tls_key", "tls_cert")
            raise ValueError(f"{given} is set but {missing} is not: a client certificate needs both its files")
        name = self.tls_server_name
        if name is not None and (not isinstance(name, str) or not name or not name.isprintable() or " " in name):
            raise ValueError(f"tls_server_name must be a host name, got {name!r}")
        if self.tls_ca or self.tls_cert or self.tls_server_name:
            set_("tls", True)
        set_("timeout", _seconds("timeout", self.timeout, allow_none=False))
        set_("keepalive", _seconds("keepalive", self.keepalive, allow_none=True))
        size = self.max_receive_message_length
        if size is not None and (isinstance(size, bool) or not isinstance(size, int) or size < 1):
            raise ValueError(f"max_receive_message_length must be a whole number of bytes >= 1, got {size!r}")
        retries = self.read_retries
        if isinstance(retries, bool) or not isinstance(retries, int) or not 0 <= retries <= MAX_READ_RETRIES:
            raise ValueError(f"read_retries must be a whole number 0..{MAX_READ_RETRIES}, got {retries!r}")
        options = tuple(tuple(o) for o in self.channel_options)
        if any(len(o) != 2 or not isinstance(o[0], str) for o in options):
            raise ValueError("channel_options must be (name, value) pairs with a str name")
        reserved = sorted({name for name, _ in options} & _RESERVED_OPTIONS)
        if reserved:
            raise ValueError(
                f"channel_options must not set {', '.join(reserved)}: retries are set by read_retries "
                "(and never apply to writes)"
            )
        set_("channel_options", options)
        set_("interceptors", tuple(self.interceptors))

    @classmethod
    def from_env(cls, environ: Mapping[str, str] | None = None, **overrides: Any) -> ConnectionSettings:
        """Settings from the ``HALVEX_*`` variables (see ``ENVIRONMENT_VARIABLES``); an
        unset or empty variable leaves the default. ``overrides`` (field=value, None
        ignored) take precedence over the environment. A malformed value raises
        ValueError naming the variable."""
        env = os.environ if environ is None else environ
        values: dict[str, Any] = {}
        for field, var in ENVIRONMENT_VARIABLES.items():
            text = env.get(var, "").strip()
            if not text:
                continue
            try:
                values[field] = _from_text(field, text)
            except ValueError as e:
                raise ValueError(f"environment variable {var}={text!r}: {e}") from None
        overrides = {k: v for k, v in overrides.items() if v is not None}
        from_environment = [ENVIRONMENT_VARIABLES[f] for f in values if f not in overrides]
        values.update(overrides)
        try:
            return cls(**values)
        except ValueError as e:
            if not from_environment:
                raise
            raise ValueError(f"{e} (settings from {', '.join(from_environment)})") from None

    @property
    def mutual_tls(self) -> bool:
        return self.tls_cert is not None

    def describe(self) -> str:
        """Short words for log lines and messages; names files, never their contents."""
        if self.mutual_tls:
            parts = ["mutual TLS"]
        elif self.tls:
            parts = ["TLS"]
        else:
            parts = ["no TLS"]
        if self.token_file:
            parts.append(f"bearer token from {self.token_file}")
        parts.append(f"deadline {self.timeout:g}s")
        if self.read_retries:
            parts.append(f"{self.read_retries} read retries")
        return ", ".join(parts)


def _from_text(field: str, text: str) -> Any:
    if field == "tls":
        word = text.lower()
        if word in _TRUE:
            return True
        if word in _FALSE:
            return False
        raise ValueError("expected 1/0, true/false, yes/no or on/off")
    if field in ("timeout", "keepalive"):
        try:
            return float(text)
        except ValueError:
            raise ValueError("expected a number of seconds, e.g. 2.5") from None
    if field == "read_retries":
        try:
            return int(text)
        except ValueError:
            raise ValueError(f"expected a whole number 0..{MAX_READ_RETRIES}") from None
    return text


def _seconds(name: str, value: Any, *, allow_none: bool) -> float | None:
    if value is None and allow_none:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, got {type(value).__name__}")
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"{name} must be a positive number of seconds, got {value!r}")
    return float(value)
