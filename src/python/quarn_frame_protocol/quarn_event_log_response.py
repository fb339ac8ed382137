"""Reply to an event-log request: the events of one page of the log."""

from enum import IntEnum

from kaitaistruct import KaitaiStream

from ._record import QuarnRecord, epoch_format


class EventCode(IntEnum):
    power_up = 1
    power_down = 2
    meter_cover_opened = 3
    meter_cover_closed = 4
    terminal_cover_opened = 5
    terminal_cover_closed = 6
    magnetic_tamper = 7
    clock_set = 8
    firmware_updated = 9
    load_switch_opened = 10
    load_switch_closed = 11
    overvoltage = 12
    undervoltage = 13
    reverse_energy_flow = 14
    memory_error = 15
    communication_error = 16


class QuarnEventLogResponse(QuarnRecord):
    """``log_idx`` u1, ``num_events`` u1, then ``num_events`` events of 8 bytes, oldest first.

    On writing ``num_events`` is computed from ``events``.
    """

    EventCode = EventCode
    HEADER_SIZE = 2
    EVENT_SIZE = 8
    MAX_EVENTS = 255

    class Event(QuarnRecord):
        """``time`` u4le epoch seconds (UTC), ``code`` u2le (EventCode), ``detail`` u2le
        (code-specific: duration in seconds of a power failure, the phase of an overvoltage, ...)."""

        _fields = ("time", "code", "detail")
        _formats = {"time": epoch_format, "code": EventCode}
        _SIZE = 8

        def _read(self):
            self.time = self._io.read_u4le()
            self.code = KaitaiStream.resolve_enum(EventCode, self._io.read_u2le())
            self.detail = self._io.read_u2le()
            self._dirty = False

        def _check(self):
            self._check_uint("time", 32)
            self._check_enum("code", EventCode, bits=16)
            self._check_uint("detail", 16)
            self._dirty = False

        def _write__seq(self, io=None):
            super()._write__seq(io)
            self._io.write_u4le(self.time)
            self._io.write_u2le(int(self.code))
            self._io.write_u2le(self.detail)

    _fields = ("log_idx", "events")

    def _read(self):
        self.log_idx = self._io.read_u1()
        self.num_events = self._io.read_u1()
        self._read_children("events", QuarnEventLogResponse.Event, self.num_events)
        self._dirty = False

    def _check(self):
        self._check_uint("log_idx", 8)
        events = self._check_list("events", self.MAX_EVENTS)
        self._check_children("events", events, QuarnEventLogResponse.Event)
        self._dirty = False

    def _write__seq(self, io=None):
        super()._write__seq(io)
        self._io.write_u1(self.log_idx)
        self._io.write_u1(len(self.events))
        self._write_children(self.events)
        self.__dict__["num_events"] = len(self.events)

    def _wire_size(self):
        return self.HEADER_SIZE + self.EVENT_SIZE * len(self.events)
