"""How the tool connects to a mediator: the address check, the TLS / token / deadline
options, and the transport client built from them."""

from __future__ import annotations

import argparse
import re

from norvo_halvex.cli.config import FLAG
from norvo_halvex.failures import UsageError

MEDIATOR_ENV = "HALVEX_MEDIATOR"

# Option dest -> ConnectionSettings field; each also read from its HALVEX_* variable.
_SETTINGS_OPTIONS = ("tls", "tls_ca", "tls_cert", "tls_key", "tls_server_name", "token_file", "timeout", "read_retries")
# The options that make a connection secure; they have no meaning against --simulate.
_SECURITY_OPTIONS = ("tls", "tls_ca", "tls_cert", "tls_key", "tls_server_name", "token_file")
# For `halvex simulator`, --tls-cert/--tls-key/--token-file are what it serves; these are not.
_CLIENT_ONLY_OPTIONS = ("tls", "tls_ca", "tls_server_name", "timeout", "read_retries")


def option_name(dest: str) -> str:
    return "--" + dest.replace("_", "-")


def add_options(g, d) -> None:
    """The connection options, into argument group ``g``; ``d`` wraps each default."""
    g.add_argument("--tls", action="store_true", default=d(None),
                   help="connect with TLS, verified against the system's CAs (implied by the --tls-* options; "
                        "$HALVEX_TLS)")
    g.add_argument("--tls-ca", metavar="FILE", default=d(None),
                   help="CA certificate(s) (PEM) that signed the mediator's certificate ($HALVEX_TLS_CA)")
    g.add_argument("--tls-cert", metavar="FILE", default=d(None),
                   help="client certificate (PEM) for mutual TLS ($HALVEX_TLS_CERT); "
                        "for 'simulator': the certificate it serves")
    g.add_argument("--tls-key", metavar="FILE", default=d(None),
                   help="private key of --tls-cert (PEM) ($HALVEX_TLS_KEY)")
    g.add_argument("--tls-server-name", metavar="NAME", default=d(None),
                   help="name to verify in the mediator's certificate when the address differs "
                        "($HALVEX_TLS_SERVER_NAME)")
    g.add_argument("--token-file", metavar="FILE", default=d(None),
                   help="file holding a bearer token sent with every call, re-read when it changes "
                        "($HALVEX_TOKEN_FILE); for 'simulator': the token it requires")
    g.add_argument("--timeout", metavar="SECONDS", type=_number, default=d(None),
                   help="deadline of each call ($HALVEX_TIMEOUT; default 10)")
    g.add_argument("--read-retries", metavar="N", type=_whole, default=d(None),
                   help="retry an element read that found the mediator unavailable up to N times (0..4; "
                        "$HALVEX_READ_RETRIES; default 0). Writes are never retried")


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") from None


def _whole(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None


def checked_address(text: str, *, source: str) -> str:
    """``text`` when it is a mediator address the transport accepts, else UsageError
    naming where it came from (the option or the environment variable)."""
    from norvo_halvex.mediator.grpc.address import parse_mediator_address

    try:
        parse_mediator_address(text)
    except ValueError as e:
        raise UsageError(f"{source}: {e}") from None
    return text


def _given(args, dests, sources=None) -> list[str]:
    """The options among ``dests`` given on the command line (``sources``: where each value
    of ``args`` came from, when a config file may have put some there)."""
    return [d for d in dests if getattr(args, d, None) not in (None, False)
            and (sources is None or sources.get(d) == FLAG)]


def settings_for(args, *, simulate: bool, sources=None):
    """ConnectionSettings for a command: the options, else the HALVEX_* variables (else
    what the config file's profile put into ``args``). Against the plain simulator in this
    process (--simulate, demo) the security settings of the environment and the profile do
    not apply and the security options are refused."""
    from norvo_halvex.mediator.grpc.settings import ConnectionSettings

    explicit = {d: getattr(args, d, None) for d in _SETTINGS_OPTIONS}
    try:
        if simulate:
            given = _given(args, _SECURITY_OPTIONS, sources)
            if given:
                raise UsageError(
                    f"{option_name(given[0])} does not apply to the plain simulator of --simulate and demo; "
                    "run 'halvex simulator' with --tls-cert/--tls-key/--token-file to try TLS and tokens"
                )
            return ConnectionSettings(**{k: v for k, v in explicit.items()
                                         if v is not None and k not in _SECURITY_OPTIONS})
        return ConnectionSettings.from_env(**explicit)
    except (TypeError, ValueError) as e:
        raise UsageError(_option_words(str(e))) from None


def server_options(args, sources=None) -> dict:
    """The ``start_simulator`` keywords of ``halvex simulator`` (command line only: the
    client's HALVEX_* variables and config profile never make the simulator serve their files)."""
    given = _given(args, _CLIENT_ONLY_OPTIONS, sources)
    if given:
        raise UsageError(f"{option_name(given[0])} is a client option; it does not apply to the simulator")
    served = ("tls_cert", "tls_key", "token_file")
    return {"client_ca": getattr(args, "client_ca", None),
            **{d: getattr(args, d, None) if d in _given(args, served, sources) else None for d in served}}


def new_transport(address: str, settings):
    """The transport client for ``address``; unusable files are a usage error, found
    before anything is sent."""
    from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient

    try:
        return HalvexMediatorGrpcClient(address, settings=settings)
    except ValueError as e:
        raise UsageError(_option_words(str(e))) from None


_FIELD = re.compile(r"\b(" + "|".join(_SETTINGS_OPTIONS) + r")\b")


def _option_words(message: str) -> str:
    """Settings' field names as the options a user types (tls_cert -> --tls-cert), unless
    the message already names the options."""
    if "halvex --" in message:
        return message
    return _FIELD.sub(lambda m: option_name(m.group(1)), message)
