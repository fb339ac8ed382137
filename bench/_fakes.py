"""What the overhead benchmarks share: a logger that does nothing, a transport that answers at
once, the plain-Python versions of the core's transport primitives, and a per-call timer.

The benchmarks import it as ``_fakes`` (their own folder is put on ``sys.path``).
"""

from __future__ import annotations

import time

import grpc

from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException


class QuietLogger:
    def bind(self, **fields):
        return self

    def debug(self, message, **fields):
        pass

    info = warn = error = debug


logger = QuietLogger()


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


def bad_arg(name, expected, value):
    raise TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


class PlainPrimitives:
    """The core's transport primitives and scaling written in Python, checks included.
    A subclass sets ``grpc_client``."""

    def _read_element(self, serial, object_id):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        try:
            return self.grpc_client.read_element(serial, object_id)
        except HalvexConnectionFailure as e:
            raise MediatorClientException("HALVEX_CONNECTION_FAILURE", e.message)
        except HalvexEOFError as e:
            raise MediatorClientException("HALVEX_EOF_ERROR", e.message)
        except grpc.RpcError as e:
            name = e.code().name
            raise MediatorClientException(name, str(e.details() or ""))

    def _safe_read_element(self, serial, element_id):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        try:
            return self._read_element(serial, element_id)
        except Exception as e:
            name = getattr(element_id, "name", str(element_id))
            logger.error(f"Failed to read element {name}. Exception: {e}", serial=serial)
            return None

    def _scale_value(self, rec, hardware):
        if type(hardware) is not str:
            bad_arg("hardware", "str", hardware)
        return self._scale_10k_value(rec) if hardware == "P1.cx" else self._scale_kilo_value(rec)

    def _scale_10k_value(self, rec):
        return None if not rec else float(rec.value / 10000)

    def _scale_kilo_value(self, rec):
        return None if not rec else float(rec.value / 1000)


def per_call_ns(fn, n: int) -> float:
    start = time.perf_counter_ns()
    for _ in range(n):
        fn()
    return (time.perf_counter_ns() - start) / n
