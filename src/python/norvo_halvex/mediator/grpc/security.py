"""Channel credentials from ``ConnectionSettings``, and failures explained in words.

Three kinds of channel:

- TLS (``ssl_channel_credentials``; with a client certificate for mutual TLS), plus
  the bearer token when a token file is set;
- a token but no TLS: only to this machine (loopback or Unix socket), through gRPC's
  local credentials, which refuse any other peer themselves;
- neither: a plain channel.

The token goes with each call as ``authorization`` metadata that the client adds itself,
after checking above that the channel may carry it. Only when the caller's interceptors
wrap the channel is it added by gRPC's call credentials instead, below the interceptors,
so that they never see it; that route costs a thread per call inside gRPC, which more than
doubles the client's CPU time per call.
"""

from __future__ import annotations

import datetime as _dt

import grpc

from norvo_halvex.mediator.grpc.address import MediatorAddress
from norvo_halvex.mediator.grpc.exception.HalvexSecurityError import HalvexSecurityError
from norvo_halvex.mediator.grpc.settings import ConnectionSettings
from norvo_halvex.mediator.grpc.token import BearerTokenAuth, TokenFile, TokenFileError
from norvo_halvex.pem import check_key_pair, read_pem

__all__ = ["ChannelSecurity"]

# Each setting as a library user, the environment and the tool name it.
_CA_HINT = "the CA file (tls_ca, HALVEX_TLS_CA or halvex --tls-ca)"
_TLS_ON = f"{_CA_HINT}, or tls=True (HALVEX_TLS=1, halvex --tls) for the system's CAs"
_CERT_HINT = (
    "a client certificate and key (tls_cert/tls_key, HALVEX_TLS_CERT/HALVEX_TLS_KEY or halvex --tls-cert/--tls-key)"
)
_TOKEN_HINT = "a token file (token_file, HALVEX_TOKEN_FILE or halvex --token-file)"
_NAME_HINT = "the server name (tls_server_name, HALVEX_TLS_SERVER_NAME or halvex --tls-server-name)"
# What the TLS library says when the first bytes back are no TLS record at all: the peer
# answered in plain text (a plain gRPC server, or another service on that port).
_PLAIN_ANSWER = ("wrong_version_number", "unknown_protocol", "packet_length_too_long", "http_request")


