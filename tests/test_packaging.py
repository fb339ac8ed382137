"""The Python versions the package declares are the ones the compiled core is built for."""

from __future__ import annotations

import re
import sys
import tomllib
from pathlib import Path

import pytest
from packaging.specifiers import SpecifierSet

ROOT = Path(__file__).resolve().parents[1]
REQUIRES = SpecifierSet(tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["requires-python"])
CMAKE = (ROOT / "CMakeLists.txt").read_text()


@pytest.mark.parametrize(
    "candidate, admitted",
    [("3.13.0", True), ("3.13.11", True), ("3.12.9", False), ("3.14.0", False), ("4.0.0", False)],
)
def test_requires_python_is_exactly_the_built_minor_version(candidate, admitted):
    assert REQUIRES.contains(candidate) is admitted


def test_cmake_builds_for_the_declared_version():
    major, minor = map(int, re.search(r"set\(HALVEX_PYTHON_VERSION\s+(\d+)\.(\d+)\)", CMAKE).groups())
    assert REQUIRES.contains(f"{major}.{minor}.0") and not REQUIRES.contains(f"{major}.{minor + 1}.0")
    assert re.search(r"find_package\(Python \$\{HALVEX_PYTHON_VERSION\} EXACT\b", CMAKE)
    assert sys.version_info[:2] == (major, minor)  # the interpreter running the tests is one the core is built for
