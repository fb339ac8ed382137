"""The output-safety rules, still importable from here; they live in ``norvo_halvex.untrusted``."""

from norvo_halvex.untrusted import (
    CONTROL_ESCAPES,
    FORMULA_GUARD,
    FORMULA_PREFIXES,
    NUMERIC_CELL,
    for_csv_cell,
    for_terminal,
)

__all__ = ["CONTROL_ESCAPES", "FORMULA_GUARD", "FORMULA_PREFIXES", "NUMERIC_CELL", "for_csv_cell", "for_terminal"]
