"""What the benchmarks share: a logger that does nothing and a transport that answers at once.
(The plain-Python versions of the core's calls are in _plain_api.py.)

The benchmarks import it as ``_fakes`` (their own folder is put on ``sys.path``).
"""

from __future__ import annotations



class QuietLogger:
    def bind(self, **fields):
        return self

    def debug(self, message, **fields):
        pass

    info = warn = error = debug


class InstantTransport:
    """Writes and data records answered at once; a benchmark gives ``read_element`` its records."""

    def __init__(self, mediator_address=None):
        pass

    def read_element(self, serial, object_id):
        raise NotImplementedError

    def write_element(self, serial, object_id, payload):
        return None

    def send_message(self, serial, message):
        return b""
