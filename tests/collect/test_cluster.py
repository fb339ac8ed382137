"""Who may talk to the collection's Dask cluster: local:N only to itself, a scheduler address
over TLS with the cluster's certificates, plain TCP only on loopback or when asked for."""

from __future__ import annotations

import json
import os
import socket
import ssl
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

from collect_support import DAY
from norvo_halvex.collect import ClusterTLS, Store
from norvo_halvex.collect.cluster import check_cluster, close_cluster, start_cluster
from support.processes import package_env, run_tool

FILES = ("ca", "client_cert", "client_key")


@pytest.mark.parametrize(
    "cluster, tls, problem",
    [
        ("local:2", (), None),
        ("local:0", (), "expected local:N with N >= 1"),
        ("tcp://127.0.0.1:8786", (), None),
        ("tcp://localhost:8786", (), None),
        ("tcp://[::1]:8786", (), None),
        ("tcp://10.1.2.3:8786", (), "would send work to 10.1.2.3 without TLS"),
        ("scheduler.example:8786", (), "would send work to scheduler.example without TLS"),
        ("tcp://10.1.2.3:8786", ("insecure",), None),
        ("tls://10.1.2.3:8786", FILES, None),
        ("tls://10.1.2.3:8786", ("ca",), "--cluster-tls-cert, --cluster-tls-key not given"),
        ("tls://10.1.2.3:8786", ("ca", "client_cert", "stranger_key"),
         "--cluster-tls-key file .* is not the private key of the certificate in --cluster-tls-cert"),
        ("tcp://127.0.0.1:8786", FILES, "is plain TCP but cluster TLS files are given: write tls://127.0.0.1:8786"),
        ("ws://10.1.2.3:8786", (), "expected tls://HOST:PORT, tcp://HOST:PORT or local:N"),
    ],
)
def test_a_cluster_is_used_only_as_safely_as_asked(tls_files, cluster, tls, problem):
    files = [getattr(tls_files, name) for name in tls if name != "insecure"]
    settings = ClusterTLS(*files, insecure="insecure" in tls)
    if problem is None:
        check_cluster(cluster, settings)
    else:
        with pytest.raises(ValueError, match=problem):
            check_cluster(cluster, settings)


@pytest.fixture(scope="module")
def local_cluster():
    client = start_cluster("local:1", workers=1)
    try:
        yield client
    finally:
        close_cluster(client)


def test_workers_store_what_they_read_into_postgresql(local_cluster, simulator, fleet, postgres_server):
    """Each worker writes its meter-days itself; only their tries come back to the collector."""
    from collect_support import THREE_PHASE, query
    from norvo_halvex.collect import CollectOptions, collect, open_store

    url = postgres_server.url(schema="workers_write")
    back = []
    summary = collect(sorted(fleet.meters), CollectOptions(day=DAY, retries=0, workers_write=True),
                      mediator=simulator.address, cluster=local_cluster, store=url,
                      on_result=lambda result, summary: back.append(result))
    assert (summary.ok, summary.rows) == (8, 4 * 48 + 8)
    assert {(r.stored, len(r.intervals), r.registers) for r in back} == {(True, 0, None)}
    with open_store(url, read_only=True) as store:
        assert dict(query(store, "SELECT serial, count(*) FROM intervals GROUP BY serial")) == dict.fromkeys(
            THREE_PHASE, 48)
        assert query(store, "SELECT count(*), min(run_id) FROM attempts") == [(16, summary.run_id)]


def tls_handshake_without_the_clusters_certificate(address: str) -> bytes:
    """What a TLS client that trusts anything but holds no certificate of the cluster gets."""
    host, port = address.removeprefix("tls://").rsplit(":", 1)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
    with socket.create_connection((host, int(port)), timeout=10) as raw, \
            context.wrap_socket(raw, server_hostname="dask-internal") as conn:
        conn.sendall(b"\x00" * 8)
        return conn.recv(1024)


