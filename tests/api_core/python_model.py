"""HalvexMediatorAPI written as a plain Python class, the reference the compiled core is compared
with (tests/api_core/test_same_as_python.py).

`model_class(module)` makes the class with its functions' globals set to `module.__dict__`, so the
model resolves every name as a function defined in that module does: the module namespace, then
the module's builtins. The typed steps (argument checks and conversions, declared result types)
are done by the helpers below, bound as closures: they look nothing up, as the host's typed
conversions do not.
"""

from __future__ import annotations

import builtins
import types

_int, _str, _dict, _getattr = builtins.int, builtins.str, builtins.dict, builtins.getattr


def _arg(value, name, expected, none_ok=False):
    if (value is None and none_ok) or type(value) is expected:
        return value
    raise TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(value).__name__})")


def _arg_int(value, name):
    if type(value) is _int:
        return value
    if not _is_number(value):
        _arg(value, name, _int)
    return _int(value)


def _is_number(value):
    return any(hasattr(type(value), slot) for slot in ("__index__", "__int__", "__float__"))


def _expect(value, expected):
    if value is None or type(value) is expected:
        return value
    raise TypeError(f"Expected {expected.__name__}, got {type(value).__name__}")


def _expect_dict(value):
    if value is None or isinstance(value, _dict):
        return value
    raise TypeError(f"Expected dict, got {type(value).__name__}")


def _convert(value, to):
    if value is None or type(value) is to:
        return value
    if not _is_number(value):
        raise TypeError(f"Expected {to.__name__}, got {type(value).__name__}")
    return to(value)


def _truth(value):
    return True if value else False


def _reports_end_of_stream(e):
    """Whether the error code of a MediatorClientException (its `code`, else its first argument)
    is the text HALVEX_EOF_ERROR."""
    code = _getattr(e, "code", _arg)
    if code is _arg:
        args = e.args
        code = args[0] if isinstance(args, tuple) and args else None
    return isinstance(code, _str) and _str.__eq__(code, "HALVEX_EOF_ERROR") is True


