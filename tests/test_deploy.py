"""What an operator installs and schedules: the wheel and the sdist, and the systemd units."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
UNITS = sorted((ROOT / "deploy" / "systemd").glob("halvex-collect.*"))
INSTALLED = "/opt/halvex/bin/halvex"  # where docs/deploy.md installs the tool


@pytest.fixture(scope="session")
def dist(tmp_path_factory):
    """`make wheel`'s wheel and sdist, built once (the core's build folder is the one
    `make install` filled, so nothing is compiled again)."""
    out = tmp_path_factory.mktemp("dist")
    built = subprocess.run([sys.executable, "-m", "build", "--no-isolation", "--sdist", "--wheel", "--outdir",
                            str(out), str(ROOT)], capture_output=True, text=True, timeout=1200)
    assert built.returncode == 0, built.stdout[-3000:] + built.stderr[-3000:]
    return out


@pytest.mark.slow
def test_the_wheel_installs_in_a_fresh_venv_with_halvex_on_its_path(dist, tmp_path):
    (wheel,) = dist.glob("*.whl")
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=300)
    pip = subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "-q", str(wheel)],
                         capture_output=True, text=True, timeout=900)
    assert pip.returncode == 0, pip.stderr[-3000:]
    # Nothing of this source tree or of the test's environment: the venv's PATH only.
    env = {"PATH": f"{venv / 'bin'}{os.pathsep}{os.defpath}", "HOME": str(tmp_path), "LANG": "C.UTF-8"}
    version = subprocess.run(["halvex", "--version"], capture_output=True, text=True, env=env, cwd=tmp_path,
                             timeout=120)
    assert (version.returncode, version.stdout.strip()) == (0, "halvex 0.1.0"), version.stderr
    read = subprocess.run(["halvex", "--simulate", "read", "HX1000001", "--json"], capture_output=True, text=True,
                          env=env, cwd=tmp_path, timeout=120)
    assert read.returncode == 0, read.stderr  # the compiled core came with the wheel


@pytest.mark.slow
def test_the_sdist_holds_what_building_the_core_needs_and_nothing_of_a_build(dist):
    (sdist,) = dist.glob("*.tar.gz")
    with tarfile.open(sdist) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    needed = {"pyproject.toml", "CMakeLists.txt", "README.md", "src/api_core/module.cpp",
              "src/python/norvo_halvex/cli/app.py", "src/python/quarn_frame_protocol/__init__.py",
              "deploy/systemd/halvex-collect.service"}
    assert needed <= names
    assert not [n for n in names if n.startswith((".venv/", "build/", "dist/")) or n.endswith(".so")]


@pytest.mark.parametrize("unit", UNITS, ids=[u.name for u in UNITS])
def test_the_units_in_the_deployment_guide_are_the_ones_shipped(unit):
    assert unit.read_text() in (ROOT / "docs" / "deploy.md").read_text()


def test_the_systemd_units_verify(tmp_path):
    analyze = shutil.which("systemd-analyze")
    if analyze is None:
        pytest.skip("systemd-analyze is not installed here (no systemd)")
    halvex = shutil.which("halvex", path=str(Path(sys.executable).parent)) or sys.executable
    for unit in UNITS:  # the tool where this host has it, so that verify finds the command
        (tmp_path / unit.name).write_text(unit.read_text().replace(INSTALLED, halvex))
    checked = subprocess.run([analyze, "verify", *(str(tmp_path / u.name) for u in UNITS)],
                             capture_output=True, text=True, timeout=120)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert INSTALLED in UNITS[0].read_text()
