"""Reply to a profile log 2 request: per-element registers at a recorded time.

Twin-element meters add element B after element A; single-element meters send element A only.
"""

from kaitaistruct import KaitaiStream

from ._record import EnergyRegistersRec, QuarnRecord, epoch_format, flags_format, reply_bytes
from .errors import QuarnCodecError
from .quarn_profile_log_1_response import ProfileStatus
from .stream import BytesIO


class QuarnProfileLog2Response(QuarnRecord):
    """``timestamp`` u4le, ``status`` u1 (ProfileStatus), ``element_a`` (16 bytes) and, on
    twin-element meters, ``element_b`` (16 bytes; None otherwise). 21 or 37 bytes."""

    ProfileStatus = ProfileStatus
    SINGLE_ELEMENT_SIZE = 21
    TWIN_ELEMENT_SIZE = 37

    class ElementValues(EnergyRegistersRec):
        """Registers of one element in Wh / varh, each u4le."""

    _params = ("is_twin_element",)
    _fields = ("timestamp", "status", "element_a", "element_b")
    _formats = {"timestamp": epoch_format, "status": flags_format(ProfileStatus)}

    def __init__(self, is_twin_element=False, _io=None, _parent=None, _root=None, **fields):
        super().__init__(_io, _parent, _root, **fields)
        self.is_twin_element = bool(is_twin_element)

    def _read(self):
        self.timestamp = self._io.read_u4le()
        self.status = ProfileStatus(self._io.read_u1())
        self._read_child("element_a", QuarnProfileLog2Response.ElementValues)
        if self.is_twin_element:
            self._read_child("element_b", QuarnProfileLog2Response.ElementValues)
        else:
            self.element_b = None
        self._dirty = False

    def _check(self):
        self._check_uint("timestamp", 32)
        self._check_enum("status", ProfileStatus)
        self._check_child("element_a", self._field("element_a"), QuarnProfileLog2Response.ElementValues)
        element_b = self.__dict__.get("element_b")
        if self.is_twin_element:
            self._check_child("element_b", self._field("element_b"), QuarnProfileLog2Response.ElementValues)
        elif element_b is not None:
            raise QuarnCodecError(
                f"{self._label()}: element_b must be None in a single-element record "
                f"(build it with is_twin_element=True to carry element B)",
                self._label(),
            )
        self._dirty = False

    def _write__seq(self, io=None):
        super()._write__seq(io)
        self._io.write_u4le(self.timestamp)
        self._io.write_u1(int(self.status))
        self.element_a._write__seq(self._io)
        if self.is_twin_element:
            self.element_b._write__seq(self._io)

    def _wire_size(self):
        return self.TWIN_ELEMENT_SIZE if self.is_twin_element else self.SINGLE_ELEMENT_SIZE


def quarn_decode_profile_log_2_response(is_twin_element, data):
    """Decode a profile log 2 reply laid out for a twin-element meter or not (by truth value)."""
    label = "QuarnProfileLog2Response"
    data = reply_bytes(label, data)
    twin = bool(is_twin_element)
    expected = QuarnProfileLog2Response.TWIN_ELEMENT_SIZE if twin else QuarnProfileLog2Response.SINGLE_ELEMENT_SIZE
    if len(data) != expected:
        kind = "twin-element" if twin else "single-element"
        hint = ""
        other = QuarnProfileLog2Response.SINGLE_ELEMENT_SIZE if twin else QuarnProfileLog2Response.TWIN_ELEMENT_SIZE
        if len(data) == other:
            hint = f" (that is the size of a {'single' if twin else 'twin'}-element reply: check the twin-element flag)"
        raise QuarnCodecError(f"{label}: a {kind} reply is {expected} bytes, got {len(data)}{hint}", label)
    record = QuarnProfileLog2Response(twin, KaitaiStream(BytesIO(data)))
    record._read()
    return record
