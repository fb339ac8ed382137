"""Rules the C++ sources keep so that references and module state stay sound."""

from __future__ import annotations

import re
from pathlib import Path

SOURCES = Path(__file__).resolve().parents[2] / "src" / "api_core"


def test_reference_counting_stays_in_the_reference_header():
    offenders = []
    for path in sorted(SOURCES.rglob("*.[ch]pp")):
        if path.relative_to(SOURCES).as_posix() == "pyapi/ref.hpp":
            continue
        for number, line in enumerate(path.read_text().splitlines(), 1):
            if re.search(r"\bPy_(X?DECREF|X?INCREF|CLEAR|X?SETREF|X?NewRef)\b", line):
                offenders.append(f"{path.relative_to(SOURCES)}:{number}: {line.strip()}")
    assert SOURCES.is_dir() and offenders == []


def test_no_single_phase_module_lookups_or_static_objects():
    text = "\n".join(p.read_text() for p in SOURCES.rglob("*.[ch]pp"))
    assert "PyState_FindModule" not in text
    assert not re.search(r"static\s+PyObject\s*\*", text)  # objects live in module state or Ref
