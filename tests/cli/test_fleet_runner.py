"""The fleet runner and ``halvex fleet`` against a fake client."""

from __future__ import annotations

import csv
import io
import json
import threading

import pytest

from norvo_halvex.cli.fleet import CSV_COLUMNS, read_fleet
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException

from cli_fakes import FakeAPI


class GatedAPI(FakeAPI):
    """``read`` waits until ``gate`` callers are inside it at once (so the test fails if
    the runner does not reach that concurrency) and records the most seen in flight."""

    def __init__(self, gate):
        super().__init__()
        self.barrier = threading.Barrier(gate, timeout=10)
        self.in_flight = 0
        self.most = 0

    def read(self, serial):
        with self._lock:
            self.in_flight += 1
            self.most = max(self.most, self.in_flight)
        try:
            self.barrier.wait()
            return super().read(serial)
        finally:
            with self._lock:
                self.in_flight -= 1


def test_runner_uses_exactly_the_worker_bound_and_keeps_input_order():
    serials = ["HX1000001", "HX1000002", "HX3000001", "HX3000002"] * 4
    api = GatedAPI(4)
    seen = []
    results = read_fleet(api, serials, workers=4, on_result=seen.append)
    assert [r.serial for r in results] == serials
    assert all(r.failure is None for r in results), [r.failure for r in results if r.failure]
    assert api.most == 4
    assert sorted(r.index for r in seen) == list(range(len(serials)))


def test_one_failing_meter_does_not_stop_the_others():
    api = FakeAPI()
    api.fail[("read_element_a", "HX1000002")] = MediatorClientException("HALVEX_CONNECTION_FAILURE", "no answer")
    results = read_fleet(api, ["HX1000001", "HX1000002", "HX3000002"], workers=2)
    # the fake CT meter's reactive import total fails to read: partial, not ok
    assert [r.status for r in results] == ["ok", "failed", "partial"]
    assert [r.ok for r in results] == [True, False, False]
    failed = results[1]
    assert failed.failure.code == "HALVEX_CONNECTION_FAILURE" and failed.failure.message == "no answer"
    row = failed.columns()
    assert row["status"] == "failed" and row["a_import_active_kwh"] == "" and row["error_code"] == "HALVEX_CONNECTION_FAILURE"
    ct = results[2].columns()
    assert ct["hardware"] == "P1.cx" and ct["active_import_kwh"] == "100.1234" and ct["reactive_import_kvarh"] == ""
    assert (ct["status"], ct["error_code"], ct["error_message"]) == ("partial", "PARTIAL", "not read: reactive_import")


def _write(tmp_path, text):
    path = tmp_path / "meters.txt"
    path.write_text(text)
    return str(path)


def test_fleet_command_csv_with_a_failure(cli, fake_api, tmp_path):
    listing = _write(tmp_path, "# test fleet\nHX1000002\n\n  HX3000001   # three-phase\nHXNOPE\n")
    run = cli("fleet", "HX1000001", "--serials-file", listing, "--workers", "3")
    assert run.code == 6
    rows = list(csv.DictReader(io.StringIO(run.out)))
    assert list(rows[0]) == CSV_COLUMNS
    assert [r["serial"] for r in rows] == ["HX1000001", "HX1000002", "HX3000001", "HXNOPE"]
    # the fake three-phase meters fail to read their reactive import total
    assert [r["status"] for r in rows] == ["ok", "ok", "partial", "failed"]
    # registers with the meter's decimals, as export writes them: 3 on these whole-current meters
    assert (rows[0]["a_import_active_kwh"], rows[0]["a_export_active_kwh"]) == ("1234.567", "0.000")
    assert rows[1]["b_export_active_kwh"] == "2.000" and rows[0]["b_export_active_kwh"] == ""
    assert rows[2]["kind"] == "three_phase" and rows[2]["apparent_import_kvah"] == "101.000"
    assert rows[3]["error_code"] == "NOT_FOUND" and rows[3]["error_message"] == "no meter HXNOPE"
    err = run.err.splitlines()
    assert "halvex: meter HXNOPE: read failed: not found (NOT_FOUND): no meter HXNOPE" in err
    assert err[-1].startswith("halvex: fleet: 4/4 done, 1 failed")


