"""`python -m norvo_halvex.mediator.simulator` runs in the foreground until interrupted."""

import json
import re

from norvo_halvex.mediator.grpc.client import HalvexMediatorGrpcClient
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum as O

from support.processes import interrupt, package_env, running

SIMULATOR = "norvo_halvex.mediator.simulator"


def test_serves_a_fleet_file_until_interrupted(tmp_path):
    fleet = tmp_path / "fleet.json"
    fleet.write_text(json.dumps({"meters": [{"serial": "CLI1", "kind": "three_phase_ax"}]}))
    with running(SIMULATOR, "--port", "0", "--fleet", str(fleet), env=package_env()) as proc:
        first = proc.stdout.readline()
        match = re.search(r"listening on (\S+) with 1 meters", first)
        assert match, first
        with HalvexMediatorGrpcClient(match.group(1), timeout=5) as client:
            assert client.read_element("CLI1", O.three_phase_serial).serial == "CLI1"
            assert client.read_element("CLI1", O.three_phase_hardware_configuration) is not None
        stopped = interrupt(proc, timeout=20)
    assert stopped.code == 0, stopped.err
    # What a benchmark works a collection's ideal rate out from: the calls served, and how long each took.
    assert re.search(r"simulator stopped; served 2 mediator calls, \d+\.\d{3} ms each on average", stopped.out)


def test_bad_fleet_file_is_reported_on_stderr(tmp_path):
    fleet = tmp_path / "fleet.json"
    fleet.write_text('{"meters": [{"serial": "X", "kind": "wind_turbine"}]}')
    with running(SIMULATOR, "--port", "0", "--fleet", str(fleet), env=package_env()) as proc:
        out, err = proc.communicate(timeout=20)
    assert proc.returncode == 2
    assert "unknown kind 'wind_turbine'" in err and str(fleet) in err
