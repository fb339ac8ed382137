"""PEM files of certificates and keys: read with a size bound, checked before anything connects.

Used by the transport client, the simulator and the Dask cluster settings, so each refuses a
missing file, a file of the wrong kind, or a certificate paired with another key in the same
words, naming the setting and the file and never quoting its content.
"""

from __future__ import annotations

import os
import ssl

__all__ = ["check_key_pair", "read_pem"]

_MAX_PEM = 1024 * 1024


def read_pem(path: str | os.PathLike[str] | None, name: str, kind: str) -> bytes | None:
    """The bytes of PEM file ``path`` (None for None); ValueError naming the setting
    ``name`` when it cannot be read or holds no PEM block of ``kind``. The message
    never quotes the file."""
    if path is None:
        return None
    path = os.fspath(path)
    try:
        with open(path, "rb") as f:
            data = f.read(_MAX_PEM + 1)
    except OSError as e:
        raise ValueError(f"{name} file {path} cannot be read: {e.strerror or e}") from None
    if len(data) > _MAX_PEM or b"-----BEGIN " not in data or kind.encode() not in data:
        raise ValueError(f"{name} file {path} holds no PEM {kind.lower()}")
    return data


def check_key_pair(cert: str, key: str, cert_name: str, key_name: str) -> None:
    """ValueError when the private key in ``key`` does not belong to the certificate in
    ``cert``: otherwise the handshake fails much later, looking like an unreachable peer."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    try:
        # An empty password: an encrypted key fails here instead of prompting on the terminal.
        context.load_cert_chain(cert, key, password="")
    except ssl.SSLError as e:
        if e.reason == "KEY_VALUES_MISMATCH":
            raise ValueError(
                f"{key_name} file {key} is not the private key of the certificate in {cert_name} file {cert}: "
                "give the key that was made with that certificate"
            ) from None
        raise ValueError(f"{key_name} file {key} cannot be used with {cert_name} file {cert}: the key is "
                         "encrypted or damaged; give the unencrypted key made with that certificate") from None
    except OSError as e:
        raise ValueError(f"{cert_name} file {cert} or {key_name} file {key} cannot be read: {e.strerror or e}") from None