def test_fleet_command_jsonl_to_a_file(cli, fake_api, tmp_path):
    out = tmp_path / "out.jsonl"
    run = cli("--json", "fleet", "HX3000002", "HX1000001", "--out", str(out), "--quiet")
    # --quiet leaves only the line of the meter that was not read completely
    assert run.code == 6 and run.out == ""
    assert run.err == "halvex: meter HX3000002: read incomplete: reactive_import could not be read\n"
    docs = [json.loads(line) for line in out.read_text().splitlines()]
    assert docs[0]["serial"] == "HX3000002" and docs[0]["kind"] == "three_phase"
    assert docs[0]["registers"]["reactive_import"] is None
    assert (docs[0]["ok"], docs[0]["status"], docs[0]["failed"]) == (False, "partial", ["reactive_import"])
    assert (docs[1]["ok"], docs[1]["status"], docs[1]["failed"]) == (True, "ok", [])
    assert docs[1]["registers"]["element_b"] is None and docs[1]["registers"]["element_a"]["import_active"] == 1234.567


def test_all_meters_unreachable_is_a_mediator_failure(cli, fake_api):
    fake_api.fail["hardware"] = MediatorClientException("UNAVAILABLE", "connection refused")
    run = cli("fleet", "HX1000001", "HX1000002", "--format", "jsonl")
    assert run.code == 4
    assert all(json.loads(line)["error"]["code"] == "UNAVAILABLE" for line in run.out.splitlines())
    assert run.err.count("check --mediator or HALVEX_MEDIATOR") == 2


@pytest.mark.parametrize(
    "data, serials, error",
    [
        (b"\xef\xbb\xbfHX1000002\r\nHX1000001\r\n", ["HX1000002", "HX1000001"], None),  # BOM, CRLF
        (b"# lab\nHX1000002  # twin\n\nHX1000001\n", ["HX1000002", "HX1000001"], None),
        (b"\xef\xbb\xbfName;Serial;Site\r\nkitchen;HX1000002;A\r\n;;\r\nroof;\"HX1000001\";B\r\n",
         ["HX1000002", "HX1000001"], None),  # a spreadsheet's CSV, ';' as its locale has it
        (b"serial,site\nHX1000002,A\n,B\n", None, "{f}, line 3: no serial in the 'serial' column"),
        (b"HX1000002\nHX3000002 extra junk\n", None, "{f}, line 2: 'HX3000002 extra junk' is not a meter serial"),
        (b"HX1000002\n=HYPERLINK(1)\n", None, "{f}, line 2: '=HYPERLINK(1)' is not a meter serial"),
        ("HX1000002\nHX3000001\n".encode("utf-16"), None, "{f} is UTF-16 (or binary), not UTF-8 text"),
        (b"HX1000002\nHX\xe93000001\n", None, "{f}, line 2: not UTF-8 text"),
    ],
    ids=["bom-crlf", "comments", "spreadsheet-csv", "csv-without-serial", "junk", "formula", "utf-16", "latin-1"],
)
def test_a_serial_file_from_a_spreadsheet(cli, fake_api, tmp_path, data, serials, error):
    path = tmp_path / "meters.csv"
    path.write_bytes(data)
    run = cli("fleet", "--serials-file", str(path), "--format", "jsonl")
    if error is None:
        assert run.code == 0, run.err
        assert [json.loads(line)["serial"] for line in run.out.splitlines()] == serials
        return
    assert run.code == 2 and run.err.startswith(f"halvex: fleet: {error.format(f=path)}"), run.err
    assert fake_api.calls == []  # refused before any meter is contacted
