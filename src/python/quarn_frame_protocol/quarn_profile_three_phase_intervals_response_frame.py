"""Reply to a three-phase interval request: a frame carrying one block of interval data."""

import binascii

from kaitaistruct import KaitaiStream

from ._record import SizedRecord
from .errors import QuarnCodecError
from .generated.quarn_profile_three_phase_intervals_request import QuarnProfileThreePhaseIntervalsRequest


def frame_crc(profile_number, frame_data):
    """CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF) over the header and the data."""
    header = bytes((int(profile_number),)) + len(frame_data).to_bytes(2, "little")
    return binascii.crc_hqx(header + bytes(frame_data), 0xFFFF)


class QuarnProfileThreePhaseIntervalsResponseFrame(SizedRecord):
    """``profile_number`` u1 (echo of the request), ``data_len`` u2le, ``frame_data``, ``crc`` u2le.

    ``length`` is the size of the whole reply (5 + data_len). On writing, ``data_len`` and ``crc``
    are computed from ``frame_data``; a ``length`` of None takes the size the frame needs.
    """

    HEADER_SIZE = 3
    TRAILER_SIZE = 2

    _fields = ("profile_number", "data_len", "frame_data", "crc")
    _formats = {
        "profile_number": QuarnProfileThreePhaseIntervalsRequest.ProfileNumber,
        "crc": lambda v: f"0x{v:04x}" if isinstance(v, int) else repr(v),
    }

    def _read(self):
        self._check_length()
        self.profile_number = KaitaiStream.resolve_enum(
            QuarnProfileThreePhaseIntervalsRequest.ProfileNumber, self._io.read_u1()
        )
        self.data_len = self._io.read_u2le()
        expected = self.HEADER_SIZE + self.data_len + self.TRAILER_SIZE
        if self.length is not None and expected != self.length:
            raise QuarnCodecError(
                f"QuarnProfileThreePhaseIntervalsResponseFrame: the frame declares {self.data_len} data byte(s), "
                f"so it is {expected} byte(s) long, but the reply is {self.length} byte(s)",
                "QuarnProfileThreePhaseIntervalsResponseFrame",
            )
        self.frame_data = self._io.read_bytes(self.data_len)
        self.crc = self._io.read_u2le()
        computed = frame_crc(self.profile_number, self.frame_data)
        if computed != self.crc:
            raise QuarnCodecError(
                f"QuarnProfileThreePhaseIntervalsResponseFrame: checksum mismatch: the frame says "
                f"0x{self.crc:04x}, its contents give 0x{computed:04x} (corrupted reply)",
                "QuarnProfileThreePhaseIntervalsResponseFrame",
            )
        self._dirty = False

    def _check(self):
        self._check_enum("profile_number", QuarnProfileThreePhaseIntervalsRequest.ProfileNumber)
        data = self._check_bytes("frame_data", max_size=0xFFFF)
        self._check_length()
        if self.length is not None and self.length != self.HEADER_SIZE + len(data) + self.TRAILER_SIZE:
            raise QuarnCodecError(
                f"QuarnProfileThreePhaseIntervalsResponseFrame: length is {self.length} but a frame "
                f"with {len(data)} data byte(s) is {self.HEADER_SIZE + len(data) + self.TRAILER_SIZE}",
                "QuarnProfileThreePhaseIntervalsResponseFrame",
            )
        self._dirty = False

    def _write__seq(self, io=None):
        super()._write__seq(io)
        data = bytes(self.frame_data)
        crc = frame_crc(self.profile_number, data)
        self._io.write_u1(int(self.profile_number))
        self._io.write_u2le(len(data))
        self._io.write_bytes(data)
        self._io.write_u2le(crc)
        # Derived fields, kept so that the written record reads back the same (no re-check needed).
        self.__dict__["data_len"] = len(data)
        self.__dict__["crc"] = crc

    def _wire_size(self):
        return self.HEADER_SIZE + len(self.frame_data) + self.TRAILER_SIZE