class ChannelSecurity:
    """What one client needs to open its channel securely; files are read here, once
    (the token file again whenever it changes)."""

    #: Set once the mediator has answered a call over this channel.
    answered = False

    def __init__(self, settings: ConnectionSettings, address: MediatorAddress) -> None:
        self.settings = settings
        self.address = address
        if settings.token_file and not settings.tls and not address.is_local:
            raise ValueError(
                f"a bearer token is only sent over TLS or to this machine, and {address.target} is neither: "
                f"turn TLS on with {_TLS_ON}"
            )
        self._ca = read_pem(settings.tls_ca, "tls_ca", "CERTIFICATE")
        self._cert = read_pem(settings.tls_cert, "tls_cert", "CERTIFICATE")
        self._key = read_pem(settings.tls_key, "tls_key", "PRIVATE KEY")
        if self._cert is not None:
            check_key_pair(settings.tls_cert, settings.tls_key, "tls_cert", "tls_key")
        try:
            self.token = TokenFile(settings.token_file) if settings.token_file else None
        except TokenFileError as e:
            raise ValueError(str(e)) from None
        # The token last sent and its metadata.
        self._metadata: tuple[str | None, tuple[tuple[str, str], ...]] = (None, ())

    @property
    def presents_credential(self) -> bool:
        return self.token is not None or self._cert is not None

    def channel_credentials(self, *, token_per_call: bool) -> grpc.ChannelCredentials | None:
        """None means a plain channel. With ``token_per_call`` the token is left to
        ``call_metadata``; otherwise it is part of the credentials."""
        s = self.settings
        if s.tls:
            creds = grpc.ssl_channel_credentials(self._ca, self._key, self._cert)
        elif self.token is not None:
            kind = grpc.LocalConnectionType.UDS if self.address.unix_path else grpc.LocalConnectionType.LOCAL_TCP
            creds = grpc.local_channel_credentials(kind)
        else:
            return None
        if self.token is not None and not token_per_call:
            creds = grpc.composite_channel_credentials(creds, grpc.metadata_call_credentials(BearerTokenAuth(self.token)))
        return creds

    def call_metadata(self) -> tuple[tuple[str, str], ...]:
        """The metadata that carries the token on one call (the file's current token)."""
        try:
            token = self.token.token()
        except TokenFileError:
            raise HalvexSecurityError.from_status(
                *self._token_unreadable(), grpc.StatusCode.UNAVAILABLE, "the bearer token file could not be read"
            ) from None
        # The same token (object) as the call before: the same metadata, not made again.
        last = self._metadata
        if last[0] is token:
            return last[1]
        metadata = (("authorization", f"Bearer {token}"),)
        self._metadata = (token, metadata)
        return metadata

    def _out_of_date(self, expired: bool) -> tuple[str, str, str]:
        target = self.address.target
        now = f"this machine's clock says {_dt.datetime.now(_dt.UTC):%Y-%m-%d %H:%M} UTC"
        if expired:
            return ("certificate_expired", f"TLS handshake with {target} failed: the mediator's certificate has expired",
                    f"the mediator's operator must renew it; if it should still be valid, check the clocks ({now})")
        return ("certificate_not_yet_valid",
                f"TLS handshake with {target} failed: the mediator's certificate is not valid yet",
                f"check the clocks of this machine and of the mediator ({now}); a certificate issued just now "
                "becomes valid at the time it names")

    def _token_unreadable(self) -> tuple[str, str, str]:
        path = self.token.path if self.token is not None else "the token file"
        return ("token_unreadable", f"the bearer token for {self.address.target} could not be read",
                f"restore {path}, or name the current one as {_TOKEN_HINT}")

    def explain(self, error: grpc.RpcError) -> grpc.RpcError:
        """``error`` itself, or a ``HalvexSecurityError`` saying what to fix when the
        failure is about TLS, the token or permissions."""
        try:
            code = error.code()
            details = error.details() or ""
        except Exception:
            return error
        found = self._diagnose(code, details)
        if found is None:
            return error
        return HalvexSecurityError(*found, error)

    def _diagnose(self, code, details: str) -> tuple[str, str, str] | None:
        s = self.settings
        target = self.address.target
        lower = details.lower()
        if code == grpc.StatusCode.UNAUTHENTICATED:
            if self.token is not None:
                return ("unauthenticated", f"the mediator at {target} refused the bearer token from {self.token.path}",
                        f"put a current token into {self.token.path} (it is re-read when the file changes)")
            return ("unauthenticated", f"the mediator at {target} requires authentication",
                    f"give the bearer token in {_TOKEN_HINT}")
        if code == grpc.StatusCode.PERMISSION_DENIED:
            if not self.presents_credential:
                return None
            return ("permission_denied",
                    f"the mediator at {target} does not allow this operation for the credential presented",
                    "ask the mediator's operator to grant it, or use a token or certificate that has it")
        if code != grpc.StatusCode.UNAVAILABLE:
            return None
        if "metadata from plugin failed" in lower:
            return self._token_unreadable()
        if "certificate has expired" in lower or "certificate is not yet valid" in lower:
            return self._out_of_date("expired" in lower)
        if "certificate_verify_failed" in lower:
            if s.tls_ca:
                hint = f"check that {s.tls_ca}, {_CA_HINT}, holds the CA that signed the mediator's certificate"
            else:
                hint = f"give the CA that signed it as {_CA_HINT}"
            return ("untrusted_certificate",
                    f"TLS handshake with {target} failed: the mediator's certificate is not trusted", hint)
        if "hostname verification" in lower or "peer name" in lower:
            if s.tls_server_name:  # checked instead of the address: name the name asked for
                return ("hostname_mismatch",
                        f"TLS handshake with {target} failed: the mediator's certificate is not issued for "
                        f"{s.tls_server_name}, the server name asked for",
                        f"set {_NAME_HINT} to a name in its certificate")
            return ("hostname_mismatch",
                    f"TLS handshake with {target} failed: the mediator's certificate is not issued for "
                    f"{self.address.host or target}",
                    f"connect by a name in its certificate, or set {_NAME_HINT} to that name")
        if any(reason in lower for reason in _PLAIN_ANSWER):
            return ("server_not_tls",
                    f"TLS handshake with {target} failed: the mediator does not speak TLS there (it answered "
                    "in plain text)",
                    "check that the address is the mediator's TLS port or, for a mediator without TLS, turn TLS "
                    "off (tls, tls_ca, tls_cert/tls_key, HALVEX_TLS* and halvex --tls* all unset)")
        if "handshake failed" in lower or "ssl_error" in lower or "tsi_" in lower:
            return ("handshake_failed", f"TLS handshake with {target} failed",
                    f"check {_CA_HINT} and {_CERT_HINT} against the mediator's")
        if "failed to connect" in lower and ("socket closed" in lower or "connection reset" in lower):
            if self.answered:
                # It answered on these terms before: the mediator went away, TLS is not the matter.
                return None
            # The mediator took the connection and dropped it before any answer: a TLS
            # mismatch of some kind, since a mediator that is down refuses the connection.
            if not s.tls:
                return ("tls_refused",
                        f"the mediator at {target} closed the connection before answering; it probably requires TLS",
                        f"turn TLS on with {_TLS_ON}")
            if s.mutual_tls:
                hint = (f"check that the mediator trusts the CA that signed {s.tls_cert}, "
                        "and that the certificate is current")
            else:
                hint = f"if the mediator requires client certificates, give {_CERT_HINT}"
            return ("tls_refused", f"the mediator at {target} refused the TLS handshake", hint)
        return None
