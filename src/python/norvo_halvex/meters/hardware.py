"""Hardware strings, the registry of single-phase models, and the kinds of meter.

Every meter is classified by a hardware string:

- a registry string, for a single-phase model listed in
  ``single_phase_hardware_str_to_registry_str`` (keyed by the hardware text the meter
  reports, NULs and surrounding whitespace removed);
- ``"SINGLE_PHASE_UNKNOWN"`` for a single-phase model not in that mapping;
- ``"P1.ax"`` (whole-current), ``"P1.cx"`` (CT-operated) or ``"THREE_PHASE_UNKNOWN"`` for
  three-phase meters (``three_phase_hardware_str`` turns the meter type a three-phase meter
  reports into one of these).

Registry strings of single-phase models are ``P0.<kind><revision>``: ``P0`` is the
single-phase product line, ``<kind>`` is ``se`` (single element: one metering element, A) or
``te`` (twin element: elements A and B), and ``<revision>`` is the model's revision digit,
left out for the base model of a series (``HXS-100`` -> ``P0.se``, ``HXS-110`` -> ``P0.se1``,
``HXT-220`` -> ``P0.te2``). ``is_twin_element`` goes by this naming rule, so a model added to
the registry under it is classified without further changes here.

``MeterKind`` names the four kinds of meter by what they hold (one or two elements, or three
phases counted whole-current or through current transformers); the simulator builds its
fleet from them.
"""

from __future__ import annotations

import enum
import re
from types import MappingProxyType
from typing import Final

from quarn_frame_protocol.quarn_message import QuarnMessage

__all__ = [
    "SINGLE_PHASE_UNKNOWN",
    "THREE_PHASE_AX",
    "THREE_PHASE_CX",
    "THREE_PHASE_UNKNOWN",
    "MeterKind",
    "is_three_phase",
    "is_twin_element",
    "meter_kind",
    "single_phase_hardware_str_to_registry_str",
    "three_phase_hardware_str",
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

_MeterType = QuarnMessage.ThreePhaseMeterType


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


def three_phase_hardware_str(meter_type: object) -> str:
    """Hardware string of a three-phase meter from the meter type it reports.

    ``ax_whole_current`` -> ``"P1.ax"``, ``cx_ct_operated`` -> ``"P1.cx"``, anything else
    (``unconfigured``, a value this library does not know) -> ``"THREE_PHASE_UNKNOWN"``.
    """
    if meter_type == _MeterType.ax_whole_current:
        return THREE_PHASE_AX
    if meter_type == _MeterType.cx_ct_operated:
        return THREE_PHASE_CX
    return THREE_PHASE_UNKNOWN


class MeterKind(enum.StrEnum):
    """The four kinds of meter: what a meter holds, independent of its model."""

    SINGLE_ELEMENT = "single_element"
    TWIN_ELEMENT = "twin_element"
    THREE_PHASE_AX = "three_phase_ax"
    THREE_PHASE_CX = "three_phase_cx"

    @property
    def is_three_phase(self) -> bool:
        return self in (MeterKind.THREE_PHASE_AX, MeterKind.THREE_PHASE_CX)

    @property
    def has_element_b(self) -> bool:
        return self is MeterKind.TWIN_ELEMENT

    @property
    def ct_operated(self) -> bool:
        """True for the kind whose energy counts are in 0.1 Wh (see ``meters.scaling``)."""
        return self is MeterKind.THREE_PHASE_CX

    @property
    def meter_type(self) -> QuarnMessage.ThreePhaseMeterType | None:
        """The meter type a three-phase meter of this kind reports; None for single-phase kinds."""
        return _KIND_METER_TYPE.get(self)

    @property
    def hardware_str(self) -> str | None:
        """The hardware string of a three-phase kind (``P1.ax`` / ``P1.cx``); None for
        single-phase kinds, whose string depends on the model (the registry)."""
        meter_type = self.meter_type
        return None if meter_type is None else three_phase_hardware_str(meter_type)


_KIND_METER_TYPE: Final = MappingProxyType(
    {
        MeterKind.THREE_PHASE_AX: _MeterType.ax_whole_current,
        MeterKind.THREE_PHASE_CX: _MeterType.cx_ct_operated,
    }
)
