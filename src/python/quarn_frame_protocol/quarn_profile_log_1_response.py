"""Reply to a profile log 1 request: the meter's energy registers at a recorded time."""

from enum import IntFlag

from kaitaistruct import KaitaiStream

from ._record import ENERGY_REGISTERS, QuarnRecord, epoch_format, flags_format, reply_bytes
from .stream import BytesIO


class ProfileStatus(IntFlag):
    # The supply failed during the recording period.
    power_failure = 0x01
    # The clock was set during the recording period.
    clock_adjusted = 0x02
    # Some values were estimated (a register could not be read).
    estimated = 0x04


class QuarnProfileLog1Response(QuarnRecord):
    """``timestamp`` u4le (epoch seconds, UTC, of the record: the last one at or before the
    requested time), ``status`` u1 (ProfileStatus), then four u4le registers in Wh / varh:
    ``import_active``, ``export_active``, ``import_reactive``, ``export_reactive``. 21 bytes."""

    ProfileStatus = ProfileStatus

    _fields = ("timestamp", "status") + ENERGY_REGISTERS
    _formats = {"timestamp": epoch_format, "status": flags_format(ProfileStatus)}
    _SIZE = 21

    def _read(self):
        self.timestamp = self._io.read_u4le()
        self.status = ProfileStatus(self._io.read_u1())
        self._read_u4le_fields(ENERGY_REGISTERS)
        self._dirty = False

    def _check(self):
        self._check_uint("timestamp", 32)
        self._check_enum("status", ProfileStatus)
        self._check_uint_fields(ENERGY_REGISTERS, 32)
        self._dirty = False

    def _write__seq(self, io=None):
        super()._write__seq(io)
        self._io.write_u4le(self.timestamp)
        self._io.write_u1(int(self.status))
        self._write_u4le_fields(ENERGY_REGISTERS)


def quarn_decode_profile_log_1_response(data):
    """Decode a profile log 1 reply; None (no reply) or bytes that do not parse raise QuarnCodecError."""
    data = reply_bytes("QuarnProfileLog1Response", data)
    record = QuarnProfileLog1Response(KaitaiStream(BytesIO(data)))
    record._read()
    return record
