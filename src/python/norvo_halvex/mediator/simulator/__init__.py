"""A mediator simulator: a real gRPC server over a fleet of simulated Halvex meters.

    from norvo_halvex.mediator.simulator import Fault, Fleet, start_simulator

    with start_simulator() as sim:            # Fleet.default(), 127.0.0.1, free port
        client = HalvexMediatorGrpcClient(sim.address)
        sim.fleet.set_fault("HX1000001", Fault("end_of_stream"))
        ...

From a shell: ``python -m norvo_halvex.mediator.simulator --port 50051 [--fleet FILE]``.
Fleet file format and fault options: docs/simulator.md.
"""

from norvo_halvex.mediator.simulator.faults import Fault, FaultKind, Operation
from norvo_halvex.mediator.simulator.fleet import Fleet, FleetError
from norvo_halvex.mediator.simulator.model import MeterKind, SimulatedMeter
from norvo_halvex.mediator.simulator.server import DEFAULT_MAX_WORKERS, RunningSimulator, start_simulator

__all__ = [
    "DEFAULT_MAX_WORKERS",
    "Fault",
    "FaultKind",
    "Fleet",
    "FleetError",
    "MeterKind",
    "Operation",
    "RunningSimulator",
    "SimulatedMeter",
    "start_simulator",
]
