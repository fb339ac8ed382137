"""norvo_halvex.files: a file is replaced whole or not at all and no temporary file stays; pipes,
sockets and devices are written in place; a failed run leaves its rows as FILE.partial."""

from __future__ import annotations

import contextlib
import errno
import io
import os
import secrets
import socket

import pytest

from norvo_halvex.files import STDOUT, UnsafeSymlinkError, atomic_path, atomic_write, check_target, in_place, output
from support.other_user import NOBODY, needs_root

WRITERS = ["bytes", "text", "path"]  # atomic_write in each mode, atomic_path


class Boom(Exception):
    pass


@contextlib.contextmanager
def opened(writer, path):
    if writer == "output":
        with output(path, newline="") as out:
            yield out
    elif writer == "path":
        with atomic_path(path) as tmp:
            # In a folder of its own beside the target, that no other user can enter.
            private = os.path.dirname(tmp)
            assert os.path.dirname(private) == os.path.dirname(os.path.realpath(path)) and not os.path.exists(tmp)
            assert os.stat(private).st_mode & 0o777 == 0o700
            with open(tmp, "wb") as out:
                yield out
    else:
        with atomic_write(path, "w" if writer == "text" else "wb", newline="") as out:
            yield out


def write(writer, path, data: bytes, fail: bool = False):
    with opened(writer, path) as out:
        out.write(data.decode() if writer in ("text", "output") else data)
        if fail:
            raise Boom


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("existing", [None, 0o640, 0o600])
def test_clean_exit_replaces_and_keeps_permissions(tmp_path, writer, existing):
    target = tmp_path / "out.csv"
    if existing is not None:
        target.write_bytes(b"old content that is longer than the new\n")
        target.chmod(existing)
    write(writer, target, b"a,b\r\n1,2\n")
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
        write(writer, target, b"half of it", fail=True)
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
    write(writer, link, b"new\n")
    assert link.is_symlink() and real.read_bytes() == b"new\n"
    assert sorted(os.listdir(real.parent)) == ["real.csv"]


CALLER, OTHER, THIRD = os.geteuid(), NOBODY.pw_uid, NOBODY.pw_uid - 1


@needs_root
@pytest.mark.parametrize(
    "folder_mode, folder_owner, link_owner, where, refused",
    [
        (0o1777, CALLER, OTHER, "file", True),  # another user's link in a shared sticky folder (/tmp)
        (0o1777, CALLER, OTHER, "folder", True),  # ... on the way to the file as well
        (0o1777, THIRD, OTHER, "file", True),
        (0o1777, CALLER, CALLER, "file", False),  # the caller's own link
        (0o1777, THIRD, THIRD, "file", False),  # the folder owner's
        (0o0777, CALLER, OTHER, "file", False),  # not sticky: the rule is about shared sticky folders
        (0o1770, CALLER, OTHER, "file", False),  # sticky, but not everyone may write there
    ],
)
@pytest.mark.parametrize("writer", [*WRITERS, "output"])
def test_a_symlink_is_followed_only_where_the_kernel_rule_would_follow_it(tmp_path, writer, folder_mode,
                                                                          folder_owner, link_owner, where, refused):
    shared, real = tmp_path / "shared", tmp_path / "real"
    shared.mkdir()
    real.mkdir()
    os.chown(shared, folder_owner, -1)
    shared.chmod(folder_mode)
    victim = real / "out.csv"
    victim.write_bytes(b"kept\n")
    link = shared / ("out.csv" if where == "file" else "folder")
    link.symlink_to(victim if where == "file" else real)
    os.lchown(link, link_owner, -1)
    path = link if where == "file" else link / "out.csv"
    if refused:
        for attempt in (check_target, lambda p: write(writer, p, b"new\n")):
            with pytest.raises(UnsafeSymlinkError) as caught:
                attempt(path)
            assert caught.value.filename == str(link) and f"is a symlink in {shared}," in caught.value.strerror
        assert victim.read_bytes() == b"kept\n"
    else:
        check_target(path)
        write(writer, path, b"new\n")
        assert victim.read_bytes() == b"new\n"
    assert os.listdir(real) == ["out.csv"] and os.listdir(shared) == [link.name]


@pytest.mark.parametrize("name", ["temporary", "partial"])
def test_temporary_and_partial_names_are_never_followed(tmp_path, monkeypatch, name):
    victim, target = tmp_path / "victim", tmp_path / "out.csv"
    victim.write_bytes(b"kept\n")
    if name == "temporary":  # a link where the next temporary file would go is passed over
        names = iter(["planted", "fresh"])
        monkeypatch.setattr(secrets, "token_hex", lambda n: next(names))
        (tmp_path / ".out.csv.planted.tmp").symlink_to(victim)
        write("text", target, b"new\n")
        assert target.read_bytes() == b"new\n"
    else:  # the rows of a failed run replace a link with the partial file's name
        partial = tmp_path / "out.csv.partial"
        partial.symlink_to(victim)
        with pytest.raises(Boom), output(target, partial=partial) as out:
            out.write("rows\n")
            raise Boom
        assert not partial.is_symlink() and partial.read_bytes() == b"rows\n"
    assert victim.read_bytes() == b"kept\n"


