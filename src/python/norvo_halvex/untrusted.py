"""Text that came from a meter or the mediator, made safe to show and to hand to spreadsheets.

A mediator's error detail or a meter's serial is data, not markup: an ESC sequence in it
must not retitle or repaint the operator's terminal, and a cell like ``=HYPERLINK(...)``
must not run as a formula when someone opens the CSV in a spreadsheet.
"""

from __future__ import annotations

import re

__all__ = [
    "CONTROL_ESCAPES",
    "FORMULA_GUARD",
    "FORMULA_PREFIXES",
    "JSON_ESCAPES",
    "NUMERIC_CELL",
    "for_csv_cell",
    "for_terminal",
    "for_terminal_lines",
]

#: First characters that make a spreadsheet treat a cell as a formula (or strip and run it).
FORMULA_PREFIXES: tuple[str, ...] = ("=", "+", "-", "@", "\t", "\r")
#: What is put in front of such a cell: spreadsheets show the text as it is after it.
FORMULA_GUARD = "'"

_SHORT = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}
# Bidirectional overrides and isolates reorder what is shown; line and paragraph
# separators break a line where a terminal shows none.
_INVISIBLE = "\u061c\u200e\u200f\u2028\u2029\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069"


def _escape(code: int) -> str:
    char = chr(code)
    if char in _SHORT:
        return _SHORT[char]
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


#: Code point -> what ``for_terminal`` shows instead: the C0 controls (ESC among them), DEL,
#: the C1 controls (0x9b starts a sequence on some terminals on its own) and the invisible
#: reordering characters.
CONTROL_ESCAPES: dict[int, str] = {code: _escape(code) for code in (*range(0x20), *range(0x7F, 0xA0))}
CONTROL_ESCAPES.update({ord(c): _escape(ord(c)) for c in _INVISIBLE})

#: For JSON text: what ``for_terminal`` escapes above the C0 controls (JSON escapes those
#: itself), written as ``\u`` escapes, which decode to the same text.
JSON_ESCAPES: dict[int, str] = {code: f"\\u{code:04x}" for code in CONTROL_ESCAPES if code >= 0x20}

#: A cell that is just a number is left alone even when it starts with '-' or '+'.
NUMERIC_CELL = re.compile(r"[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?")


def for_terminal(text: object) -> str:
    """``text`` with every control character written out visibly (``\\x1b``, ``\\r``, ...)."""
    if not isinstance(text, str):
        text = str(text)
    return text.translate(CONTROL_ESCAPES)


def for_terminal_lines(text: str) -> str:
    """``for_terminal`` for text of several lines: its line breaks stay line breaks."""
    return "\n".join(for_terminal(line) for line in text.split("\n"))


def for_csv_cell(value):
    """A CSV cell that a spreadsheet shows as text: text beginning with one of
    ``FORMULA_PREFIXES`` gets ``FORMULA_GUARD`` in front. Numbers, numeric text and
    anything that is not text come back unchanged."""
    if not isinstance(value, str) or not value.startswith(FORMULA_PREFIXES):
        return value
    if NUMERIC_CELL.fullmatch(value):
        return value
    return FORMULA_GUARD + value
