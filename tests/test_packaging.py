"""The Python versions the package declares are the ones the compiled core is built for."""

from __future__ import annotations

import re
import sys
import tomllib
from pathlib import Path

import pytest
from packaging.specifiers import SpecifierSet

ROOT = Path(__file__).resolve().parents[1]


def version(text: str) -> tuple[int, ...]:
    return tuple(int(part) for part in text.split("."))


def admits(requires: str, candidate: tuple[int, ...]) -> bool:
    return SpecifierSet(requires).contains(".".join(map(str, candidate)))


def cmake_version() -> str:
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"set\(HALVEX_PYTHON_VERSION\s+([\d.]+)\)", text).group(1)


REQUIRES = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["requires-python"]


@pytest.mark.parametrize(
    "candidate, expected",
    [((3, 13, 0), True), ((3, 13, 11), True), ((3, 12, 9), False), ((3, 14, 0), False), ((4, 0, 0), False)],
)
def test_requires_python_is_exactly_the_built_minor_version(candidate, expected):
    assert admits(REQUIRES, candidate) is expected


def test_cmake_builds_for_the_declared_version():
    built = version(cmake_version())
    assert admits(REQUIRES, built + (0,)) and not admits(REQUIRES, (built[0], built[1] + 1, 0))
    assert "EXACT" in (ROOT / "CMakeLists.txt").read_text().split("HALVEX_PYTHON_VERSION}", 1)[1].split(")")[0]
    assert sys.version_info[:2] == built  # the interpreter running the tests is one the core is built for
