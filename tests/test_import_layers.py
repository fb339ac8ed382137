"""What each part loads: the collection library runs without the command line tool (each Dask
worker imports it), and the tool reports a gRPC failure without loading the collection store."""

import subprocess
import sys
import textwrap

import pytest

A_WORKERS_CLIENT = """
    from norvo_halvex.collect.worker import client_for
    from norvo_halvex.mediator.grpc.settings import ConnectionSettings

    assert client_for("127.0.0.1:1", ConnectionSettings(timeout=1)) is not None
"""

CLASSIFY_A_GRPC_FAILURE = """
    import grpc
    from norvo_halvex.failures import classify

    class Unavailable(grpc.RpcError):
        def code(self):
            return grpc.StatusCode.UNAVAILABLE

        def details(self):
            return "connection refused"

    assert classify(Unavailable()).code == "UNAVAILABLE"
"""


@pytest.mark.parametrize(
    "code, absent",
    [(A_WORKERS_CLIENT, "norvo_halvex.cli"), (CLASSIFY_A_GRPC_FAILURE, "duckdb")],
    ids=["collect-without-the-cli", "cli-failure-without-duckdb"],
)
def test_a_part_loads_only_what_it_needs(code, absent):
    loaded = f"[n for n in sys.modules if (n + '.').startswith({absent + '.'!r})]"
    probe = textwrap.dedent(code) + f"\nimport sys\nprint({loaded})\n"
    run = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "[]"
