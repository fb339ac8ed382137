"""norvo_halvex.files: a target is replaced whole or not at all, and no temporary file stays."""

from __future__ import annotations

import os

import pytest

from norvo_halvex.files import atomic_path, atomic_write


class Boom(Exception):
    pass


def via_write(path, data: bytes, fail: bool = False):
    with atomic_write(path, "wb") as out:
        out.write(data)
        if fail:
            raise Boom


def via_text(path, data: bytes, fail: bool = False):
    with atomic_write(path, newline="") as out:
        out.write(data.decode())
        if fail:
            raise Boom


def via_path(path, data: bytes, fail: bool = False):
    with atomic_path(path) as tmp:
        assert os.path.dirname(tmp) == os.path.dirname(os.path.realpath(path))
        assert not os.path.exists(tmp)
        with open(tmp, "wb") as out:
            out.write(data)
        if fail:
            raise Boom


WRITERS = [via_write, via_text, via_path]


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("existing", [None, 0o640, 0o600])
def test_clean_exit_replaces_and_keeps_permissions(tmp_path, writer, existing):
    target = tmp_path / "out.csv"
    if existing is not None:
        target.write_bytes(b"old content that is longer than the new\n")
        target.chmod(existing)
    writer(target, b"a,b\r\n1,2\n")
    assert target.read_bytes() == b"a,b\r\n1,2\n"
    assert os.listdir(tmp_path) == ["out.csv"]
    if existing is not None:
        assert target.stat().st_mode & 0o777 == existing


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("existing", [None, b"previous\n"])
def test_exception_leaves_target_as_it_was(tmp_path, writer, existing):
    target = tmp_path / "out.csv"
    if existing is not None:
        target.write_bytes(existing)
    with pytest.raises(Boom):
        writer(target, b"half of it", fail=True)
    assert os.listdir(tmp_path) == ([] if existing is None else ["out.csv"])
    if existing is not None:
        assert target.read_bytes() == existing


@pytest.mark.parametrize("writer", WRITERS)
def test_symlink_stays_and_its_file_is_replaced(tmp_path, writer):
    real = tmp_path / "data" / "real.csv"
    real.parent.mkdir()
    real.write_bytes(b"old\n")
    link = tmp_path / "link.csv"
    link.symlink_to(real)
    writer(link, b"new\n")
    assert link.is_symlink() and real.read_bytes() == b"new\n"
    assert sorted(os.listdir(real.parent)) == ["real.csv"]


@pytest.mark.parametrize(
    "fail_in, error",
    [("fsync", "Input/output error"), ("replace", "Permission denied")],
)
@pytest.mark.parametrize("writer", WRITERS)
def test_failing_sync_or_rename_keeps_the_old_file(tmp_path, monkeypatch, writer, fail_in, error):
    target = tmp_path / "out.csv"
    target.write_bytes(b"previous\n")
    errno = 5 if fail_in == "fsync" else 13

    def fail(*args):
        raise OSError(errno, error)

    monkeypatch.setattr(os, fail_in, fail)
    with pytest.raises(OSError, match=error):
        writer(target, b"new\n")
    monkeypatch.undo()
    assert target.read_bytes() == b"previous\n"
    assert os.listdir(tmp_path) == ["out.csv"]


def test_atomic_path_without_a_written_file_is_an_error(tmp_path):
    target = tmp_path / "out.parquet"
    target.write_bytes(b"kept")
    with pytest.raises(FileNotFoundError, match="created no file"):
        with atomic_path(target):
            pass
    assert target.read_bytes() == b"kept" and os.listdir(tmp_path) == ["out.parquet"]


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"mode": "a"}, ValueError),
        ({"mode": "r"}, ValueError),
        ({"path": ""}, ValueError),
        ({"path": b"out.csv"}, TypeError),
    ],
)
def test_bad_arguments_are_refused_before_any_file_is_made(tmp_path, monkeypatch, kwargs, error):
    monkeypatch.chdir(tmp_path)
    path = kwargs.pop("path", "out.csv")
    with pytest.raises(error):
        with atomic_write(path, **kwargs):
            pass
    assert os.listdir(tmp_path) == []


def test_missing_folder_raises_and_creates_nothing(tmp_path):
    with pytest.raises(FileNotFoundError):
        with atomic_write(tmp_path / "no" / "out.csv"):
            pass
    assert os.listdir(tmp_path) == []