def test_a_local_cluster_serves_only_its_own_processes(local_cluster):
    from dask.distributed import Client

    addresses = [local_cluster.scheduler.address, *local_cluster.scheduler_info()["workers"]]
    assert all(a.startswith("tls://127.0.0.1:") for a in addresses), addresses
    assert local_cluster.run(os.getuid)  # its own client may
    status = local_cluster.cluster.scheduler.http_server
    assert status.address == "127.0.0.1"  # Dask's plain HTTP server: health checks only
    with pytest.raises(urllib.error.HTTPError, match="404"):
        urllib.request.urlopen(f"http://127.0.0.1:{status.port}/info/main/workers.html", timeout=10)
    for address in addresses:
        # Plain Dask, as anyone on the host would try it: the connection is dropped.
        with pytest.raises(OSError):
            Client(address.replace("tls://", "tcp://"), timeout="5s", set_as_default=False)
        # TLS without the cluster's certificate: refused during or right after the handshake.
        with pytest.raises((ssl.SSLError, ConnectionError)):
            if not tls_handshake_without_the_clusters_certificate(address):
                raise ConnectionError("closed")
    # The run's key stays in memory: no command line shows it to the host's other users.
    key = local_cluster.security.tls_scheduler_key.splitlines()[1].encode()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                assert key not in f.read()
        except OSError:
            pass


@pytest.fixture
def dask_pki(tmp_path):
    """A CA and, signed by it, a certificate and key for a scheduler, a worker and the collector."""
    import trustme

    ca = trustme.CA()
    ca.cert_pem.write_to_path(tmp_path / "ca.pem")
    for role in ("scheduler", "worker", "client"):
        cert = ca.issue_cert(f"{role}.halvex.example")
        cert.cert_chain_pems[0].write_to_path(tmp_path / f"{role}.pem")
        cert.private_key_pem.write_to_path(tmp_path / f"{role}.key")
    return tmp_path


@pytest.mark.slow
def test_collect_on_a_scheduler_and_worker_started_with_tls_as_the_docs_show(simulator, dask_pki, db):
    def dask(role, *argv):
        return subprocess.Popen([os.path.join(os.path.dirname(sys.executable), "dask"), role, *map(str, argv),
                                 "--tls-ca-file", dask_pki / "ca.pem", "--tls-cert", dask_pki / f"{role}.pem",
                                 "--tls-key", dask_pki / f"{role}.key", "--host", "127.0.0.1", "--no-dashboard"],
                                env=package_env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    found = dask_pki / "scheduler.json"  # the scheduler writes its address there; the worker waits for it
    cluster = [dask("scheduler", "--protocol", "tls", "--port", "0", "--scheduler-file", found),
               dask("worker", "--scheduler-file", found, "--nthreads", "2")]
    try:
        while not (found.exists() and found.stat().st_size):
            assert all(p.poll() is None for p in cluster), "the cluster did not start"
            time.sleep(0.1)
        address = json.loads(found.read_text())["address"]
        assert address.startswith("tls://127.0.0.1:")
        base = ("--mediator", simulator.address, "collect", "HX1000001", "HX3000001", "--day", DAY, "--db", db,
                "--retries", "0", "--cluster", address)
        refused = run_tool(*base)
        assert refused.code == 2 and "--cluster-tls-ca, --cluster-tls-cert, --cluster-tls-key not given" in refused.err
        # The address and the client's files from a profile of a settings file, the CA from the environment.
        config = dask_pki / "halvex.toml"
        config.write_text(f'[profiles.night]\ncluster = "{address}"\ncluster_tls_cert = "client.pem"\n'
                          'cluster_tls_key = "client.key"\n')
        run = run_tool("--config", config, "--profile", "night", *base[:-2],
                       HALVEX_CLUSTER_TLS_CA=str(dask_pki / "ca.pem"))
        assert run.code == 0, run.err
        with Store(db, read_only=True) as store:
            assert store.con.execute("SELECT count(*) FROM intervals").fetchone() == (48,)
    finally:
        for proc in cluster:
            proc.terminate()
            proc.wait(timeout=60)
