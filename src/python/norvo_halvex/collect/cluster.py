"""The Dask cluster of a collection, and who may talk to it.

Whoever reaches a Dask scheduler or worker can run code there as the user it runs as, and
a client unpickles what the scheduler sends back. So:

- ``local:N`` starts its scheduler and N worker processes on 127.0.0.1 with TLS and a
  certificate made for this run only (kept in memory, never on disk): no other process
  on the host can join or submit work, whatever user it runs as. The scheduler's plain
  HTTP server (Dask always starts one) answers health checks only, on a free loopback port.
- a scheduler address is reached with TLS (``tls://HOST:PORT``) and the cluster's CA,
  a client certificate and its key (``ClusterTLS``: options, or ``HALVEX_CLUSTER_TLS_*``);
  plain ``tcp://`` only to a scheduler on this machine's loopback, or when the caller says
  the network is trusted (``insecure``).
"""

from __future__ import annotations

import contextlib
import dataclasses
import logging
import os
import sys
from collections.abc import Callable, Mapping

from norvo_halvex import files
from norvo_halvex.mediator.grpc.address import is_loopback_host
from norvo_halvex.pem import check_key_pair, read_pem

__all__ = ["ENVIRONMENT_VARIABLES", "ClusterError", "ClusterTLS", "check_cluster", "close_cluster", "start_cluster"]

#: ClusterTLS field -> environment variable.
ENVIRONMENT_VARIABLES = {"ca": "HALVEX_CLUSTER_TLS_CA", "cert": "HALVEX_CLUSTER_TLS_CERT",
                         "key": "HALVEX_CLUSTER_TLS_KEY"}
# How each field is named on the command line, in messages.
_OPTIONS = {"ca": "--cluster-tls-ca", "cert": "--cluster-tls-cert", "key": "--cluster-tls-key"}
_ALL_OPTIONS = "--cluster-tls-ca, --cluster-tls-cert and --cluster-tls-key (or HALVEX_CLUSTER_TLS_CA/_CERT/_KEY)"


class ClusterError(Exception):
    """The Dask cluster cannot be started or reached."""


@dataclasses.dataclass(frozen=True)
class ClusterTLS:
    """How this process proves itself to a Dask cluster and checks the cluster in turn:
    ``ca`` (PEM of the CA that signed the cluster's certificates), ``cert`` and ``key``
    (this client's certificate, signed by that CA, and its key). Dask's TLS is mutual,
    so all three go together. ``insecure`` allows plain TCP to a scheduler off this
    machine. Holds file paths, never their contents."""

    ca: str | None = None
    cert: str | None = None
    key: str | None = None
    insecure: bool = False

    @classmethod
    def from_env(cls, environ: Mapping[str, str] | None = None, **overrides) -> ClusterTLS:
        """The ``HALVEX_CLUSTER_TLS_*`` variables (empty counts as unset), with
        ``overrides`` (None ignored) taking precedence."""
        env = os.environ if environ is None else environ
        values = {field: env.get(var, "").strip() or None for field, var in ENVIRONMENT_VARIABLES.items()}
        values.update((k, v) for k, v in overrides.items() if v is not None)
        return cls(**values)

    @property
    def given(self) -> bool:
        return any((self.ca, self.cert, self.key))

    def check(self) -> None:
        """ValueError naming the option when the files are incomplete or unusable."""
        missing = [_OPTIONS[f] for f in ("ca", "cert", "key") if not getattr(self, f)]
        if missing:
            raise ValueError(f"a tls:// Dask scheduler needs {_ALL_OPTIONS}; {', '.join(missing)} not given")
        read_pem(self.ca, _OPTIONS["ca"], "CERTIFICATE")
        read_pem(self.cert, _OPTIONS["cert"], "CERTIFICATE")
        read_pem(self.key, _OPTIONS["key"], "PRIVATE KEY")
        check_key_pair(self.cert, self.key, _OPTIONS["cert"], _OPTIONS["key"])

    def security(self):
        """The ``distributed.Security`` of a client with these files, encryption required."""
        from distributed import Security

        self.check()
        return Security(tls_ca_file=self.ca, tls_client_cert=self.cert, tls_client_key=self.key,
                        require_encryption=True)


def local_workers(cluster: str) -> int | None:
    """N of ``local:N`` (None for anything else); ValueError when N is not a number >= 1."""
    if not cluster.startswith("local:"):
        return None
    n = cluster[len("local:"):]
    if not (n.isascii() and n.isdigit()) or int(n) < 1:
        raise ValueError(f"--cluster {cluster}: expected local:N with N >= 1 worker processes")
    return int(n)


