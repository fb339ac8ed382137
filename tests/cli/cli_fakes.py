"""Stand-ins for the CLI tests: ``HalvexMediatorAPI`` answering for a small fixed fleet, and a
terminal."""

from __future__ import annotations

import datetime as dt
import io
import sys
import threading

UTC = dt.timezone.utc


class Terminal(io.StringIO):
    """A stream that says it is a terminal: standard input a person types into, or the
    standard error a live status line is drawn on."""

    def isatty(self):
        return True


class FakeAPI:
    """Answers like the real client for a small fixed fleet; ``fail[method] = exc`` or
    ``fail[(method, serial)] = exc`` makes a call raise."""

    HARDWARE = {"HX1000001": "P0.se", "HX1000002": "P0.te", "HX3000001": "P1.ax", "HX3000002": "P1.cx"}

    def __init__(self, address=None, level=None):
        self.address = address
        self.level = level
        self.calls: list[tuple] = []
        self.fail: dict = {}
        self._lock = threading.Lock()

    def _call(self, method, serial, *args):
        with self._lock:
            self.calls.append((method, serial, *args))
        exc = self.fail.get((method, serial)) or self.fail.get(method)
        if exc is not None:
            raise exc
        if serial not in self.HARDWARE:
            from norvo_halvex.mediator.mediator_client_exception import MediatorClientException

            raise MediatorClientException("NOT_FOUND", f"no meter {serial}")

    def hardware(self, serial):
        self._call("hardware", serial)
        return self.HARDWARE[serial]

    def serial_read(self, serial):
        self._call("serial_read", serial)
        return serial

    def firmware_version(self, serial):
        self._call("firmware_version", serial)
        return "05.07"

    def clock_time_read(self, serial):
        self._call("clock_time_read", serial)
        return dt.datetime(2025, 3, 1, 12, 0, 5, tzinfo=UTC)

    def clock_time_write(self, serial):
        self._call("clock_time_write", serial)

    def instantaneous_voltage(self, serial):
        self._call("instantaneous_voltage", serial)
        return 231.4

    def instantaneous_active_power(self, serial):
        self._call("instantaneous_active_power", serial)
        return 1.5

    def instantaneous_active_power_element_a(self, serial):
        self._call("instantaneous_active_power_element_a", serial)
        return 1.0

    def instantaneous_active_power_element_b(self, serial):
        self._call("instantaneous_active_power_element_b", serial)
        return 0.5

    def csq(self, serial):
        self._call("csq", serial)
        return 17

    def read_element_a(self, serial):
        self._call("read_element_a", serial)
        return {"import_active": 1234.567, "export_active": 0.0, "import_reactive": 12.5, "export_reactive": 0.25}

    def read_element_b(self, serial):
        self._call("read_element_b", serial)
        return {"import_active": 10.0, "export_active": 2.0, "import_reactive": 0.0, "export_reactive": 0.0}

    def three_phase_read(self, serial, hardware):
        self._call("three_phase_read", serial, hardware)
        return {"active_import": 100.1234, "active_export": 0.0, "reactive_import": None,
                "reactive_export": 1.5, "apparent_import": 101.0, "apparent_export": 0.0}

    def read(self, serial):
        hw = self.hardware(serial)
        if hw.startswith("P1."):
            return self.three_phase_read(serial, hw)
        a = self.read_element_a(serial)
        return (a, self.read_element_b(serial) if hw == "P0.te" else None)

    def daylight_savings_correction_enabled(self, serial):
        self._call("daylight_savings_correction_enabled", serial)
        return True

    def daylight_savings_correction_enabled_write(self, serial, enabled):
        self._call("daylight_savings_correction_enabled_write", serial, enabled)

    def backlight(self, serial):
        from quarn_frame_protocol.quarn_message import QuarnMessage

        self._call("backlight", serial)
        return QuarnMessage.BacklightSettingType.auto

    def backlight_write(self, serial, setting):
        self._call("backlight_write", serial, setting)

    def load_switch(self, serial):
        from quarn_frame_protocol.quarn_message import QuarnMessage

        self._call("load_switch", serial)
        return QuarnMessage.LoadSwitchSettingType.connected

    def load_switch_write(self, serial, setting):
        self._call("load_switch_write", serial, setting)

    def three_phase_serial(self, serial):
        self._call("three_phase_serial", serial)
        return serial

    def three_phase_instantaneous_voltage(self, serial):
        self._call("three_phase_instantaneous_voltage", serial)
        return (230.1, None, 229.9)

    def three_phase_hardware_configuration(self, serial):
        from quarn_frame_protocol.quarn_message import QuarnMessage

        self._call("three_phase_hardware_configuration", serial)
        return QuarnMessage.ThreePhaseHardwareConfigurationRec(meter_type=QuarnMessage.ThreePhaseMeterType.cx_ct_operated)

    def event_log(self, serial, log_idx):
        from quarn_frame_protocol.quarn_event_log_response import EventCode, QuarnEventLogResponse as R

        self._call("event_log", serial, log_idx)
        return R(log_idx=log_idx, events=[R.Event(time=1740830400, code=EventCode.power_up, detail=5)])

    def obis_read(self, serial, obis):
        self._call("obis_read", serial, obis)
        return b"\x01\xab"

    def obis_write(self, serial, obis, payload_hex):
        self._call("obis_write", serial, obis, payload_hex)

    def _three_phase_intervals_read(self, serial, start_time, end_time, profile):
        """A block of the window's slots, 1.25 kWh each on this CT-operated meter."""
        from quarn_frame_protocol.quarn_profile_three_phase_intervals_response_block import (
            QuarnProfileThreePhaseIntervalsResponseBlock as Block,
        )

        self._call("_three_phase_intervals_read", serial, start_time, end_time)
        first = -(-int(start_time.timestamp()) // 1800) * 1800
        count = max(0, (int(end_time.timestamp()) - first) // 1800 + 1)
        return Block(start_time=first, interval_length=1800,
                     intervals=[Block.Interval(status=0, values=[12500, 0, 0, 0, 0, 0]) for _ in range(count)])

    def three_phase_intervals(self, serial, day, start_time, end_time, csv=None, include_statuses=False):
        # Frames go through the object, as in the real client, so the tool can count them.
        from norvo_halvex.meters import blocks_to_intervals_rec

        self._call("three_phase_intervals", serial, day, start_time, end_time, csv, include_statuses)
        if day:
            start_time = day
            end_time = day + dt.timedelta(hours=23, minutes=30)
        frame = dt.timedelta(hours=4)
        blocks, t = [], start_time
        while t < end_time:
            blocks.append(self._three_phase_intervals_read(serial, t, min(t + frame, end_time), None))
            t = min(t + frame, end_time)
        intervals = blocks_to_intervals_rec(blocks)
        text = "".join(f"{iv.time.isoformat()},1.2500\n" for iv in intervals)
        if csv:
            with open(csv, "w") as f:
                f.write(text)
        else:
            sys.stdout.write(text)
        return intervals
