"""The demo's files: one folder in the user's cache that the next run replaces."""

from __future__ import annotations

import os

import pytest

from norvo_halvex.cli.commands.demo import default_folder, fresh_folder
from norvo_halvex.failures import LocalError


def _make(path, what):
    """What a folder path holds before the demo: a previous run's files, a symlink to
    another folder, or a file."""
    if what == "previous-run":
        os.makedirs(path / "nested")
        (path / "nested" / "old.csv").write_text("old")
    elif what == "symlink":
        (path.parent / "elsewhere").mkdir()
        (path.parent / "elsewhere" / "keep.txt").write_text("keep")
        path.symlink_to(path.parent / "elsewhere")
    elif what == "file":
        path.write_text("someone's notes")


@pytest.mark.parametrize(
    "before, refused",
    [("nothing", None), ("previous-run", None), ("symlink", "is a symlink, not the demo's folder"),
     ("file", "is not a folder, not the demo's folder")],
)
def test_the_folder_is_new_and_empty_and_nothing_else_is_removed(tmp_path, before, refused):
    path = tmp_path / "halvex" / "demo"
    path.parent.mkdir()
    _make(path, before)
    untouched = sorted(str(p) for p in tmp_path.rglob("*") if p.parent != path)
    if refused is None:
        with fresh_folder(str(path)) as folder:
            assert folder == str(path) and os.listdir(folder) == []
            assert not path.is_symlink() and path.stat().st_mode & 0o777 == 0o700
        return
    with pytest.raises(LocalError, match=refused) as info:
        with fresh_folder(str(path)):
            pass
    assert "--out DIR" in str(info.value) and info.value.attempted is False
    assert sorted(str(p) for p in tmp_path.rglob("*") if p.parent != path) == untouched


def test_a_second_demo_at_the_same_time_is_refused(tmp_path):
    path = str(tmp_path / "halvex" / "demo")
    with fresh_folder(path):
        open(os.path.join(path, "in-use.csv"), "w").close()
        with pytest.raises(LocalError, match="another halvex demo is using"):
            with fresh_folder(path):
                pass
        assert os.listdir(path) == ["in-use.csv"]  # the running demo's files stay


def test_each_demo_replaces_the_last_ones_files_and_says_where_they_are(cli, tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    folder = tmp_path / "halvex" / "demo"
    assert default_folder() == str(folder)
    first = cli("--json", "demo")
    assert first.code == 0, first.err
    assert first.json()["folder"] == str(folder)
    kept = sorted(os.listdir(folder))
    assert "halvex.duckdb" in kept and any(name.startswith("intervals-") for name in kept)
    (folder / "stray.txt").write_text("from an earlier run")
    second = cli("demo")
    assert second.code == 0, second.err
    assert f"its files go to {folder} (the next demo replaces them)" in second.out
    assert sorted(os.listdir(folder)) == kept and os.listdir(tmp_path / "halvex") == ["demo"]
