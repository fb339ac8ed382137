"""Event-log request: which log object and which page of it (4 bytes)."""

from .._record import QuarnRecord


def _object_id_format(value):
    if isinstance(value, int):
        return f"0x{int(value):04x}"
    return repr(value)


class QuarnEventLogRequest(QuarnRecord):
    """``object_id`` (u2le, from ``util.quarn_encode_object_id``) and ``log_idx`` (u2le)."""

    _fields = ("object_id", "log_idx")
    _formats = {"object_id": _object_id_format}
    _SIZE = 4

    def _read(self):
        self.object_id = self._io.read_u2le()
        self.log_idx = self._io.read_u2le()
        self._dirty = False

    def _check(self):
        self._check_uint("object_id", 16)
        self._check_uint("log_idx", 16)
        self._dirty = False

    def _write__seq(self, io=None):
        super()._write__seq(io)
        self._io.write_u2le(self.object_id)
        self._io.write_u2le(self.log_idx)
