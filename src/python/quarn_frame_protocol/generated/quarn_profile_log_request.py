"""Profile-log request: the time of the wanted record (4 bytes)."""

from .._record import QuarnRecord, epoch_format


class QuarnProfileLogRequest(QuarnRecord):
    """``timestamp``: u4le epoch seconds (UTC). The meter answers the record at or before it."""

    _fields = ("timestamp",)
    _formats = {"timestamp": epoch_format}
    _SIZE = 4

    def _read(self):
        self.timestamp = self._io.read_u4le()
        self._dirty = False

    def _check(self):
        self._check_uint("timestamp", 32)
        self._dirty = False

    def _write__seq(self, io=None):
        super()._write__seq(io)
        self._io.write_u4le(self.timestamp)
