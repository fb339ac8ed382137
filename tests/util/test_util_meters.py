import pytest

from norvo_halvex.mediator.validation import valid_event_log_idx
from norvo_halvex.util.meters import (
    is_three_phase,
    is_twin_element,
    meter_kind,
    single_phase_hardware_str_to_registry_str as registry,
)

# Every hardware string the core's hardware() can return, with its expected classification.
HARDWARE = [
    ("P0.se", False, False, "single_element"),
    ("P0.se1", False, False, "single_element"),
    ("P0.te", False, True, "twin_element"),
    ("P0.te2", False, True, "twin_element"),
    ("SINGLE_PHASE_UNKNOWN", False, False, "unknown"),
    ("P1.ax", True, False, "three_phase"),
    ("P1.cx", True, False, "three_phase"),
    ("THREE_PHASE_UNKNOWN", True, False, "three_phase"),
    ("", False, False, "unknown"),
    ("p1.ax", False, False, "unknown"),
    ("P0.tex", False, False, "unknown"),
]


@pytest.mark.parametrize("hardware, three_phase, twin, kind", HARDWARE)
def test_classification(hardware, three_phase, twin, kind):
    assert is_three_phase(hardware) is three_phase
    assert is_twin_element(hardware) is twin
    assert meter_kind(hardware) == kind


@pytest.mark.parametrize("text, registry_str", [("HXS-100", "P0.se"), ("HXT-200", "P0.te")])
def test_default_fleet_models_are_registered(text, registry_str):
    assert registry.get(text, None) == registry_str


def test_every_registry_string_is_single_phase_of_one_kind():
    assert len(registry) >= 4
    kinds = {meter_kind(v) for v in registry.values()}
    assert kinds == {"single_element", "twin_element"}
    for text, value in registry.items():
        assert not is_three_phase(value)
        # Model series HXS are single element, HXT twin element.
        assert is_twin_element(value) == text.startswith("HXT-"), (text, value)


@pytest.mark.parametrize("func", [is_three_phase, is_twin_element, meter_kind])
@pytest.mark.parametrize("bad", [None, b"P1.ax", 1])
def test_non_str_hardware_is_type_error(func, bad):
    with pytest.raises(TypeError, match="hardware must be a hardware string.*got " + type(bad).__name__):
        func(bad)


@pytest.mark.parametrize("idx", [0, 7, 15, True])
def test_valid_event_log_indices(idx):
    assert valid_event_log_idx(idx) is True


@pytest.mark.parametrize("idx", [-1, 16, 2**64])
def test_out_of_range_index_names_index_and_range(idx):
    with pytest.raises(ValueError, match=rf"event log index {idx} is out of range.*0 to 15"):
        valid_event_log_idx(idx)


def test_int_subclass_is_judged_by_its_value():
    class Sneaky(int):
        def __le__(self, other):
            return True

        def __ge__(self, other):
            return True

        def __repr__(self):
            return "sneaky"

    with pytest.raises(ValueError, match="event log index 99 "):
        valid_event_log_idx(Sneaky(99))


@pytest.mark.parametrize("idx", [2.0, "3", None])
def test_non_int_index_is_type_error(idx):
    with pytest.raises(TypeError, match=f"got {type(idx).__name__}"):
        valid_event_log_idx(idx)
