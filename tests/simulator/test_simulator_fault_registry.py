"""The fault registry a fleet keeps, and the fleet's read-only view of its meters."""

from __future__ import annotations

import pytest

from norvo_halvex.mediator.simulator import Fault, Fleet
from norvo_halvex.mediator.simulator.faults import FaultKind, FaultRegistry, Operation

READ, WRITE = Operation.READ, Operation.WRITE


@pytest.mark.parametrize(
    "fault, calls, kinds, matched",
    [
        (Fault("end_of_stream"), [(READ, 1), (WRITE, 2)], [FaultKind.END_OF_STREAM] * 2, 2),
        (Fault("connection_failure", after=1, times=1), [(READ, 1)] * 3,
         ["no action", FaultKind.CONNECTION_FAILURE, "no action"], 3),
        (Fault("end_of_stream", operations=["write"]), [(READ, 1), (WRITE, 1)], ["no action", FaultKind.END_OF_STREAM], 1),
        (Fault("end_of_stream", object_ids=[1]), [(READ, 2), (READ, 1), (Operation.MESSAGE, None)],
         ["no action", FaultKind.END_OF_STREAM, "no action"], 1),
        # A block fault changes interval frames only: other data records pass uncounted.
        (Fault("shifted_intervals"), [(Operation.MESSAGE, None), (Operation.MESSAGE, None, True), (READ, 1)],
         ["no action", FaultKind.SHIFTED_INTERVALS, "no action"], 1),
    ],
)
def test_registry_decides_per_call_and_counts_matches(fault, calls, kinds, matched):
    registry = FaultRegistry()
    registry.set("HX1", fault)
    got = []
    for op, object_id, *frame in calls:
        action = registry.decide("HX1", op, object_id, *frame)
        got.append("no action" if action is None else action.kind)
    assert got == kinds
    assert registry.calls("HX1") == matched
    assert registry.decide("HX2", READ, 1) is None and registry.calls("HX2") == 0


def test_set_replaces_and_resets_clear_removes():
    registry = FaultRegistry()
    first, second = Fault("end_of_stream"), Fault(latency=0.5)
    registry.set("HX1", first)
    registry.decide("HX1", READ, 1)
    registry.set("HX1", second)
    assert registry.get("HX1") is second and registry.calls("HX1") == 0
    registry.set("HX2", first)
    registry.clear("HX1")
    registry.clear("HX9")  # nothing to clear is fine
    assert (registry.get("HX1"), registry.get("HX2")) == (None, first)
    registry.clear_all()
    assert registry.get("HX2") is None


@pytest.mark.parametrize("bad", [None, "end_of_stream", {"kind": "end_of_stream"}])
def test_only_faults_are_registered(bad):
    with pytest.raises(TypeError, match="fault must be a Fault"):
        FaultRegistry().set("HX1", bad)


def test_fleet_faults_go_through_its_registry_and_name_unknown_meters():
    fleet = Fleet.default()
    fleet.set_fault("HX1000001", Fault("end_of_stream"))
    assert fleet.decide("HX1000001", READ, 1).kind is FaultKind.END_OF_STREAM and fleet.fault_calls("HX1000001") == 1
    with pytest.raises(KeyError, match="no meter 'HX404' in the fleet"):
        fleet.set_fault("HX404", Fault("end_of_stream"))


@pytest.mark.parametrize("change", [
    lambda m: m.__setitem__("HX9", None),
    lambda m: m.__delitem__("HX1000001"),
    lambda m: m.clear(),
])
def test_meters_view_is_read_only(change):
    fleet = Fleet.default()
    with pytest.raises((TypeError, AttributeError)):
        change(fleet.meters)
    assert len(fleet.meters) == 8
