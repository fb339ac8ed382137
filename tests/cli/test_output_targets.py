"""Where --csv and --out write, by kind of target, against the simulator."""

from __future__ import annotations

import csv
import datetime as dt
import io
import os
import socket
import stat
import threading

import pytest

from norvo_halvex.collect import Store
from norvo_halvex.mediator.simulator import Fault
from support.other_user import NOBODY, needs_root, plant_link, shared_folder
from support.processes import interrupt, running_tool

DAY = (dt.datetime.now(dt.timezone.utc).date() - dt.timedelta(days=1)).isoformat()
SERIAL = "HX3000001"
FLEET = ["HX1000001"]
LOCAL = 7
OPTION = {"intervals": "--csv", "fleet": "--out", "export": "--out"}


def write_to(cli, simulator, command, target):
    """The day of SERIAL as --csv, or the registers of FLEET as --out, written to ``target``."""
    if command == "intervals":
        return cli("--mediator", simulator.address, "intervals", SERIAL, "--day", DAY, "--csv", str(target))
    return cli("--mediator", simulator.address, "fleet", *FLEET, "--out", str(target), "--quiet")


def written(command, text):
    """What a download wrote: the interval CSV has a row each half hour, the fleet CSV one per meter."""
    rows = list(csv.DictReader(io.StringIO(text)))
    if command == "intervals":
        assert len(rows) == 48 and rows[0]["time"].startswith(f"{DAY}T00:00"), text
    else:
        assert [row["serial"] for row in rows] == FLEET, text


def read_in_background(path, kind):
    """A FIFO or a listening Unix socket at ``path``, read to its end on a daemon thread (a run
    that never writes it must not hang the test session); join() the thread, then take .data."""
    if kind == "fifo":
        os.mkfifo(path)
        source = None
    else:
        source = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        source.bind(str(path))
        source.listen(1)

    def read():
        if source is None:
            with open(path, "rb") as f:
                reader.data = f.read()
        else:
            with source, source.accept()[0] as conn:
                while chunk := conn.recv(65536):
                    reader.data += chunk

    reader = threading.Thread(target=read, daemon=True)
    reader.data = b""
    reader.start()
    return reader


def _mknod(path, kind, major, minor):
    if os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    try:
        os.mknod(path, kind | 0o666, os.makedev(major, minor))
    except PermissionError:
        pytest.skip("this system does not allow making device nodes")


# ----------------------------------------------------------------- pipes, sockets, devices: written in place

@pytest.mark.parametrize("kind, is_kind", [("fifo", stat.S_ISFIFO), ("socket", stat.S_ISSOCK)])
def test_a_fifo_or_a_unix_socket_with_a_reader_gets_the_day_and_stays_what_it_is(cli, simulator, tmp_path, kind,
                                                                                   is_kind):
    path = tmp_path / "day"
    reader = read_in_background(path, kind)
    run = write_to(cli, simulator, "intervals", path)
    reader.join(timeout=30)
    assert run.code == 0, run.err
    written("intervals", reader.data.decode())
    assert is_kind(os.stat(path).st_mode) and os.listdir(tmp_path) == ["day"]


@pytest.mark.parametrize("command", ["intervals", "fleet"])
@pytest.mark.parametrize("minor, code, err", [(3, 0, ""), (7, LOCAL, "disk full (ENOSPC)")], ids=["null", "full"])
def test_a_character_device_is_written_never_replaced(cli, simulator, tmp_path, command, minor, code, err):
    device = tmp_path / "dev"
    _mknod(device, stat.S_IFCHR, 1, minor)  # the kernel's null (1,3) and full (1,7) devices
    run = write_to(cli, simulator, command, device)
    assert run.code == code, run.err
    assert err in run.err and len(run.err.splitlines()) == (1 if err else 0)
    assert stat.S_ISCHR(os.stat(device).st_mode) and os.major(os.stat(device).st_rdev) == 1
    assert os.listdir(tmp_path) == ["dev"]


def test_a_block_device_is_refused_before_anything_is_sent(cli, simulator, requests_seen, tmp_path):
    device = tmp_path / "disk"
    _mknod(device, stat.S_IFBLK, 7, 0)  # a loop device: never written
    run = write_to(cli, simulator, "intervals", device)
    assert run.code == LOCAL and requests_seen() == 0
    assert run.err == f"halvex: intervals: cannot write --csv {device}: is a block device; give a file, a pipe or '-'\n"


# ----------------------------------------------------------------- standard output

@pytest.mark.parametrize("command", ["intervals", "fleet"])
def test_dash_is_standard_output(cli, simulator, tmp_path, monkeypatch, command):
    monkeypatch.chdir(tmp_path)
    run = write_to(cli, simulator, command, "-")
    assert run.code == 0, run.err
    written(command, run.out)
    assert os.listdir(tmp_path) == []  # no file named '-'


def test_csv_dash_with_json_is_refused(cli, simulator, requests_seen):
    run = cli("--mediator", simulator.address, "--json", "intervals", SERIAL, "--day", DAY, "--csv", "-")
    assert run.code == 2 and requests_seen() == 0
    assert "--csv - and --json would both use standard output" in run.err