@pytest.mark.parametrize("fail_in, error", [("fsync", "Input/output error"), ("replace", "Permission denied")])
@pytest.mark.parametrize("writer", WRITERS)
def test_failing_sync_or_rename_keeps_the_old_file(tmp_path, monkeypatch, writer, fail_in, error):
    target = tmp_path / "out.csv"
    target.write_bytes(b"previous\n")

    def fail(*args):
        raise OSError(errno.EIO if fail_in == "fsync" else errno.EACCES, error)

    monkeypatch.setattr(os, fail_in, fail)
    with pytest.raises(OSError, match=error):
        write(writer, target, b"new\n")
    monkeypatch.undo()
    assert target.read_bytes() == b"previous\n"
    assert os.listdir(tmp_path) == ["out.csv"]


def test_atomic_path_without_a_written_file_is_an_error(tmp_path):
    target = tmp_path / "out.parquet"
    target.write_bytes(b"kept")
    with pytest.raises(FileNotFoundError, match="created no file"), atomic_path(target):
        pass
    assert target.read_bytes() == b"kept" and os.listdir(tmp_path) == ["out.parquet"]


@pytest.mark.parametrize(
    "path, mode, error",
    [("out.csv", "a", ValueError), ("out.csv", "r", ValueError), ("", "w", ValueError), (b"out.csv", "w", TypeError),
     ("no/out.csv", "w", FileNotFoundError)],
)
def test_bad_arguments_and_a_missing_folder_make_no_file(tmp_path, monkeypatch, path, mode, error):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error), atomic_write(path, mode):
        pass
    assert os.listdir(tmp_path) == []


@pytest.fixture
def target_of_kind(tmp_path):
    """A path of the kind asked for in tmp_path (a socket has a listener while the test runs)."""
    servers = []

    def make(kind):
        path = tmp_path / "target"
        if kind == "file":
            path.write_text("old\n")
        elif kind == "folder":
            path.mkdir()
        elif kind == "fifo":
            os.mkfifo(path)
        elif kind == "socket":
            servers.append(socket.socket(socket.AF_UNIX, socket.SOCK_STREAM))
            servers[-1].bind(str(path))
            servers[-1].listen(1)
        elif kind == "missing-folder":
            return tmp_path / "no" / "target"
        elif kind == "under-a-file":
            path.write_text("x")
            return path / "target"
        return path

    yield make
    for server in servers:
        server.close()


@pytest.mark.parametrize(
    "kind, error, placed",
    [("new", None, False), ("file", None, False), ("fifo", None, True), ("socket", None, True),
     ("folder", errno.EISDIR, False), ("missing-folder", errno.ENOENT, False), ("under-a-file", errno.ENOTDIR, False)],
)
def test_check_target_and_in_place_by_kind(target_of_kind, kind, error, placed):
    path = target_of_kind(kind)
    if error is None:
        check_target(path)
    else:
        with pytest.raises(OSError) as caught:
            check_target(path)
        assert caught.value.errno == error
    assert in_place(path) is placed


def test_standard_output_is_always_a_target():
    check_target(STDOUT)
    assert in_place(STDOUT)
    buffer = io.StringIO()
    with output(STDOUT, stdout=buffer) as out:
        out.write("a,b\n")
    assert buffer.getvalue() == "a,b\n" and not buffer.closed


@pytest.mark.parametrize("older, folder", [(None, "."), (b"an older partial run\n", "."), (None, "gone")])
def test_a_failed_write_keeps_what_it_wrote_as_partial_and_the_target_as_it_was(tmp_path, older, folder):
    target, partial = tmp_path / "out.csv", tmp_path / folder / "out.csv.partial"
    target.write_bytes(b"old\n")
    if older is not None:
        partial.write_bytes(older)
    with pytest.raises(Boom), output(target, newline="", partial=partial) as out:
        out.write("head\nrow 1\n")
        raise Boom
    assert target.read_bytes() == b"old\n"
    if folder == "gone":  # nowhere to keep it: dropped quietly, with the temporary file
        assert os.listdir(tmp_path) == ["out.csv"]
    else:
        assert partial.read_bytes() == b"head\nrow 1\n"
        assert sorted(os.listdir(tmp_path)) == ["out.csv", "out.csv.partial"]
