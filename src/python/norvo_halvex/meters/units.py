"""Register quantities, their units, and how raw energy counts become kWh.

Meters count energy as integers. Whole-current meters (single-phase models and ``P1.ax``)
count Wh / varh / VAh; CT-operated three-phase meters (``P1.cx``, meter type
``cx_ct_operated``) count 0.1 Wh. Shown in kWh / kvarh / kVAh that is a divisor of 1000 with
3 decimals, or 10000 with 4 decimals: every count has an exact decimal text.

The C++ core computes its register floats itself (``_scale_value``); a test pins it to
``scale_for`` here.
"""

from __future__ import annotations

from dataclasses import dataclass
from types import MappingProxyType
from typing import Final

from quarn_frame_protocol.quarn_message import QuarnMessage
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum
from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import VALUE_NAMES

from norvo_halvex.meters.hardware import THREE_PHASE_CX, MeterKind

__all__ = [
    "CT_OPERATED",
    "ELEMENTS",
    "ELEMENT_REGISTERS",
    "MOST_DECIMALS",
    "REGISTER_COLUMNS",
    "REGISTER_UNITS",
    "THREE_PHASE_QUANTITIES",
    "THREE_PHASE_TOTALS",
    "WHOLE_CURRENT",
    "Scale",
    "format_scaled",
    "is_ct_operated",
    "kilo_value",
    "register_column",
    "register_text",
    "scale_for",
]

#: The metering elements of a single-phase meter, as registers and columns name them.
ELEMENTS: Final = ("a", "b")

#: The four registers of a single-phase element, as the element read returns them.
ELEMENT_REGISTERS: Final = ("import_active", "export_active", "import_reactive", "export_reactive")

#: The six three-phase quantities, in the order a meter sends them in an interval. The
#: three-phase totals use the same names.
THREE_PHASE_QUANTITIES: Final[tuple[str, ...]] = VALUE_NAMES

#: Unit of each register after scaling.
REGISTER_UNITS: Final = MappingProxyType(
    {
        "import_active": "kWh",
        "export_active": "kWh",
        "import_reactive": "kvarh",
        "export_reactive": "kvarh",
        "active_import": "kWh",
        "active_export": "kWh",
        "reactive_import": "kvarh",
        "reactive_export": "kvarh",
        "apparent_import": "kVAh",
        "apparent_export": "kVAh",
    }
)



def register_column(quantity: str, element: str = "") -> str:
    """The column of a register in stored tables and written files: its name with its unit in
    lower case, after the element of a single-phase register (``active_import_kwh``,
    ``a_import_active_kwh``)."""
    column = f"{quantity}_{REGISTER_UNITS[quantity].lower()}"
    return f"{element}_{column}" if element else column


#: Every register's column, by the key its value is kept under (``a_import_active`` for
#: element A's, ``active_import`` for a three-phase total): the elements' four registers,
#: then the six three-phase totals.
REGISTER_COLUMNS: Final = MappingProxyType(
    {
        **{f"{e}_{k}": register_column(k, e) for e in ELEMENTS for k in ELEMENT_REGISTERS},
        **{k: register_column(k) for k in THREE_PHASE_QUANTITIES},
    }
)

#: The object holding each three-phase total.
THREE_PHASE_TOTALS: Final = MappingProxyType(
    {name: ObjectIdEnum[f"three_phase_total_{name}"] for name in THREE_PHASE_QUANTITIES}
)


@dataclass(frozen=True, slots=True)
class Scale:
    """How a meter's raw counts become kWh: ``count / divisor``, shown with ``decimals``."""

    divisor: int
    decimals: int

    @property
    def counts_per_wh(self) -> int:
        """Raw counts in one Wh (1, or 10 on CT-operated meters)."""
        return self.divisor // 1000


WHOLE_CURRENT: Final = Scale(1000, 3)
CT_OPERATED: Final = Scale(10000, 4)
#: Decimals that hold the value of any meter exactly.
MOST_DECIMALS: Final = max(WHOLE_CURRENT.decimals, CT_OPERATED.decimals)


def is_ct_operated(meter: object) -> bool:
    """True when ``meter`` names a CT-operated meter.

    ``meter`` may be a hardware string (only the exact text ``"P1.cx"`` is CT-operated), a
    three-phase meter type (``cx_ct_operated``, or its number) or a ``MeterKind``. Anything
    else, None included, is whole-current.
    """
    if isinstance(meter, MeterKind):
        return meter.ct_operated
    if isinstance(meter, str):
        return meter == THREE_PHASE_CX
    return bool(meter == QuarnMessage.ThreePhaseMeterType.cx_ct_operated)


def scale_for(meter: object) -> Scale:
    """``CT_OPERATED`` for a CT-operated meter (see ``is_ct_operated``), else ``WHOLE_CURRENT``."""
    return CT_OPERATED if is_ct_operated(meter) else WHOLE_CURRENT


def kilo_value(count: int | None, meter: object) -> float | None:
    """A raw count in kWh / kvarh / kVAh as a float (None stays None).

    The division is correctly rounded, as the core's register values are.
    """
    if count is None:
        return None
    return count / scale_for(meter).divisor


def format_scaled(count: int | None, scale: Scale) -> str:
    """A raw count as exact decimal text in kWh with ``scale.decimals`` places; "" for None.

    Integer arithmetic, so there is no float rounding noise: 4294967295 counts of 0.1 Wh are
    ``"429496.7295"``.
    """
    if count is None:
        return ""
    if type(count) is int and count >= 0:
        # A download formats hundreds of these: one printf-style pass, same text.
        return _SCALED_TEXT[scale.decimals] % divmod(count, scale.divisor)
    sign = "-" if count < 0 else ""
    whole, frac = divmod(abs(count), scale.divisor)
    return f"{sign}{whole}.{frac:0{scale.decimals}d}"


class _ScaledText(dict):
    """``"%d.%0<n>d"`` for ``n`` decimals, made on first use."""

    def __missing__(self, decimals: int) -> str:
        pattern = self[decimals] = f"%d.%0{decimals}d"
        return pattern


_SCALED_TEXT = _ScaledText()


def register_text(value: float | None, meter: object) -> str | None:
    """A register value as the client returns it (kWh, kVArh or kVAh as a float) as decimal
    text with the meter's decimals (see ``scale_for``): ``16676.630`` on a whole-current
    meter, ``25241.6452`` on a CT-operated one; None stays None.

    The float is the count divided by the meter's divisor, correctly rounded, so this text is
    the count's exact decimal: what ``format_scaled`` gives for the count itself.
    """
    if value is None:
        return None
    return f"{value:.{scale_for(meter).decimals}f}"
