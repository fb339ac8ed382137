"""Hardware strings: the registry of single-phase models and the meter classification.

The core classifies every meter by a hardware string:

- a registry string, for a single-phase model listed in
  ``single_phase_hardware_str_to_registry_str`` (keyed by the hardware text the meter
  reports, NULs and surrounding whitespace removed);
- ``"SINGLE_PHASE_UNKNOWN"`` for a single-phase model not in that mapping;
- ``"P1.ax"`` (whole-current), ``"P1.cx"`` (CT-operated) or ``"THREE_PHASE_UNKNOWN"`` for
  three-phase meters.

Registry strings of single-phase models are ``P0.<kind><revision>``: ``P0`` is the
single-phase product line, ``<kind>`` is ``se`` (single element: one metering element, A) or
``te`` (twin element: elements A and B), and ``<revision>`` is the model's revision digit,
left out for the base model of a series (``HXS-100`` -> ``P0.se``, ``HXS-110`` -> ``P0.se1``,
``HXT-220`` -> ``P0.te2``). ``is_twin_element`` goes by this naming rule, so a model added to
the registry under it is classified without further changes here.
"""

from __future__ import annotations

import re
from types import MappingProxyType
from typing import Final

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

SINGLE_PHASE_UNKNOWN: Final = "SINGLE_PHASE_UNKNOWN"
THREE_PHASE_AX: Final = "P1.ax"
THREE_PHASE_CX: Final = "P1.cx"
THREE_PHASE_UNKNOWN: Final = "THREE_PHASE_UNKNOWN"

# Read-only: the core looks hardware texts up here on every first contact with a meter.
single_phase_hardware_str_to_registry_str: Final = MappingProxyType(
    {
        # single element
        "HXS-100": "P0.se",
        "HXS-110": "P0.se1",
        "HXS-120": "P0.se2",
        # twin element
        "HXT-200": "P0.te",
        "HXT-210": "P0.te1",
        "HXT-220": "P0.te2",
    }
)

_THREE_PHASE: Final = frozenset({THREE_PHASE_AX, THREE_PHASE_CX, THREE_PHASE_UNKNOWN})
_SINGLE_ELEMENT_RE: Final = re.compile(r"P0\.se\d*")
_TWIN_ELEMENT_RE: Final = re.compile(r"P0\.te\d*")


def _check(hardware: object) -> str:
    if not isinstance(hardware, str):
        raise TypeError(
            "hardware must be a hardware string such as 'P0.se', 'SINGLE_PHASE_UNKNOWN' or "
            f"'P1.ax' (as returned by HalvexMediatorAPI.hardware), got {type(hardware).__name__}"
        )
    return hardware


def is_three_phase(hardware: str) -> bool:
    """True for the three-phase hardware strings: ``P1.ax``, ``P1.cx``, ``THREE_PHASE_UNKNOWN``."""
    return _check(hardware) in _THREE_PHASE


def is_twin_element(hardware: str) -> bool:
    """True for the registry strings of twin-element single-phase models (``P0.te...``).

    ``SINGLE_PHASE_UNKNOWN`` is not twin-element: for an unknown model only element A is read.
    """
    return _TWIN_ELEMENT_RE.fullmatch(_check(hardware)) is not None


def meter_kind(hardware: str) -> str:
    """Classify a hardware string for display.

    Returns ``"three_phase"`` for every three-phase string (``THREE_PHASE_UNKNOWN`` included),
    ``"twin_element"`` / ``"single_element"`` for the registry strings, and ``"unknown"`` for
    ``SINGLE_PHASE_UNKNOWN`` and any text that is not a hardware string.
    """
    if is_three_phase(hardware):
        return "three_phase"
    if _TWIN_ELEMENT_RE.fullmatch(hardware):
        return "twin_element"
    if _SINGLE_ELEMENT_RE.fullmatch(hardware):
        return "single_element"
    return "unknown"
