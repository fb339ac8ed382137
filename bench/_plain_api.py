"""The measured calls of HalvexMediatorAPI written in plain Python, with the same checks, steps,
late module-name lookups and calls through the object as the compiled core.

bench/core_speed.py runs this module as it stands and, compiled by Cython, as `_plain_api_cy`;
both are this same source. Benchmarks import it from their own folder.
"""

from __future__ import annotations

import logging

import grpc

from norvo_halvex.mediator.grpc.exception.HalvexConnectionFailure import HalvexConnectionFailure
from norvo_halvex.mediator.grpc.exception.HalvexEOFError import HalvexEOFError
from norvo_halvex.mediator.mediator_client_exception import MediatorClientException
from norvo_halvex.util.meters import is_three_phase, is_twin_element
from quarn_frame_protocol.quarn_object_id_enum import ObjectIdEnum

from _fakes import InstantTransport, QuietLogger


# What the constructor uses; a benchmark puts its own transport and logger on the object.
HalvexMediatorGrpcClient = InstantTransport
logger = QuietLogger()


def bad_arg(name, expected, value):
    raise TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


def expect_str(value):
    if value is not None and type(value) is not str:
        raise TypeError(f"Expected str, got {type(value).__name__}")
    return value


def expect_dict(value):
    if value is not None and not isinstance(value, dict):
        raise TypeError(f"Expected dict, got {type(value).__name__}")
    return value


def to_float(value):
    if value is None or type(value) is float:
        return value
    return float(value)


def to_int(value):
    if value is None or type(value) is int:
        return value
    return int(value)


class PlainAPI:
    def __init__(self, mediator_address="0.0.0.0:50051", logging_level=logging.INFO):
        if mediator_address is not None and type(mediator_address) is not str:
            bad_arg("mediator_address", "str", mediator_address)
        self.grpc_client = HalvexMediatorGrpcClient(mediator_address=mediator_address)
        logging.getLogger().setLevel(logging_level)
        self.log = logger.bind(mediator_address=mediator_address)
        self.log.debug("HalvexMediatorClient init")
        self._hardware_cache = {}

    # ---- the transport primitives and scaling -------------------------------------------------

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
        return to_float(self._scale_10k_value(rec) if hardware == "P1.cx" else self._scale_kilo_value(rec))

    def _scale_10k_value(self, rec):
        return None if not rec else to_float(rec.value / 10000)

    def _scale_kilo_value(self, rec):
        return None if not rec else to_float(rec.value / 1000)

    # ---- operations ---------------------------------------------------------------------------

    def hardware(self, serial):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        if serial in self._hardware_cache:
            return expect_str(self._hardware_cache[serial])
        raise NotImplementedError("the benchmark always has the hardware cached")

    def csq(self, serial):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        data = self._read_element(serial, ObjectIdEnum.csq_net_op)
        self.log.info("received csq", csq=data.csq, serial=serial)
        return to_int(data.csq)

    def instantaneous_active_power(self, serial):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        data = self._read_element(serial, ObjectIdEnum.instantaneous_active_power)
        power_kwh = data.power / 1000
        self.log.info("received instantaneous active power", power_kwh=power_kwh, serial=serial)
        return to_float(power_kwh)

    def read(self, serial):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        hardware = self.hardware(serial)
        if is_three_phase(hardware):
            return self.three_phase_read(serial, hardware)
        element_a = expect_dict(self.read_element_a(serial))
        element_b = None
        if is_twin_element(hardware):
            element_b = expect_dict(self.read_element_b(serial))
        pair = (element_a, element_b)
        self.log.info("single phase read [" + str(pair) + "]", serial=serial)
        return pair

    def _element(self, serial, object_id, message):
        data = self._read_element(serial, object_id)
        reads = {
            "import_active": data.import_active / 1000,
            "export_active": data.export_active / 1000,
            "import_reactive": data.import_reactive / 1000,
            "export_reactive": data.export_reactive / 1000,
        }
        self.log.info(message, reads=reads, serial=serial)
        return reads

    def read_element_a(self, serial):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        return self._element(serial, ObjectIdEnum.read_element_a, "received read_element_a record")

    def read_element_b(self, serial):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        return self._element(serial, ObjectIdEnum.read_element_b, "received read_element_b record")

    def three_phase_read(self, serial, hardware):
        if type(serial) is not str:
            bad_arg("serial", "str", serial)
        if hardware is not None and type(hardware) is not str:
            bad_arg("hardware", "str", hardware)
        if not hardware:
            hardware = expect_str(self.hardware(serial))
        active_import = self._safe_read_element(serial, ObjectIdEnum.three_phase_total_active_import)
        active_export = self._safe_read_element(serial, ObjectIdEnum.three_phase_total_active_export)
        reactive_import = self._safe_read_element(serial, ObjectIdEnum.three_phase_total_reactive_import)
        reactive_export = self._safe_read_element(serial, ObjectIdEnum.three_phase_total_reactive_export)
        apparent_import = self._safe_read_element(serial, ObjectIdEnum.three_phase_total_apparent_import)
        apparent_export = self._safe_read_element(serial, ObjectIdEnum.three_phase_total_apparent_export)
        reads = {
            "active_import": self._scale_value(active_import, hardware),
            "active_export": self._scale_value(active_export, hardware),
            "reactive_import": self._scale_value(reactive_import, hardware),
            "reactive_export": self._scale_value(reactive_export, hardware),
            "apparent_import": self._scale_value(apparent_import, hardware),
            "apparent_export": self._scale_value(apparent_export, hardware),
        }
        self.log.info("reads: " + str(reads), serial=serial)
        return reads
