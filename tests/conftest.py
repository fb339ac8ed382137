"""Shared fixtures.

- ``fleet``: a fresh ``Fleet.default()`` per test (override this fixture in a test
  module to run the simulator over another fleet).
- ``simulator``: the mediator simulator over ``fleet``, in this process, on 127.0.0.1
  with an ephemeral port; stopped after the test. ``simulator.address`` is the target.
- ``mediator_client``: a ``HalvexMediatorGrpcClient`` connected to ``simulator``.
- ``token_clock``: the clock token files made from then on look at the file by, moved by hand
  (``advance()``: past the interval between two looks).

Imports happen inside the fixtures so that areas which never use them do not depend on
the transport, the simulator or the codec.

The shared harness is the package `support` in this folder (see support/__init__.py); tests/
goes on sys.path here so that every folder imports it the same way, whatever the import mode.
"""

import os
import signal
import sys
from pathlib import Path

import pytest

# Tests stop simulators under open channels on purpose; gRPC's C core would note each
# GOAWAY on standard error. Read once, when grpc is first imported.
os.environ.setdefault("GRPC_VERBOSITY", "ERROR")

# A suite started in the background by a non-interactive shell inherits Ctrl-C ignored, and
# so would every tool it starts: give children the disposition a terminal gives them, so the
# interrupt tests test the tool and not how the suite was launched.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

_TESTS = str(Path(__file__).resolve().parent)
if _TESTS not in sys.path:
    sys.path.insert(0, _TESTS)


@pytest.fixture
def fleet():
    from norvo_halvex.mediator.simulator import Fleet

    return Fleet.default()


@pytest.fixture
def simulator(fleet):
    from norvo_halvex.mediator.simulator import start_simulator

    sim = start_simulator(fleet, host="127.0.0.1", port=0)
    try:
        yield sim
    finally:
        sim.stop()


@pytest.fixture
def mediator_client(simulator):
    from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient

    with HalvexMediatorGrpcClient(simulator.address, timeout=5.0) as client:
        yield client


@pytest.fixture(scope="session")
def tls_files(tmp_path_factory):
    """Throwaway certificates (trustme), as file paths (str):

    - ``ca``: signs the server and client certificates below; ``other_ca``: trusted by nobody;
    - ``server_cert``/``server_key``: for localhost, 127.0.0.1 and ::1;
    - ``named_cert``/``named_key``: for mediator.example only (name checks);
    - ``client_cert``/``client_key``: a client signed by ``ca``;
    - ``stranger_cert``/``stranger_key``: a client signed by ``other_ca``;
    - ``expired_cert``/``expired_key``, ``not_yet_valid_cert``/``not_yet_valid_key``: like
      ``server`` but valid only until yesterday, or only from tomorrow.
    """
    import datetime
    import types

    import trustme

    folder = tmp_path_factory.mktemp("tls")
    ca, other_ca = trustme.CA(), trustme.CA()
    files = {}

    def keep(name, blob):
        path = folder / f"{name}.pem"
        blob.write_to_path(path)
        files[name] = str(path)

    keep("ca", ca.cert_pem)
    keep("other_ca", other_ca.cert_pem)
    now, day = datetime.datetime.now(datetime.UTC), datetime.timedelta(days=1)
    local = ("localhost", "127.0.0.1", "::1")
    for name, issuer, identities, valid in [
        ("server", ca, local, {}),
        ("named", ca, ("mediator.example",), {}),
        ("client", ca, ("client@halvex.example",), {}),
        ("stranger", other_ca, ("client@halvex.example",), {}),
        ("expired", ca, local, {"not_before": now - 30 * day, "not_after": now - day}),
        ("not_yet_valid", ca, local, {"not_before": now + day, "not_after": now + 30 * day}),
    ]:
        cert = issuer.issue_cert(*identities, **valid)
        keep(f"{name}_cert", cert.cert_chain_pems[0])
        keep(f"{name}_key", cert.private_key_pem)
    return types.SimpleNamespace(**files)


@pytest.fixture
def token_file(tmp_path):
    """A file holding a fresh bearer token (``token_file.read_text().strip()``)."""
    import secrets

    path = tmp_path / "token"
    path.write_text(secrets.token_urlsafe(24) + "\n")
    path.chmod(0o600)  # a token file others may read is refused
    return path


class TokenClock:
    def __init__(self) -> None:
        self.now = 1000.0

    def __call__(self) -> float:
        return self.now

    def advance(self, seconds: float | None = None) -> None:
        from norvo_halvex.mediator.grpc.token import RECHECK_SECONDS

        self.now += RECHECK_SECONDS if seconds is None else seconds


@pytest.fixture
def token_clock(monkeypatch):
    from norvo_halvex.mediator.grpc import token

    clock = TokenClock()
    monkeypatch.setattr(token, "monotonic", clock)
    return clock


@pytest.fixture
def secure_simulator(fleet, tls_files, token_file):
    """The simulator serving TLS (a certificate for 127.0.0.1) and requiring ``token_file``."""
    from norvo_halvex.mediator.simulator import start_simulator

    with start_simulator(fleet, tls_cert=tls_files.server_cert, tls_key=tls_files.server_key,
                         token_file=token_file) as sim:
        yield sim
