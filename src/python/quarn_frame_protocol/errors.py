"""The one error type of the codec."""


class QuarnCodecError(ValueError):
    """Bytes that do not parse as the expected record, or a record that cannot be written.

    The message names the record and what was wrong with it. ``record`` holds the
    record's name (``None`` when the failure is not tied to one record).
    """

    def __init__(self, message, record=None):
        super().__init__(message)
        self.message = message
        self.record = record
