"""Rules the C++ sources keep: only the documented C API of the interpreter (with its unstable
tier and the watchers), reference counts and tuple hand-offs written in the reference header
only, module state and objects found through the module, a pure C-API layer that knows nothing
of the class, and operations that report failures by throwing only."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

SOURCES = Path(__file__).resolve().parents[2] / "src" / "api_core"
REF_HEADER = "pyapi/ref.hpp"

RULES = [
    # (files, pattern that must not appear, the one file allowed to, what it means)
    ("**/*", r"#\s*include\s*[<\"](internal/|cpython/pycore)|\bPy_BUILD_CORE", None,
     "an internal header of the interpreter is included"),
    ("**/*", r"\b_Py[A-Za-z]", None, "a private function, macro or type of the interpreter is used"),
    ("**/*", r"\b(PyThreadState|PyDictKeysObject|PyDictValues|PyDictUnicodeEntry|PyHeapTypeObject|PyDictObject)\b",
     None, "the layout of the thread state, dicts or heap types is read"),
    ("**/*", r"\b(ht_cached_keys|tp_version_tag|tp_watched|tp_versions_used|ma_keys|ma_values|ma_version_tag|"
             r"dk_\w+|me_key|me_value|current_exception|c_recursion_remaining|py_recursion_remaining)\b",
     None, "an undocumented member of an interpreter struct is read"),
    ("**/*", r"\b(PY_VERSION_HEX|Py_GIL_DISABLED)\b", None, "the build depends on one interpreter version's layout"),
    ("**/*", r"\bPyEval_Get(Frame)?Builtins\b", None, "builtins are taken from the calling frame"),
    ("**/*", r"\bPy_(X?DECREF|X?INCREF|CLEAR|X?SETREF|X?NewRef)\b", REF_HEADER,
     "a reference count is touched outside the reference header"),
    ("**/*", r"\bPyTuple_SET_ITEM\b", REF_HEADER, "a tuple slot is filled outside tuple_set"),
    ("**/*", r"\bPyState_FindModule\b", None, "module state is found by a single-phase module lookup"),
    ("**/*", r"static\s+PyObject\s*\*", None, "an object lives in a static instead of module state or a Ref"),
    ("pyapi/*", r'#include\s+"(binding|ops)/', None, "the C-API layer includes the class's binding or operations"),
    ("ops/*", r"\btry_call", None, "an operation uses a non-throwing call form"),
    ("ops/*", r"return\s+Ref\(\)\s*;", None, "an operation returns an empty Ref"),
    ("ops/*", r"\bPyErr_(SetRaisedException|Restore)\b", None, "an operation sets a raised error without throwing"),
]


@pytest.mark.parametrize("files, pattern, allowed, meaning", RULES, ids=[r[3] for r in RULES])
def test_rule(files, pattern, allowed, meaning):
    paths = [p for p in SOURCES.glob(files)
             if p.suffix in (".hpp", ".cpp") and p.relative_to(SOURCES).as_posix() != allowed]
    offenders = [f"{p.relative_to(SOURCES)}:{number}: {line.strip()}"
                 for p in paths for number, line in enumerate(p.read_text().splitlines(), 1) if re.search(pattern, line)]
    assert paths and offenders == [], meaning


@pytest.mark.parametrize("folder, names", [
    ("pyapi", {"ref", "error", "names", "globals", "methods", "watchers", "call", "convert", "exceptions", "state"}),
    ("binding", {"method_table", "arguments", "method_type"}),
])
def test_layers_hold_what_they_should(folder, names):
    assert names <= {p.stem for p in (SOURCES / folder).iterdir()}
