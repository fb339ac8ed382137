"""Rules the C++ sources keep about where things live: the pure C-API layer knows nothing of the
class, operations report failures by throwing only, tuple ownership hand-offs are written once."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

SOURCES = Path(__file__).resolve().parents[2] / "src" / "api_core"

RULES = [
    # (folder glob, pattern that must not appear, what it means)
    ("pyapi/*", r'#include\s+"(binding|ops)/', "the C-API layer includes the class's binding or operations"),
    ("ops/*", r"\btry_call", "an operation uses a non-throwing call form"),
    ("ops/*", r"return\s+Ref\(\)\s*;", "an operation returns an empty Ref"),
    ("ops/*", r"\bPyErr_(SetRaisedException|Restore)\b", "an operation sets a raised error without throwing"),
    ("**/*", r"\bPyTuple_SET_ITEM\b", "a tuple slot is filled outside tuple_set"),
]


@pytest.mark.parametrize("pattern_glob, pattern, meaning", RULES, ids=[r[2] for r in RULES])
def test_rule(pattern_glob, pattern, meaning):
    files = [p for p in SOURCES.glob(pattern_glob) if p.suffix in (".hpp", ".cpp")]
    offenders = []
    for path in files:
        if path.relative_to(SOURCES).as_posix() == "pyapi/ref.hpp" and "PyTuple_SET_ITEM" in pattern:
            continue
        for number, line in enumerate(path.read_text().splitlines(), 1):
            if re.search(pattern, line):
                offenders.append(f"{path.relative_to(SOURCES)}:{number}: {line.strip()}")
    assert files and offenders == [], meaning


@pytest.mark.parametrize("folder, names", [
    ("pyapi", {"ref", "error", "names", "globals", "call", "convert", "exceptions", "state"}),
    ("binding", {"method_table", "arguments", "method_type"}),
])
def test_layers_hold_what_they_should(folder, names):
    assert names <= {p.stem for p in (SOURCES / folder).iterdir()}
