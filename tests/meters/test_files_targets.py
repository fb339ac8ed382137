"""norvo_halvex.files: where output goes for each kind of target, and what a failed run leaves."""

from __future__ import annotations

import errno
import io
import os
import socket

import pytest

from norvo_halvex.files import STDOUT, atomic_write, check_target, in_place, output


class Boom(Exception):
    pass


def make(tmp_path, kind):
    """A target of ``kind`` in ``tmp_path``; returns its path (and keeps any listener alive)."""
    path = tmp_path / "target"
    if kind == "new":
        return path, None
    if kind == "file":
        path.write_text("old\n")
    elif kind == "folder":
        path.mkdir()
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        server.bind(str(path))
        server.listen(1)
        return path, server
    elif kind == "missing-folder":
        return tmp_path / "no" / "target", None
    elif kind == "under-a-file":
        path.write_text("x")
        return path / "target", None
    return path, None


@pytest.mark.parametrize(
    "kind, error, placed",
    [
        ("new", None, False),
        ("file", None, False),
        ("fifo", None, True),
        ("socket", None, True),
        ("folder", errno.EISDIR, False),
        ("missing-folder", errno.ENOENT, False),
        ("under-a-file", errno.ENOTDIR, False),
    ],
)
def test_check_target_and_in_place_by_kind(tmp_path, kind, error, placed):
    path, server = make(tmp_path, kind)
    try:
        if error is None:
            check_target(path)
        else:
            with pytest.raises(OSError) as caught:
                check_target(path)
            assert caught.value.errno == error
        assert in_place(path) is placed
    finally:
        if server is not None:
            server.close()


def test_standard_output_is_always_a_target():
    check_target(STDOUT)
    assert in_place(STDOUT)
    buffer = io.StringIO()
    with output(STDOUT, stdout=buffer) as out:
        out.write("a,b\n")
    assert buffer.getvalue() == "a,b\n" and not buffer.closed


@pytest.mark.parametrize("existing_partial", [None, b"an older partial run\n"])
def test_a_failed_write_keeps_what_it_wrote_as_partial_and_the_target_as_it_was(tmp_path, existing_partial):
    target = tmp_path / "out.csv"
    target.write_bytes(b"old\n")
    partial = tmp_path / "out.csv.partial"
    if existing_partial is not None:
        partial.write_bytes(existing_partial)
    with pytest.raises(Boom):
        with output(target, newline="", partial=partial) as out:
            out.write("head\nrow 1\n")
            raise Boom
    assert target.read_bytes() == b"old\n"
    assert partial.read_bytes() == b"head\nrow 1\n"
    assert sorted(os.listdir(tmp_path)) == ["out.csv", "out.csv.partial"]


def test_without_partial_a_failed_write_leaves_nothing(tmp_path):
    target = tmp_path / "out.csv"
    with pytest.raises(Boom):
        with atomic_write(target) as out:
            out.write("half")
            raise Boom
    assert os.listdir(tmp_path) == []


def test_a_partial_in_a_missing_folder_is_dropped_quietly(tmp_path):
    target = tmp_path / "out.csv"
    with pytest.raises(Boom):
        with atomic_write(target, partial=tmp_path / "gone" / "out.csv.partial") as out:
            out.write("rows")
            raise Boom
    assert os.listdir(tmp_path) == []
