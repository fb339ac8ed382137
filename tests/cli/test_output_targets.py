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

from cli_run import interrupt, running_halvex
from norvo_halvex.mediator.simulator import Fault

DAY = (dt.datetime.now(dt.timezone.utc).date() - dt.timedelta(days=1)).isoformat()
SERIAL = "HX3000001"
LOCAL = 7


def intervals(cli, simulator, target, *extra):
    return cli("--mediator", simulator.address, "intervals", SERIAL, "--day", DAY, "--csv", str(target), *extra)


@pytest.fixture
def requests_seen(simulator):
    """How many requests reached the meters used here (each is counted by a latency fault)."""
    for serial in (SERIAL, "HX1000001"):
        simulator.fleet.set_fault(serial, Fault(latency=0.001))
    return lambda: simulator.fleet.fault_calls(SERIAL) + simulator.fleet.fault_calls("HX1000001")


class Reader(threading.Thread):
    """Reads everything a FIFO or a socket connection receives."""

    def __init__(self, source):
        super().__init__(daemon=True)
        self.source, self.data = source, b""

    def run(self):
        if isinstance(self.source, socket.socket):
            conn, _ = self.source.accept()
            with conn:
                while chunk := conn.recv(65536):
                    self.data += chunk
        else:
            with open(self.source, "rb") as f:
                self.data = f.read()


# ----------------------------------------------------------------- pipes, sockets, devices: written in place

def test_a_fifo_with_a_reader_gets_the_day_and_stays_a_fifo(cli, simulator, tmp_path):
    fifo = tmp_path / "day.pipe"
    os.mkfifo(fifo)
    reader = Reader(fifo)
    reader.start()
    run = intervals(cli, simulator, fifo)
    reader.join(timeout=30)
    assert run.code == 0, run.err
    lines = reader.data.decode().splitlines()
    assert len(lines) == 49 and lines[0].startswith("time,active_import_kwh")
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert os.listdir(tmp_path) == ["day.pipe"]


def test_a_unix_socket_gets_the_day_and_stays_a_socket(cli, simulator, tmp_path):
    path = tmp_path / "day.sock"
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as server:
        server.bind(str(path))
        server.listen(1)
        reader = Reader(server)
        reader.start()
        run = intervals(cli, simulator, path)
        reader.join(timeout=30)
    assert run.code == 0, run.err
    assert len(reader.data.decode().splitlines()) == 49
    assert stat.S_ISSOCK(os.stat(path).st_mode)


def _mknod(path, kind, major, minor):
    if os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    try:
        os.mknod(path, kind | 0o666, os.makedev(major, minor))
    except PermissionError:
        pytest.skip("this system does not allow making device nodes")


@pytest.mark.parametrize("command", ["intervals", "fleet"])
@pytest.mark.parametrize("minor, code, err", [(3, 0, ""), (7, LOCAL, "disk full (ENOSPC)")], ids=["null", "full"])
def test_a_character_device_is_written_never_replaced(cli, simulator, tmp_path, command, minor, code, err):
    device = tmp_path / "dev"
    _mknod(device, stat.S_IFCHR, 1, minor)  # the kernel's null (1,3) and full (1,7) devices
    if command == "intervals":
        run = intervals(cli, simulator, device)
    else:
        run = cli("--mediator", simulator.address, "fleet", "HX1000001", "--out", str(device), "--quiet")
    assert run.code == code, run.err
    assert err in run.err and "Traceback" not in run.err
    assert len(run.err.splitlines()) == (1 if err else 0)
    mode = os.stat(device).st_mode
    assert stat.S_ISCHR(mode) and os.major(os.stat(device).st_rdev) == 1
    assert os.listdir(tmp_path) == ["dev"]


def test_a_block_device_is_refused_before_anything_is_sent(cli, simulator, requests_seen, tmp_path):
    device = tmp_path / "disk"
    _mknod(device, stat.S_IFBLK, 7, 0)  # a loop device: never written
    run = intervals(cli, simulator, device)
    assert run.code == LOCAL and requests_seen() == 0
    assert run.err == f"halvex: intervals: cannot write --csv {device}: is a block device; give a file, a pipe or '-'\n"


# ----------------------------------------------------------------- standard output