def _build():
    # Free variables of the methods: the typed steps, which look nothing up.
    arg, arg_int, expect, expect_dict, convert, truth = _arg, _arg_int, _expect, _expect_dict, _convert, _truth
    reports_end_of_stream, _float, _int, _str, _bytes = (_reports_end_of_stream, builtins.float, builtins.int,
                                                         builtins.str, builtins.bytes)

    # Steps several methods share; each is the same code inline in each of them. Every other name
    # below (neither a parameter, a local nor one of the above) is the module's.

    # `object_id` gives the member when called, so it is read where the inline code reads it.
    def step_power(self, serial, object_id, message):
        data = self._read_element(serial, object_id())
        power_kwh = data.power / 1000
        self.log.info(message, power_kwh=power_kwh, serial=serial)
        return convert(power_kwh, _float)

    def step_registers(self, serial, object_id, message):
        data = self._read_element(serial, object_id())
        reads = {
            "import_active": data.import_active / 1000,
            "export_active": data.export_active / 1000,
            "import_reactive": data.import_reactive / 1000,
            "export_reactive": data.export_reactive / 1000,
        }
        self.log.info(message, reads=reads, serial=serial)
        return reads

    def step_serialise(record, size):
        _io = KaitaiStream(BytesIO(bytearray(size)))
        record._write(_io)
        return _io.to_byte_array()

    def step_setting(self, serial, object_id, message, field):
        data = self._read_element(serial, object_id())
        self.log.info(message, **{field: data.setting}, serial=serial)
        return data.setting

    def step_setting_write(self, serial, object_id, setting):
        payload = bytes([setting.value])
        self._write_element(serial, object_id(), payload)

    def step_guarded(self, serial, object_id, warning):
        # The guard takes an end of stream: the transport's own, or as _read_element reports it.
        try:
            return self._read_element(serial, object_id())
        except HalvexEOFError as e:
            self.log.warn(warning + str(e) + ")", serial=serial)
            return None
        except MediatorClientException as e:
            if not reports_end_of_stream(e):
                raise
            self.log.warn(warning + str(e) + ")", serial=serial)
            return None

    class HalvexMediatorAPI:
        def __init__(self, mediator_address="0.0.0.0:50051", logging_level=20):
            arg(mediator_address, "mediator_address", _str, True)
            self.grpc_client = HalvexMediatorGrpcClient(mediator_address=mediator_address)
            logging.getLogger().setLevel(logging_level)
            self.log = logger.bind(mediator_address=mediator_address)
            self.log.debug("HalvexMediatorClient init")
            self._hardware_cache = {}

        # ---- identity -------------------------------------------------------------------------

        def serial_read(self, serial):
            arg(serial, "serial", _str)
            data = self._read_element(serial, ObjectIdEnum.serial)
            serial_number = expect(data.serial.strip(), _str)
            self.log.info("received serial", serial=serial_number, request_serial=serial)
            return serial_number

        def hardware(self, serial):
            arg(serial, "serial", _str)
            if serial in self._hardware_cache:
                return expect(self._hardware_cache[serial], _str)
            data = self._read_element(serial, ObjectIdEnum.hardware_version)
            if data.hardware == "":
                hw_config = self.three_phase_hardware_configuration(serial)
                if hw_config.meter_type == QuarnMessage.ThreePhaseMeterType.ax_whole_current:
                    hardware = "P1.ax"
                elif hw_config.meter_type == QuarnMessage.ThreePhaseMeterType.cx_ct_operated:
                    hardware = "P1.cx"
                else:
                    hardware = "THREE_PHASE_UNKNOWN"
            else:
                hardware_str = expect(data.hardware.replace("\x00", "").strip(), _str)
                hardware = expect(single_phase_hardware_str_to_registry_str.get(hardware_str, None), _str)
                if hardware is None:
                    hardware = "SINGLE_PHASE_UNKNOWN"
            self.log.info("hardware", hardware=hardware, serial=serial)
            self._hardware_cache[serial] = hardware
            return hardware

        def firmware_version(self, serial):
            arg(serial, "serial", _str)
            data = self._read_element(serial, ObjectIdEnum.firmware_version)
            version_bytes = bytearray(data.version_bytes)
            if len(version_bytes) == 4:
                version = quarn_format_firmware_version(version_bytes.decode("ascii"))
            else:
                version = version_bytes.hex()
            self.log.info("firmware version", firmware_version=version, serial=serial)
            return str(version)

        def three_phase_hardware_configuration(self, serial):
            arg(serial, "serial", _str)
            data = self._read_element(serial, ObjectIdEnum.three_phase_hardware_configuration)
            self.log.info("three phase hardware configuration", value=str(data), serial=serial)
            return data

        # ---- clock ----------------------------------------------------------------------------

        def clock_time_read(self, serial):
            arg(serial, "serial", _str)
            data = self._read_element(serial, ObjectIdEnum.time)
            clock_time = datetime.datetime(2000 + data.year, data.month, data.date, data.hour, data.minute,
                                           data.second, tzinfo=datetime.timezone.utc)
            self.log.info("received time", time=clock_time.isoformat(), serial=serial)
            return clock_time

        def clock_time_write(self, serial):
            arg(serial, "serial", _str)
            now = datetime.datetime.now(tz=datetime.timezone.utc)
            payload = quarn_encode_datetime_to_time_rec(now)
            self._write_element(serial, ObjectIdEnum.time, payload)

        # ---- readings -------------------------------------------------------------------------

        def csq(self, serial):
            arg(serial, "serial", _str)
            data = self._read_element(serial, ObjectIdEnum.csq_net_op)
            self.log.info("received csq", csq=data.csq, serial=serial)
            return convert(data.csq, _int)

        def instantaneous_voltage(self, serial):
            arg(serial, "serial", _str)
            data = self._read_element(serial, ObjectIdEnum.instantaneous_voltage)
            self.log.info("received instantaneous voltage", voltage=data.voltage, serial=serial)
            return float(data.voltage)

        def instantaneous_active_power(self, serial):
            arg(serial, "serial", _str)
            return step_power(self, serial, lambda: ObjectIdEnum.instantaneous_active_power, "received instantaneous active power")

        def instantaneous_active_power_element_a(self, serial):
            arg(serial, "serial", _str)
            return step_power(self, serial, lambda: ObjectIdEnum.element_a_instantaneous_active_power_import,
                               "received instantaneous active power (element a)")

        def instantaneous_active_power_element_b(self, serial):
            arg(serial, "serial", _str)
            return step_power(self, serial, lambda: ObjectIdEnum.element_b_instantaneous_active_power_import,
                               "received instantaneous active power (element b)")

        # ---- registers ------------------------------------------------------------------------

        def read(self, serial):
            arg(serial, "serial", _str)
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

        def read_element_a(self, serial):
            arg(serial, "serial", _str)
            return step_registers(self, serial, lambda: ObjectIdEnum.read_element_a, "received read_element_a record")

        def read_element_b(self, serial):
            arg(serial, "serial", _str)
            return step_registers(self, serial, lambda: ObjectIdEnum.read_element_b, "received read_element_b record")

        # ---- settings -------------------------------------------------------------------------

        def daylight_savings_correction_enabled(self, serial):
            arg(serial, "serial", _str)
            data = self._read_element(serial, ObjectIdEnum.daylight_savings_correction_flag)
            enabled = truth(data.enabled_flag == 1)
            self.log.info("received daylight savings correction flag", daylight_savings_correction_flag=enabled,
                          serial=serial)
            return enabled

        def daylight_savings_correction_enabled_write(self, serial, enabled):
            arg(serial, "serial", _str)
            payload = bytes.fromhex("01" if enabled else "00")
            self._write_element(serial, ObjectIdEnum.daylight_savings_correction_flag, payload)

        def backlight(self, serial):
            arg(serial, "serial", _str)
            return step_setting(self, serial, lambda: ObjectIdEnum.backlight, "received backlight setting",
                                "backlight_setting")

        def backlight_write(self, serial, setting):
            arg(serial, "serial", _str)
            step_setting_write(self, serial, lambda: ObjectIdEnum.backlight, setting)

        def load_switch(self, serial):
            arg(serial, "serial", _str)
            return step_setting(self, serial, lambda: ObjectIdEnum.load_switch, "received load switch setting",
                                "load_switch_setting")

        def load_switch_write(self, serial, setting):
            arg(serial, "serial", _str)
            step_setting_write(self, serial, lambda: ObjectIdEnum.load_switch, setting)

        # ---- three-phase ----------------------------------------------------------------------

        def three_phase_serial(self, serial):
            arg(serial, "serial", _str)
            data = self._read_element(serial, ObjectIdEnum.three_phase_serial)
            three_phase_serial = data.serial.strip()
            self.log.info("received three phase serial", serial=three_phase_serial, request_serial=serial)
            return expect(three_phase_serial, _str)

        def three_phase_read(self, serial, hardware):
            arg(serial, "serial", _str)
            arg(hardware, "hardware", _str, True)
            if hardware is None or hardware == "":
                hardware = expect(self.hardware(serial), _str)
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

        def three_phase_instantaneous_voltage(self, serial):
            arg(serial, "serial", _str)
            v1 = self._read_element(serial, ObjectIdEnum.three_phase_instantaneous_voltage_l1)
            v2 = step_guarded(self, serial, lambda: ObjectIdEnum.three_phase_instantaneous_voltage_l2,
                              "3p v2 failed - setting to None (e=")
            v3 = step_guarded(self, serial, lambda: ObjectIdEnum.three_phase_instantaneous_voltage_l3,
                              "3p v3 failed - setting to None (e=")
            voltages = (v1.voltage / 10.0, None if v2 is None else v2.voltage / 10.0,
                        None if v3 is None else v3.voltage / 10.0)
            self.log.info("voltages [" + str(voltages) + "]", serial=serial)
            return voltages

        # ---- logs -----------------------------------------------------------------------------

        def profile_log_1(self, serial, timestamp):
            arg(serial, "serial", _str)
            log_rsp = self._profile_log(serial, timestamp, QuarnData.RecordFormat.profile_log_1)
            log_decoded = quarn_decode_profile_log_1_response(log_rsp)
            self.log.debug("profile_log_1 response [" + str(log_decoded) + "]", serial=serial)
            return log_decoded

        def profile_log_2(self, serial, timestamp, is_twin_element):
            is_twin_element = truth(is_twin_element)
            arg(serial, "serial", _str)
            log_rsp = self._profile_log(serial, timestamp, QuarnData.RecordFormat.profile_log_2)
            log_decoded = quarn_decode_profile_log_2_response(is_twin_element, log_rsp)
            self.log.debug("profile_log_2 response [" + str(log_decoded) + "]", is_twin_element=is_twin_element,
                           serial=serial)
            return log_decoded

        def _profile_log(self, serial, timestamp, format):
            arg(serial, "serial", _str)
            message_len = 4
            message_field = QuarnProfileLogRequest()
            message_field.timestamp = quarn_datetime_to_epoch_seconds(timestamp)
            message_field_bytes = step_serialise(message_field, message_len)
            data_field = QuarnData(message_len)
            data_field.format = format
            data_field.message = message_field_bytes
            data_field_bytes = step_serialise(data_field, message_len + 1)
            self.log.debug("profile log request [" + data_field_bytes.hex() + "]", serial=serial)
            return expect(self._send_message(serial, data_field_bytes), _bytes)

        def event_log(self, serial, log_idx):
            log_idx = arg_int(log_idx, "log_idx")
            arg(serial, "serial", _str)
            valid_event_log_idx(log_idx)
            message_len = 4
            message_field = QuarnEventLogRequest()
            message_field.object_id = quarn_encode_object_id(QuarnMessage.ObjectIdType.event_log)
            message_field.log_idx = log_idx
            message_field_bytes = step_serialise(message_field, message_len)
            data_field = QuarnData(message_len)
            data_field.format = QuarnData.RecordFormat.event_log
            data_field.message = message_field_bytes
            data_field_bytes = step_serialise(data_field, message_len + 1)
            self.log.info("event log request [" + data_field_bytes.hex() + "]", serial=serial)
            response_bytes = self._send_message(serial, data_field_bytes)
            self.log.info("event log response [" + response_bytes.hex() + "]", serial=serial)
            data = QuarnEventLogResponse(KaitaiStream(BytesIO(response_bytes)))
            data._read()
            self.log.info("event logs [" + str(data) + "]", serial=serial)
            return data

        # ---- three-phase intervals ------------------------------------------------------------

        def _three_phase_intervals_read(self, serial, start_time, end_time, profile):
            arg(serial, "serial", _str)
            message_len = 13
            message_field = QuarnProfileThreePhaseIntervalsRequest()
            message_field.profile_number = profile
            message_field.start_time = quarn_datetime_to_epoch_seconds(start_time)
            message_field.end_time = quarn_datetime_to_epoch_seconds(end_time)
            message_field.trailing_fixed = bytearray.fromhex("ffffffff")
            message_field_bytes = step_serialise(message_field, message_len)
            data_field = QuarnData(message_len)
            data_field.format = QuarnData.RecordFormat.three_phase_profile_intervals
            data_field.message = message_field_bytes
            data_field_bytes = step_serialise(data_field, message_len + 1)
            self.log.debug("three phase intervals frame request [" + data_field_bytes.hex() + "]", serial=serial)
            response_bytes = self._send_message(serial, data_field_bytes)
            self.log.debug("three phase intervals frame response [" + response_bytes.hex() + "]", serial=serial)
            if profile == QuarnProfileThreePhaseIntervalsRequest.ProfileNumber.reset:
                return None
            frame = QuarnProfileThreePhaseIntervalsResponseFrame(len(response_bytes),
                                                                 KaitaiStream(BytesIO(response_bytes)))
            frame._read()
            self.log.debug("three phase intervals frame [" + str(frame) + "]", serial=serial)
            frame_data = frame.frame_data
            block = QuarnProfileThreePhaseIntervalsResponseBlock(len(frame_data), KaitaiStream(BytesIO(frame_data)))
            block._read()
            self.log.debug("three phase intervals block [" + str(block) + "]", serial=serial)
            return block

        def three_phase_intervals(self, serial, day, start_time, end_time, csv=None, include_statuses=False):
            include_statuses = truth(include_statuses)
            arg(serial, "serial", _str)
            arg(csv, "csv", _str, True)
            if day:
                start_time = datetime.datetime.combine(day, datetime.time(0, 0), tzinfo=ZoneInfo("UTC"))
                end_time = datetime.datetime.combine(day, datetime.time(23, 30), tzinfo=ZoneInfo("UTC"))
            else:
                if start_time is None or end_time is None:
                    raise Exception("start_time and end_time must be provided")
                if start_time >= end_time:
                    raise Exception("start_time must come before end_time")
                if end_time > start_time + datetime.timedelta(hours=24):
                    raise Exception("max range between start_time and end_time is 24 hours")
            hardware = self.three_phase_hardware_configuration(serial)
            self.log.info(f"meter type = {hardware.meter_type.name}", serial=serial)
            hours_per_frame = 4
            if end_time <= start_time + datetime.timedelta(hours=hours_per_frame):
                block = self._three_phase_intervals_read(serial, start_time, end_time,
                                                         QuarnProfileThreePhaseIntervalsRequest.ProfileNumber.profile_0)
                all_intervals = blocks_to_intervals_rec([block])
            else:
                blocks = []
                current_start = start_time
                while current_start < end_time:
                    current_end = current_start + datetime.timedelta(hours=hours_per_frame)
                    if end_time < current_end:
                        current_end = end_time
                    block = self._three_phase_intervals_read(
                        serial, current_start, current_end,
                        QuarnProfileThreePhaseIntervalsRequest.ProfileNumber.profile_0)
                    blocks.append(block)
                    current_start = current_end
                all_intervals = blocks_to_intervals_rec(blocks)
            export_three_phase_intervals_to_csv(all_intervals, csv, hardware.meter_type, include_statuses)
            if csv:
                self.log.info("wrote intervals to [" + csv + "]", serial=serial)
            else:
                self.log.info("wrote intervals to stdout", serial=serial)
            return all_intervals

        # ---- OBIS -----------------------------------------------------------------------------

        def obis_read(self, serial, obis):
            arg(serial, "serial", _str)
            arg(obis, "obis", _str)
            object_id = quarn_obis_triplet_to_decimal(obis)
            result = self._read_element(serial, object_id)
            self.log.info("obis_read", obis=obis, result=result.payload.hex(), serial=serial)
            return expect(result.payload, _bytes)

        def obis_write(self, serial, obis, payload_hex):
            arg(serial, "serial", _str)
            arg(obis, "obis", _str)
            arg(payload_hex, "payload_hex", _str)
            object_id = quarn_obis_triplet_to_decimal(obis)
            payload_bytes = bytes.fromhex(payload_hex)
            self._write_element(serial, object_id, payload_bytes)

        # ---- the transport primitives ---------------------------------------------------------

        def _read_element(self, serial, object_id):
            arg(serial, "serial", _str)
            try:
                return self.grpc_client.read_element(serial, object_id)
            except HalvexConnectionFailure as e:
                raise MediatorClientException("HALVEX_CONNECTION_FAILURE", e.message)
            except HalvexEOFError as e:
                raise MediatorClientException("HALVEX_EOF_ERROR", e.message)
            except grpc.RpcError as e:
                code_name = e.code().name
                raise MediatorClientException(code_name, str(e.details() or ""))

        def _write_element(self, serial, object_id, payload):
            arg(serial, "serial", _str)
            arg(payload, "payload", _bytes)
            try:
                self.grpc_client.write_element(serial, object_id, payload)
            except HalvexConnectionFailure as e:
                raise MediatorClientException("HALVEX_CONNECTION_FAILURE", e.message)
            except HalvexEOFError as e:
                raise MediatorClientException("HALVEX_EOF_ERROR", e.message)
            except grpc.RpcError as e:
                code_name = e.code().name
                raise MediatorClientException(code_name, str(e.details() or ""))

        def _send_message(self, serial, message):
            arg(serial, "serial", _str)
            arg(message, "message", _bytes)
            try:
                response = self.grpc_client.send_message(serial, message)
            except grpc.RpcError as e:
                code_name = e.code().name
                raise MediatorClientException(code_name, str(e.details() or ""))
            return expect(response, _bytes)

        def _safe_read_element(self, serial, element_id):
            arg(serial, "serial", _str)
            try:
                return self._read_element(serial, element_id)
            except Exception as e:
                name = getattr(element_id, "name", str(element_id))
                logger.error(f"Failed to read element {name}. Exception: {e}", serial=serial)
                return None

        # ---- scaling --------------------------------------------------------------------------

        def _scale_value(self, rec, hardware):
            arg(hardware, "hardware", _str)
            if hardware == "P1.cx":
                return convert(self._scale_10k_value(rec), _float)
            return convert(self._scale_kilo_value(rec), _float)

        def _scale_10k_value(self, rec):
            if not rec:
                return None
            return convert(rec.value / 10000, _float)

        def _scale_kilo_value(self, rec):
            if not rec:
                return None
            return convert(rec.value / 1000, _float)

    return HalvexMediatorAPI


def model_class(module: types.ModuleType) -> type:
    """The model class, its methods and shared steps resolving names in `module`."""
    namespace = module.__dict__

    def rebind(f):
        return types.FunctionType(f.__code__, namespace, f.__name__, f.__defaults__, f.__closure__)

    cls = _build()
    for name, value in list(vars(cls).items()):
        if isinstance(value, types.FunctionType):
            for cell in value.__closure__ or ():
                step = cell.cell_contents
                if isinstance(step, types.FunctionType) and step.__name__.startswith("step_") \
                        and step.__globals__ is not namespace:
                    cell.cell_contents = rebind(step)
            setattr(cls, name, rebind(value))
    cls.__module__ = module.__name__
    return cls
