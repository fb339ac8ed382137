"""Mediator addresses: which texts name a mediator, and the gRPC target each one becomes.

Accepted forms:

- ``host:port`` -- a DNS name or IPv4 address, e.g. ``mediator.example:50051``;
- ``[v6]:port`` -- an IPv6 address in brackets, e.g. ``[::1]:50051``;
- ``dns:///host:port`` -- the same, with gRPC's explicit DNS resolver;
- ``unix:PATH`` -- a Unix domain socket (``unix:relative/path`` or ``unix:/absolute/path``,
  also written ``unix:///absolute/path``).

The port is always given (there is no silent default such as 443) and lies in 1..65535.
URLs (``http://...``) and anything carrying credentials (``user:secret@host``) are refused:
a credential in an address ends up in shell history, process lists and log lines. The
refusal never repeats the text after an ``@``, so a mistyped secret is not echoed either.
"""

from __future__ import annotations

import dataclasses
import ipaddress
import re

__all__ = [
    "DEFAULT_MEDIATOR_ADDRESS",
    "MediatorAddress",
    "is_loopback_host",
    "parse_mediator_address",
    "split_mediator_address",
]

#: The mediator a client reaches when given no address: one on this machine.
DEFAULT_MEDIATOR_ADDRESS = "0.0.0.0:50051"

FORMS = "host:port, [v6]:port, dns:///host:port or unix:PATH"

_HOSTNAME = re.compile(r"[A-Za-z0-9_](?:[A-Za-z0-9_.-]*[A-Za-z0-9_.])?")
_SCHEME = re.compile(r"([A-Za-z][A-Za-z0-9+.-]*):")
# gRPC resolver schemes that are not offered here (they would bypass the checks below).
_OTHER_GRPC_SCHEMES = frozenset({"ipv4", "ipv6", "unix-abstract", "vsock", "xds", "google-c2p", "passthrough"})
_MAX_HOST = 253


@dataclasses.dataclass(frozen=True)
class MediatorAddress:
    """A checked address. ``target`` is what gRPC is given; ``host``/``port`` are None for
    a Unix socket, whose path is ``unix_path``."""

    target: str
    host: str | None = None
    port: int | None = None
    unix_path: str | None = None

    @property
    def is_local(self) -> bool:
        """True when the address can only reach this machine: a Unix socket, a loopback
        address, ``localhost``, or the unspecified address (which connects locally)."""
        if self.unix_path is not None:
            return True
        host = self.host or ""
        if is_loopback_host(host):
            return True
        try:
            return ipaddress.ip_address(host).is_unspecified
        except ValueError:
            return False


def is_loopback_host(host: str) -> bool:
    """``localhost`` or a loopback IP address (127.0.0.0/8, ::1)."""
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def parse_mediator_address(text: str) -> str:
    """The gRPC target for ``text``, or ValueError saying what is wrong and what is accepted."""
    return split_mediator_address(text).target


def split_mediator_address(text: str) -> MediatorAddress:
    """``parse_mediator_address`` with the parts kept (host, port, socket path)."""
    if not isinstance(text, str):
        raise TypeError(f"mediator address must be a str such as 'host:50051', got {type(text).__name__}")
    if not text or text.isspace():
        raise ValueError(f"mediator address is empty; expected {FORMS}")
    if "@" in text:
        raise ValueError(
            "mediator address must not carry credentials (it contains '@'); give only "
            f"{FORMS} and pass a token with a token file instead"
        )
    if any(ch.isspace() or not ch.isprintable() for ch in text):
        raise ValueError(f"mediator address {text!r} contains spaces or control characters; expected {FORMS}")

    if text.startswith("unix:"):
        path = text[len("unix:"):]
        if path.startswith("//"):
            if not path.startswith("///"):
                raise ValueError(f"mediator address {text!r}: write a Unix socket as unix:PATH or unix:///ABSOLUTE/PATH")
            path = path[2:]
        if not path:
            raise ValueError("mediator address 'unix:' names no socket; expected unix:PATH")
        return MediatorAddress(target=f"unix:{path}", unix_path=path)

    if text.startswith("dns:"):
        rest = text[len("dns:"):]
        if rest.startswith("//"):
            if not rest.startswith("///"):
                raise ValueError(
                    f"mediator address {text!r}: a DNS server in the address is not supported; "
                    "write dns:///host:port"
                )
            rest = rest[3:]
        host, port = _host_port(rest, text)
        return MediatorAddress(target=f"dns:///{_join(host, port)}", host=host, port=port)

    scheme = _SCHEME.match(text)
    if scheme and (text[scheme.end():].startswith("/") or scheme.group(1).lower() in _OTHER_GRPC_SCHEMES):
        raise ValueError(
            f"mediator address: '{scheme.group(1)}:' addresses (URLs) are not accepted; "
            f"expected {FORMS}, e.g. mediator.example:50051"
        )
    host, port = _host_port(text, text)
    return MediatorAddress(target=_join(host, port), host=host, port=port)


def _join(host: str, port: int) -> str:
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def _host_port(hostport: str, text: str) -> tuple[str, int]:
    if hostport.startswith("["):
        end = hostport.find("]")
        if end < 0:
            raise ValueError(f"mediator address {text!r}: missing ']' after the IPv6 address")
        host, rest = hostport[1:end], hostport[end + 1:]
        try:
            ipaddress.IPv6Address(host)
        except ValueError:
            raise ValueError(f"mediator address {text!r}: {host!r} is not an IPv6 address") from None
        if not rest.startswith(":"):
            raise ValueError(f"mediator address {text!r} has no port; write [{host}]:PORT, e.g. [{host}]:50051")
        port_text = rest[1:]
    else:
        host, sep, port_text = hostport.rpartition(":")
        if not sep:
            raise ValueError(
                f"mediator address {text!r} has no port; write {hostport}:PORT, e.g. {hostport}:50051 "
                "(no port is assumed)"
            )
        if ":" in host:
            raise ValueError(f"mediator address {text!r}: write an IPv6 address in brackets, e.g. [::1]:50051")
        if not host:
            raise ValueError(f"mediator address {text!r} has no host; write HOST:{port_text}")
        if len(host) > _MAX_HOST or not _HOSTNAME.fullmatch(host):
            raise ValueError(f"mediator address {text!r}: {host!r} is not a host name or IPv4 address")
    if not port_text.isdigit() or not port_text.isascii():
        raise ValueError(f"mediator address {text!r}: the port must be a number 1..65535, got {port_text!r}")
    port = int(port_text)
    if not 1 <= port <= 65535:
        raise ValueError(f"mediator address {text!r}: port {port} is outside 1..65535")
    return host, port