def check_cluster(cluster: str, tls: ClusterTLS) -> None:
    """ValueError, before anything starts, for a cluster this process must not use as asked:
    a scheduler without TLS off this machine (unless ``tls.insecure``), a ``tls://`` one
    without complete TLS files, TLS files for a ``tcp://`` one, an unknown protocol."""
    if local_workers(cluster) is not None:
        return  # it makes its own certificates
    protocol, sep, rest = cluster.partition("://")
    if not sep:
        protocol, rest = "tcp", cluster
    host = _host(rest)
    if protocol == "tls":
        tls.check()
        return
    if protocol != "tcp":
        raise ValueError(f"--cluster {cluster}: expected tls://HOST:PORT, tcp://HOST:PORT or local:N")
    if tls.given:
        raise ValueError(f"--cluster {cluster} is plain TCP but cluster TLS files are given: "
                         f"write tls://{rest} to use them")
    if not tls.insecure and not is_loopback_host(host):
        raise ValueError(
            f"--cluster {cluster} would send work to {host} without TLS: anyone on the way could read it, "
            f"or pose as the scheduler and run code in this process. Use tls://{rest} with {_ALL_OPTIONS}, "
            "or --cluster-insecure if this network is trusted"
        )


def _host(hostport: str) -> str:
    if hostport.startswith("["):
        return hostport[1:].partition("]")[0]
    host, sep, _ = hostport.rpartition(":")
    return host if sep else hostport


def start_cluster(cluster: str, *, workers: int, tls: ClusterTLS | None = None, worker_log: str | None = None,
                  worker_setup: Callable[[], None] | None = None):
    """A ``dask.distributed.Client`` for ``local:N`` (a LocalCluster of N processes with
    ``workers`` threads each, on loopback with TLS of its own) or for a scheduler address
    (with ``tls``, default ``ClusterTLS.from_env()``). ValueError for a cluster
    ``check_cluster`` refuses; ClusterError when it cannot be started or reached.

    The worker processes of ``local:N`` share this process's terminal: they ignore Ctrl-C
    (this process decides when they stop), and with ``worker_log`` their standard error,
    where Dask and Python write tracebacks, is that file (appended to). ``worker_setup`` is
    then run in each of them (the application's logging, say)."""
    tls = ClusterTLS.from_env() if tls is None else tls
    check_cluster(cluster, tls)
    try:
        import dask
        from dask.distributed import Client, LocalCluster, Security
    except ImportError as e:  # pragma: no cover - a dependency of the package
        raise ClusterError(f"dask.distributed is not installed: {e}") from None

    n = local_workers(cluster)
    if n is not None:
        try:
            # A certificate for this run only: the scheduler, the workers and this client
            # are the only holders, so no other process of the host can join or submit.
            # Its status pages (task call stacks, worker logs) are for no one else either.
            # The worker processes started here inherit standard error: the worker log.
            with dask.config.set({"distributed.scheduler.http.routes": ["distributed.http.health"]}), \
                    _standard_error_to(worker_log):
                lc = LocalCluster(n_workers=n, threads_per_worker=workers, processes=True, host="127.0.0.1",
                                  security=Security.temporary(), dashboard_address="127.0.0.1:0",
                                  silence_logs=logging.WARNING)
        except Exception as e:
            raise ClusterError(f"cannot start a local Dask cluster of {n} processes: {e}") from None
        from norvo_halvex.collect.worker import quiet_worker

        client = Client(lc)
        client.run(quiet_worker, worker_setup)
        return client
    security = tls.security() if cluster.startswith("tls://") else None
    try:
        return Client(cluster, timeout="10s", security=security)
    except Exception as e:
        raise ClusterError(f"cannot reach the Dask scheduler at {cluster}: {e}") from None


@contextlib.contextmanager
def _standard_error_to(path: str | None):
    """File descriptor 2 of this process is ``path`` inside the block (without one, stays)."""
    if path is None:
        yield
        return
    sys.stderr.flush()
    target = files.open_append(path, 0o600)
    saved = os.dup(2)
    try:
        os.dup2(target, 2)
        yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 2)
        os.close(saved)
        os.close(target)


def close_cluster(client) -> None:
    """Closes a client ``start_cluster`` made, and its local cluster if it has one."""
    cluster = getattr(client, "cluster", None)
    try:
        client.close()
    finally:
        if cluster is not None:
            cluster.close()