# ----------------------------------------------------------------- folders: refused up front

@pytest.mark.parametrize("command", ["intervals", "fleet"])
@pytest.mark.parametrize("where, problem", [(".", "is a folder; give a file name in it"),
                                            ("missing/out.csv", "no such folder")], ids=["folder", "missing-folder"])
def test_a_folder_or_a_missing_folder_is_refused_before_any_request(cli, simulator, requests_seen, tmp_path, command,
                                                                    where, problem):
    target = tmp_path / where
    run = write_to(cli, simulator, command, target)
    assert run.code == LOCAL and requests_seen() == 0
    assert run.err.startswith(f"halvex: {command}: cannot write {OPTION[command]} {target}: {problem}")
    assert len(run.err.splitlines()) == 1 and run.out == ""
    assert os.listdir(tmp_path) == []


@needs_root
@pytest.mark.parametrize("command", ["intervals", "fleet", "export", "log-file"])
def test_a_link_another_user_planted_in_a_shared_folder_is_refused_before_any_request(cli, simulator, requests_seen,
                                                                                      tmp_path, command):
    victim = tmp_path / "root-only.csv"
    victim.write_text("kept\n")
    victim.chmod(0o600)
    with shared_folder() as shared:
        link = os.path.join(shared, "out.csv")
        plant_link(victim, link)
        if command == "export":
            Store(tmp_path / "halvex.duckdb").close()
            run = cli("export", "--db", str(tmp_path / "halvex.duckdb"), "--format", "csv", "--out", link)
        elif command == "log-file":  # appended to, not replaced: the same rule
            run = cli("--log-file", link, "--mediator", simulator.address, "serial", "HX1000001")
        else:
            run = write_to(cli, simulator, command, link)
        assert os.listdir(shared) == ["out.csv"]
    assert run.code == LOCAL and requests_seen() == 0
    where = (f"cannot open --log-file {link}" if command == "log-file"
             else f"{command}: cannot write {OPTION[command]} {link}")
    assert run.err == (f"halvex: {where}: is a symlink in {shared}, a folder anyone may write to, and belongs to "
                       f"another user (uid {NOBODY.pw_uid}); it is not followed: remove it or write elsewhere\n")
    assert victim.read_text() == "kept\n"


# ----------------------------------------------------------------- regular files: replaced whole

@pytest.mark.parametrize("command", ["intervals", "fleet"])
def test_a_file_behind_a_symlink_is_replaced_whole(cli, simulator, tmp_path, command):
    real = tmp_path / "real.csv"
    real.write_text("old\n")
    os.chmod(real, 0o640)
    link = tmp_path / "link.csv"
    link.symlink_to(real)
    run = write_to(cli, simulator, command, link)
    assert run.code == 0, run.err
    written(command, real.read_text())
    assert link.is_symlink() and stat.S_IMODE(os.stat(real).st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == ["link.csv", "real.csv"]


def test_a_failed_download_leaves_the_old_file(cli, simulator, tmp_path):
    target = tmp_path / "day.csv"
    target.write_text("old\n")
    simulator.fleet.set_fault(SERIAL, Fault("connection_failure", operations=["message"], after=3))
    run = write_to(cli, simulator, "intervals", target)
    assert run.code == 3
    assert target.read_text() == "old\n" and os.listdir(tmp_path) == ["day.csv"]


def test_fleet_out_on_ctrl_c_keeps_the_old_file_and_leaves_the_rows_read_in_partial(simulator, tmp_path):
    out = tmp_path / "registers.csv"
    out.write_text("old\n")
    for serial in ("HX3000001", "HX3000002", "HX3000003", "HX3000004"):
        # Slow enough that a slow build (sanitizers) is still reading when Ctrl-C comes.
        simulator.fleet.set_fault(serial, Fault(latency=1.0))
    # The unknown meter fails at once: its line on standard error says the run is under way.
    serials = ["NOPE", "HX1000001", "HX3000001", "HX3000002", "HX3000003", "HX3000004"]
    with running_tool("--mediator", simulator.address, "fleet", *serials, "--workers", "2", "--out", out) as proc:
        first = proc.stderr.readline()
        assert first.startswith("halvex: meter NOPE: read failed"), first
        run = interrupt(proc)
    assert run.code == 130, run.err
    assert out.read_text() == "old\n"
    partial = tmp_path / "registers.csv.partial"
    rows = list(csv.DictReader(partial.open()))
    assert rows and rows[0]["serial"] == "NOPE" and rows[0]["status"] == "failed"
    assert len(rows) < len(serials) and all(row["error_message"] is not None for row in rows)  # whole rows only
    assert f"rows read so far are in {partial}; {out} is unchanged" in run.err
    assert run.err.splitlines()[-1] == "halvex: interrupted"
    assert sorted(os.listdir(tmp_path)) == ["registers.csv", "registers.csv.partial"]
