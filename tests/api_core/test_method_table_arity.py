"""The method table pairs each row with an operation of the same arity, checked by the compiler:
a row whose operation reads a different number of arguments than the row binds does not build."""

from __future__ import annotations

import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

SOURCES = Path(__file__).resolve().parents[2] / "src" / "api_core"
COMPILER = shutil.which("c++") or shutil.which("g++")

SNIPPET = """
#include "binding/method_table.hpp"
namespace {
halvex::py::Ref probe(halvex::py::Args<%d>&) { return halvex::py::Ref::none(); }
constexpr halvex::MethodRow row{"probe", {%s}, "None", halvex::op<probe>};
}
int main() { return row.count == 0; }
"""


@pytest.mark.skipif(COMPILER is None, reason="no C++ compiler on the PATH")
@pytest.mark.parametrize(
    "arity, params, builds",
    [
        (1, "", True),
        (2, '{"serial", "str"}', True),
        (3, '{"serial", "str"}, {"log_idx", "int"}', True),
        (2, "", False),
        (2, '{"serial", "str"}, {"log_idx", "int"}', False),
        (4, '{"serial", "str"}, {"log_idx", "int"}', False),
    ],
)
def test_row_and_operation_arity_must_agree(tmp_path, arity, params, builds):
    source = tmp_path / "probe.cpp"
    source.write_text(SNIPPET % (arity, params))
    done = subprocess.run(
        [COMPILER, "-std=c++20", "-fsyntax-only", "-I", str(SOURCES), "-I", sysconfig.get_paths()["include"],
         str(source)],
        capture_output=True, text=True, timeout=120,
    )
    if builds:
        assert done.returncode == 0, done.stderr
    else:
        assert done.returncode != 0
        assert "argument count differs from the row's parameters" in done.stderr
