"""Three-phase interval frame request (13 bytes)."""

import struct
from enum import IntEnum

from kaitaistruct import KaitaiStream

from .._record import QuarnRecord, epoch_format
from ..errors import QuarnCodecError


# profile_number, start_time, end_time
_HEAD = struct.Struct("<BII")


class QuarnProfileThreePhaseIntervalsRequest(QuarnRecord):
    """``profile_number`` u1, ``start_time`` u4le, ``end_time`` u4le, ``trailing_fixed`` 4 bytes FF.

    The window is inclusive: the reply carries the intervals starting in [start_time, end_time].
    """

    class ProfileNumber(IntEnum):
        profile_0 = 0
        # Sent for its effect: the meter restarts its interval profile; the reply is not parsed.
        reset = 0xFF

    TRAILING_FIXED = b"\xff\xff\xff\xff"

    _fields = ("profile_number", "start_time", "end_time", "trailing_fixed")
    _formats = {"profile_number": ProfileNumber, "start_time": epoch_format, "end_time": epoch_format}
    _SIZE = 13

    def _read(self):
        self.profile_number = KaitaiStream.resolve_enum(
            QuarnProfileThreePhaseIntervalsRequest.ProfileNumber, self._io.read_u1()
        )
        self.start_time = self._io.read_u4le()
        self.end_time = self._io.read_u4le()
        self.trailing_fixed = self._io.read_bytes(4)
        self._ensure_trailing_fixed(self.trailing_fixed)
        self._dirty = False

    def _check(self):
        self._check_enum("profile_number", QuarnProfileThreePhaseIntervalsRequest.ProfileNumber)
        self._check_uint("start_time", 32)
        self._check_uint("end_time", 32)
        self._ensure_trailing_fixed(self._check_bytes("trailing_fixed", size=4))
        self._dirty = False

    def _ensure_trailing_fixed(self, trailing):
        if bytes(trailing) != self.TRAILING_FIXED:
            raise QuarnCodecError(
                f"QuarnProfileThreePhaseIntervalsRequest: trailing_fixed must be ff ff ff ff, "
                f"got {bytes(trailing).hex(' ')}",
                "QuarnProfileThreePhaseIntervalsRequest",
            )

    def _write__seq(self, io=None):
        super()._write__seq(io)
        # One write of the whole record: a download sends one of these per frame.
        self._io.write_bytes(
            _HEAD.pack(int(self.profile_number), self.start_time, self.end_time) + bytes(self.trailing_fixed)
        )


ProfileNumber = QuarnProfileThreePhaseIntervalsRequest.ProfileNumber
