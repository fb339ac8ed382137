"""`python -m norvo_halvex.mediator.simulator` runs in the foreground until interrupted."""

import json
import os
import pathlib
import re
import signal
import subprocess
import sys

import norvo_halvex
from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum as O

PACKAGE_ROOT = str(pathlib.Path(norvo_halvex.__file__).resolve().parents[1])


def run(*args, **kwargs):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    return subprocess.Popen(
        [sys.executable, "-m", "norvo_halvex.mediator.simulator", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        **kwargs,
    )


def test_serves_a_fleet_file_until_interrupted(tmp_path):
    fleet = tmp_path / "fleet.json"
    fleet.write_text(json.dumps({"meters": [{"serial": "CLI1", "kind": "three_phase_ax"}]}))
    proc = run("--port", "0", "--fleet", str(fleet))
    try:
        first = proc.stdout.readline()
        match = re.search(r"listening on (\S+) with 1 meters", first)
        assert match, first
        with HalvexMediatorGrpcClient(match.group(1), timeout=5) as client:
            assert client.read_element("CLI1", O.three_phase_serial).serial == "CLI1"
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=20)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, err
    assert "simulator stopped" in out


def test_bad_fleet_file_is_reported_on_stderr(tmp_path):
    fleet = tmp_path / "fleet.json"
    fleet.write_text('{"meters": [{"serial": "X", "kind": "wind_turbine"}]}')
    proc = run("--port", "0", "--fleet", str(fleet))
    out, err = proc.communicate(timeout=20)
    assert proc.returncode == 2
    assert "unknown kind 'wind_turbine'" in err and str(fleet) in err
