"""OBIS codes: the text "C.D.E" and the object identifier a meter answers under.

An OBIS object "C.D.E" (each part 0..255) is object ``0x01000000 | C << 16 | D << 8 | E``.
The meter's own objects (``ObjectIdEnum``) stay below ``0x10000``, so the two never collide.
"""

from __future__ import annotations

import re
from typing import Final

from .quarn_object_id_enum import ObjectIdEnum

__all__ = [
    "OBIS_OBJECT_BASE",
    "describe_object_id",
    "is_obis_object_id",
    "normalise_obis_code",
    "obis_code",
    "obis_object_id",
]

OBIS_OBJECT_BASE: Final = 0x01000000

_TRIPLET: Final = re.compile(r"(\d{1,3})\.(\d{1,3})\.(\d{1,3})", re.ASCII)
_EXPECTED: Final = 'expected an OBIS triplet "C.D.E" of three decimal numbers 0..255, e.g. "1.8.0"'


def obis_object_id(text: str) -> int:
    """Object identifier of the OBIS code ``text`` ("C.D.E", each part 1 to 3 ASCII digits, 0..255).

    Exact text only: surrounding whitespace is refused (strip user input first). Raises
    TypeError for a non-str and ValueError for text that is not such a triplet.
    """
    if not isinstance(text, str):
        raise TypeError(f"OBIS code must be text (str), got {type(text).__name__}: {_EXPECTED}")
    match = _TRIPLET.fullmatch(text)
    if match is None:
        raise ValueError(f"invalid OBIS code {text!r}: {_EXPECTED}")
    c, d, e = (int(part) for part in match.groups())
    if max(c, d, e) > 255:
        raise ValueError(f"invalid OBIS code {text!r}: a part is above 255; {_EXPECTED}")
    return OBIS_OBJECT_BASE | c << 16 | d << 8 | e


def is_obis_object_id(object_id: int) -> bool:
    """True for the identifiers of OBIS objects (``0x01000000`` to ``0x01FFFFFF``)."""
    return OBIS_OBJECT_BASE <= object_id < 2 * OBIS_OBJECT_BASE


def obis_code(object_id: int) -> str:
    """The text "C.D.E" of an OBIS object identifier; ValueError for any other identifier."""
    if not is_obis_object_id(object_id):
        raise ValueError(f"0x{int(object_id):x} is not an OBIS object identifier (0x01CCDDEE)")
    return f"{(object_id >> 16) & 0xFF}.{(object_id >> 8) & 0xFF}.{object_id & 0xFF}"


def normalise_obis_code(text: str) -> str:
    """User input as a canonical OBIS code: whitespace around it dropped, leading zeros of
    the parts dropped (``" 01.8.0 "`` -> ``"1.8.0"``). Errors as ``obis_object_id``."""
    if not isinstance(text, str):
        return obis_code(obis_object_id(text))  # raises the TypeError
    return obis_code(obis_object_id(text.strip()))


def describe_object_id(object_id: int) -> str:
    """An object identifier as error texts show it: ``"OBIS object 1.8.0 (0x01010800)"``,
    ``"object read_element_a (0x0020)"`` or ``"object 0x7777"``."""
    value = int(object_id)
    if is_obis_object_id(value):
        return f"OBIS object {obis_code(value)} (0x{value:08x})"
    name = getattr(object_id, "name", None)
    if name is None:
        try:
            name = ObjectIdEnum(value).name
        except ValueError:
            return f"object 0x{value:04x}"
    return f"object {name} (0x{value:04x})"