def test_csv_dash_is_standard_output(cli, simulator, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    run = intervals(cli, simulator, "-")
    assert run.code == 0, run.err
    rows = list(csv.DictReader(io.StringIO(run.out)))
    assert len(rows) == 48 and rows[0]["time"].startswith(f"{DAY}T00:00")
    assert run.err.startswith(f"halvex: meter {SERIAL}: 48 intervals")
    assert os.listdir(tmp_path) == []  # no file named '-'


def test_csv_dash_with_json_is_refused(cli, simulator, requests_seen):
    run = cli("--mediator", simulator.address, "--json", "intervals", SERIAL, "--day", DAY, "--csv", "-")
    assert run.code == 2 and requests_seen() == 0
    assert "--csv - and --json would both use standard output" in run.err


def test_fleet_out_dash_is_standard_output(cli, simulator):
    run = cli("--mediator", simulator.address, "fleet", "HX1000001", "--out", "-", "--quiet")
    assert run.code == 0
    assert [row["serial"] for row in csv.DictReader(io.StringIO(run.out))] == ["HX1000001"]


# ----------------------------------------------------------------- folders: refused up front

@pytest.mark.parametrize("command", ["intervals", "fleet"])
@pytest.mark.parametrize("where, problem", [(".", "is a folder; give a file name in it"),
                                            ("missing/out.csv", "no such folder")], ids=["folder", "missing-folder"])
def test_a_folder_or_a_missing_folder_is_refused_before_any_request(cli, simulator, requests_seen, tmp_path, command,
                                                                    where, problem):
    target = tmp_path / where
    if command == "intervals":
        run = intervals(cli, simulator, target)
        option = "--csv"
    else:
        run = cli("--mediator", simulator.address, "fleet", SERIAL, "HX1000001", "--out", str(target))
        option = "--out"
    assert run.code == LOCAL
    assert requests_seen() == 0
    assert run.err.startswith(f"halvex: {command}: cannot write {option} {target}: {problem}")
    assert len(run.err.splitlines()) == 1 and run.out == ""
    assert sorted(os.listdir(tmp_path)) == []


# ----------------------------------------------------------------- regular files: replaced whole

def test_a_file_and_a_symlink_to_one_are_replaced_whole(cli, simulator, tmp_path):
    real = tmp_path / "real.csv"
    real.write_text("old\n")
    os.chmod(real, 0o640)
    link = tmp_path / "link.csv"
    link.symlink_to(real)
    run = intervals(cli, simulator, link)
    assert run.code == 0, run.err
    assert link.is_symlink() and len(real.read_text().splitlines()) == 49
    assert stat.S_IMODE(os.stat(real).st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == ["link.csv", "real.csv"]


def test_a_failed_download_leaves_the_old_file(cli, simulator, tmp_path):
    target = tmp_path / "day.csv"
    target.write_text("old\n")
    simulator.fleet.set_fault(SERIAL, Fault("connection_failure", operations=["message"], after=3))
    run = intervals(cli, simulator, target)
    assert run.code == 3
    assert target.read_text() == "old\n" and os.listdir(tmp_path) == ["day.csv"]


def test_fleet_out_on_ctrl_c_keeps_the_old_file_and_leaves_the_rows_read_in_partial(simulator, tmp_path):
    out = tmp_path / "registers.csv"
    out.write_text("old\n")
    for serial in ("HX3000001", "HX3000002", "HX3000003", "HX3000004"):
        simulator.fleet.set_fault(serial, Fault(latency=0.3))
    # The unknown meter fails at once: its line on standard error says the run is under way.
    serials = ["NOPE", "HX1000001", "HX3000001", "HX3000002", "HX3000003", "HX3000004"]
    with running_halvex("--mediator", simulator.address, "fleet", *serials, "--workers", "2", "--out", str(out)) as proc:
        first = proc.stderr.readline()
        assert first.startswith("halvex: meter NOPE: read failed"), first
        run = interrupt(proc)
    err = run.err
    assert run.code == 130, err
    assert out.read_text() == "old\n"
    partial = tmp_path / "registers.csv.partial"
    rows = list(csv.DictReader(partial.open()))
    assert rows and rows[0]["serial"] == "NOPE" and rows[0]["status"] == "failed"
    assert len(rows) < len(serials) and all(row["error_message"] is not None for row in rows)  # whole rows only
    assert f"rows read so far are in {partial}; {out} is unchanged" in err
    assert err.splitlines()[-1] == "halvex: interrupted"
    assert sorted(os.listdir(tmp_path)) == ["registers.csv", "registers.csv.partial"]


def test_fleet_out_replaces_the_old_file_when_complete(cli, simulator, tmp_path):
    out = tmp_path / "registers.csv"
    out.write_text("old\n")
    run = cli("--mediator", simulator.address, "fleet", "HX1000001", "HX3000001", "--out", str(out))
    assert run.code == 0
    assert [row["serial"] for row in csv.DictReader(out.open())] == ["HX1000001", "HX3000001"]
    assert os.listdir(tmp_path) == ["registers.csv"]
