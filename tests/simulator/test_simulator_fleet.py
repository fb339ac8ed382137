"""Fleet model: the fleet file loader, synthetic fleets, faults and the energy model."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from norvo_halvex.mediator.simulator import Fault, Fleet, FleetError, MeterKind
from norvo_halvex.mediator.simulator.energy import CHANNELS, INTERVAL_SECONDS, EnergyProfile
from norvo_halvex.mediator.simulator.faults import FaultKind, Operation
from norvo_halvex.meters import obis_object_id as obis_id
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum as O
from quarn_frame_protocol.util import quarn_obis_triplet_to_decimal


def write_json(tmp_path, data, name="fleet.json"):
    path = tmp_path / name
    path.write_text(json.dumps(data) if not isinstance(data, str) else data)
    return path


def test_default_fleet_has_the_documented_meters():
    meters = Fleet.default().meters
    expected = {
        "HX1000001": ("single_element", "HXS-100"),
        "HX1000002": ("twin_element", "HXT-200"),
        "HX3000001": ("three_phase_ax", ""),
        "HX3000002": ("three_phase_cx", ""),
    }
    for serial, (kind, hardware) in expected.items():
        assert (meters[serial].kind, meters[serial].hardware) == (kind, hardware)
    assert {m.kind for m in meters.values()} == set(MeterKind)


def test_full_fleet_file(tmp_path):
    path = write_json(
        tmp_path,
        {
            "meters": [
                {
                    "serial": "S1",
                    "kind": "twin_element",
                    "hardware": "HXT-210",
                    "firmware": "hex:01ab02",
                    "clock_offset_seconds": -3600,
                    "daylight_savings_correction": False,
                    "backlight": "off",
                    "load_switch": 2,
                    "csq": 9,
                    "load_watts": 900,
                    "load_b_watts": 300,
                    "solar_watts": 1200,
                    "obis": {"1.8.0": "00ff10"},
                    "missing_intervals": ["2025-06-01T10:00:00Z", 1748772000],
                    "missing_future_intervals": True,
                    "fault": {"kind": "end_of_stream", "object_ids": ["read_element_b", "1.8.0", 17], "after": 1},
                },
                {"serial": "S2", "kind": "three_phase_cx"},
            ],
            "generate": {"count": 3, "prefix": "G", "kinds": ["single_element"], "fault": {"latency": 0.05}},
        },
    )
    fleet = Fleet.from_json(path)
    s1 = fleet.meters["S1"]
    assert (s1.kind, s1.hardware, s1.firmware, s1.clock_offset) == (MeterKind.TWIN_ELEMENT, "HXT-210", b"\x01\xab\x02", -3600.0)
    assert (s1.daylight_savings_correction, s1.backlight, s1.load_switch, s1.csq) == (0, 0, 2, 9)
    assert s1.obis[obis_id("1.8.0")] == b"\x00\xff\x10"
    assert s1.missing_intervals == {1748772000}  # both spell 2025-06-01T10:00Z
    assert s1.future_intervals == "missing"
    fault = fleet.fault("S1")
    assert fault.kind is FaultKind.END_OF_STREAM and fault.after == 1
    assert fault.object_ids == {int(O.read_element_b), quarn_obis_triplet_to_decimal("1.8.0"), 17}
    assert fleet.fault("S2") is None
    assert sorted(s for s in fleet.meters if s.startswith("G")) == ["G000000", "G000001", "G000002"]
    assert fleet.fault("G000001").latency == 0.05


@pytest.mark.parametrize(
    ("content", "fragments"),
    [
        ("{not json", ["not valid JSON"]),
        ([], ["JSON object"]),
        ({}, ["no meters"]),
        ({"meter": []}, ["unknown top-level key", "meter"]),
        ({"meters": [{"kind": "single_element"}]}, ["meters[0]", "missing 'serial'"]),
        ({"meters": [{"serial": "A", "kind": "three_phase"}]}, ["meters[0] (A)", "unknown kind 'three_phase'", "three_phase_ax"]),
        ({"meters": [{"serial": "A", "kind": "single_element", "colour": "red"}]}, ["unknown key", "colour"]),
        ({"meters": [{"serial": "A", "kind": "single_element"}, {"serial": "A", "kind": "twin_element"}]}, ["meters[1] (A)", "duplicate"]),
        ({"meters": [{"serial": "A", "kind": "three_phase_ax", "hardware": "HXS-100"}]}, ["empty hardware text"]),
        # meters report both as ASCII: refused at load, not as a failed call later
        ({"meters": [{"serial": "A", "kind": "single_element", "hardware": "HXS-1\u20ac0"}]},
         ["meters[0] (A): hardware must be ASCII", "'HXS-1\u20ac0'"]),
        ({"meters": [{"serial": "H\u00e91", "kind": "twin_element"}]}, ["meters[0] (H\u00e91): serial must be ASCII"]),
        ({"meters": [{"serial": "A", "kind": "single_element", "backlight": "dim"}]}, ["'backlight'", "off, on, auto"]),
        ({"meters": [{"serial": "A", "kind": "single_element", "obis": {"1.8": "00"}}]}, ["OBIS code", "'1.8'"]),
        ({"meters": [{"serial": "A", "kind": "single_element", "obis": {"1.8.0": "0g"}}]}, ["obis 1.8.0", "not hexadecimal"]),
        ({"meters": [{"serial": "A", "kind": "single_element", "missing_intervals": ["2025-06-01T10:00"]}]}, ["needs a time zone"]),
        ({"meters": [{"serial": "A", "kind": "single_element", "fault": {"kind": "explode"}}]}, ["fault", "unknown fault kind 'explode'"]),
        ({"meters": [{"serial": "A", "kind": "single_element", "fault": {"status": "BROKEN"}}]}, ["gRPC status name", "UNAVAILABLE"]),
        ({"meters": [{"serial": "A", "kind": "single_element", "fault": {"kind": "end_of_stream", "operations": "read"}}]}, ["operations must be a list"]),
        ({"meters": [{"serial": "A", "kind": "single_element", "fault": {"latency": 1, "object_ids": ["nope"]}}]}, ["unknown object 'nope'"]),
        ({"meters": [{"serial": "A", "kind": "single_element", "fault": {"retries": 1}}]}, ["unknown fault option", "retries"]),
        ({"generate": {"prefix": "G"}}, ["generate", "missing 'count'"]),
    ],
)
def test_bad_fleet_files_name_file_entry_and_problem(tmp_path, content, fragments):
    path = write_json(tmp_path, content)
    with pytest.raises(FleetError) as info:
        Fleet.from_json(path)
    text = str(info.value)
    assert str(path) in text
    for fragment in fragments:
        assert fragment in text


def test_missing_fleet_file(tmp_path):
    with pytest.raises(FleetError, match="cannot read fleet file"):
        Fleet.from_json(tmp_path / "absent.json")


def test_generated_fleet_cycles_kinds_and_shares_a_fault():
    fleet = Fleet.generate(200, fault=Fault(latency=0.05))
    assert len(fleet) == 200
    kinds = [m.kind for m in fleet]
    assert kinds[:4] == list(MeterKind) and kinds[4:8] == list(MeterKind)
    assert all(fleet.fault(m.serial).latency == 0.05 for m in fleet)


@pytest.mark.parametrize(
    ("kwargs", "fragment"),
    [
        ({}, "needs a kind"),
        ({"kind": "end_of_stream", "latency": -1}, "latency"),
        ({"kind": "connection_failure", "status": "INTERNAL"}, "only makes sense"),
        ({"kind": "end_of_stream", "operations": ["delete"]}, "unknown operation 'delete'"),
        ({"kind": "end_of_stream", "after": -2}, "after"),
        ({"kind": "end_of_stream", "times": 1.5}, "times"),
    ],
)
def test_bad_faults(kwargs, fragment):
    with pytest.raises(ValueError, match=fragment):
        Fault(**kwargs)


def test_fault_scope():
    fault = Fault("end_of_stream", operations=["read", "message"], object_ids=[O.serial])
    assert fault.matches(Operation.READ, int(O.serial))
    assert not fault.matches(Operation.READ, int(O.time))
    assert not fault.matches(Operation.WRITE, int(O.serial))
    # Data records carry no object identifier, so an object-limited fault never hits them.
    assert not fault.matches(Operation.MESSAGE, None)


def test_set_fault_on_unknown_serial_is_refused():
    with pytest.raises(KeyError, match="HX404"):
        Fleet.default().set_fault("HX404", Fault(latency=1))


ALIGNED = st.integers(min_value=1_735_689_600 // 1800 - 5000, max_value=1_735_689_600 // 1800 + 80_000).map(
    lambda k: k * INTERVAL_SECONDS
)


@settings(max_examples=60, deadline=None)
@given(a=ALIGNED, span=st.integers(min_value=0, max_value=2000), solar=st.sampled_from([0, 4000]))
def test_intervals_add_up_to_register_differences(a, span, solar):
    profile = EnergyProfile("HX-prop", 3000, solar, 10)
    b = a + span * INTERVAL_SECONDS
    for channel in CHANNELS:
        total = sum(profile.interval(channel, a + i * INTERVAL_SECONDS) for i in range(span))
        assert (profile.register(channel, b) - profile.register(channel, a)) % 2**32 == total % 2**32
    values = profile.intervals(a)
    assert values[4] >= values[0] and values[5] >= values[1]  # apparent >= active
    assert not (values[0] and values[1])  # a net flow is either import or export


def test_documented_fleet_file_example_loads(tmp_path):
    import pathlib
    import re

    doc = (pathlib.Path(__file__).resolve().parents[2] / "docs" / "simulator.md").read_text()
    example = re.search(r"## Fleet file\n\n```json\n(.*?)```", doc, re.S).group(1)
    fleet = Fleet.from_json(write_json(tmp_path, example))
    assert len(fleet) == 202
    assert fleet.fault("SITE-7").object_ids == {int(O.read_element_b)}
