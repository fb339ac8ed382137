"""The data record exchanged through SendMessage: a record format byte, then the message."""

from enum import IntEnum

from kaitaistruct import KaitaiStream

from ._record import QuarnRecord


class QuarnData(QuarnRecord):
    """``format`` (u1, RecordFormat) then ``message`` (``message_len`` bytes): message_len + 1 bytes.

    Replies to a data record are not wrapped: the mediator returns the response record's bytes.
    """

    class RecordFormat(IntEnum):
        profile_log_1 = 1
        profile_log_2 = 2
        three_phase_profile_intervals = 3
        event_log = 4

    _params = ("message_len",)
    _fields = ("format", "message")
    _formats = {"format": RecordFormat}

    def __init__(self, message_len, _io=None, _parent=None, _root=None, **fields):
        super().__init__(_io, _parent, _root, **fields)
        self.message_len = message_len

    def _read(self):
        self._check_message_len()
        self.format = KaitaiStream.resolve_enum(QuarnData.RecordFormat, self._io.read_u1())
        self.message = self._io.read_bytes(self.message_len)
        self._dirty = False

    def _check(self):
        self._check_message_len()
        self._check_enum("format", QuarnData.RecordFormat)
        self._check_bytes("message", size=self.message_len)
        self._dirty = False

    def _write__seq(self, io=None):
        super()._write__seq(io)
        self._io.write_bytes(bytes((int(self.format),)) + bytes(self.message))

    def _wire_size(self):
        return 1 + self.message_len

    def _check_message_len(self):
        self._check_int_value("message_len", self.message_len, 0, 0xFFFF)
