"""Hardware strings: the registry of single-phase models and the meter classification.

The rules live in ``norvo_halvex.meters.hardware``; this module keeps the names the client
imports. ``single_phase_hardware_str_to_registry_str`` maps the hardware text a single-phase
meter reports to its registry string (``HXS-100`` -> ``P0.se``); ``is_three_phase`` and
``is_twin_element`` classify hardware strings.
"""

from norvo_halvex.meters.hardware import (
    SINGLE_PHASE_UNKNOWN,
    THREE_PHASE_AX,
    THREE_PHASE_CX,
    THREE_PHASE_UNKNOWN,
    is_three_phase,
    is_twin_element,
    meter_kind,
    single_phase_hardware_str_to_registry_str,
)

__all__ = [
    "SINGLE_PHASE_UNKNOWN",
    "THREE_PHASE_AX",
    "THREE_PHASE_CX",
    "THREE_PHASE_UNKNOWN",
    "is_three_phase",
    "is_twin_element",
    "meter_kind",
    "single_phase_hardware_str_to_registry_str",
]
