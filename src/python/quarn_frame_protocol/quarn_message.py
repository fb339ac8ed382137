"""Element records: the payload of each meter object read or written as an element.

``QuarnMessage(object_id, _io)`` reads the record of one object; its ``body`` is chosen by the
identifier (``ObjectIdEnum``); identifiers it does not know (OBIS objects) read as
``RawPayloadRec``. All numbers are little-endian. Layouts: docs/protocol.md.
"""

from enum import IntEnum

from kaitaistruct import KaitaiStream

from ._record import EnergyRegistersRec, QuarnRecord, WholePayloadRecord
from .errors import QuarnCodecError
from .quarn_object_id_enum import ObjectIdEnum


class QuarnMessage(QuarnRecord):
    """The record of one meter object, chosen by ``object_id``."""

    class BacklightSettingType(IntEnum):
        off = 0
        on = 1
        auto = 2

    class LoadSwitchSettingType(IntEnum):
        disconnected = 0
        connected = 1
        armed = 2

    class ThreePhaseMeterType(IntEnum):
        unconfigured = 0
        ax_whole_current = 1
        cx_ct_operated = 2

    class ObjectIdType(IntEnum):
        # Log objects addressed inside data records (see util.quarn_encode_object_id).
        event_log = 1
        profile_log_1 = 2
        profile_log_2 = 3
        three_phase_intervals = 4

    _params = ("object_id",)
    _fields = ("body",)
    _formats = {"object_id": ObjectIdEnum}

    def __init__(self, object_id, _io=None, _parent=None, _root=None, **fields):
        super().__init__(_io, _parent, _root, **fields)
        self.object_id = object_id

    def _label(self):
        # Errors name the record actually carried (QuarnMessage.TimeRec), not the wrapper.
        body = self.__dict__.get("body")
        return body._label() if isinstance(body, QuarnRecord) else "QuarnMessage"

    def _read(self):
        _on = KaitaiStream.resolve_enum(ObjectIdEnum, self.object_id)
        self._read_child("body", QuarnMessage.record_type_for(_on))
        self._dirty = False

    def _check(self):
        expected = QuarnMessage.record_type_for(self.object_id)
        body = self._field("body")
        if type(body) is not expected:
            raise QuarnCodecError(
                f"QuarnMessage: object {_object_label(self.object_id)} carries a "
                f"{expected.__name__}, got {type(body).__name__}",
                "QuarnMessage",
            )
        self._check_child("body", body, expected)
        self._dirty = False

    def _write__seq(self, io=None):
        super()._write__seq(io)
        self.body._write__seq(self._io)

    def _wire_size(self):
        return self.body._wire_size()

    @staticmethod
    def record_type_for(object_id):
        if isinstance(object_id, bool) or not isinstance(object_id, int):
            raise TypeError(f"object identifier must be an ObjectIdEnum member or an int, got {type(object_id).__name__}")
        return _BODY_TYPES.get(int(object_id), QuarnMessage.RawPayloadRec)

    # ------------------------------------------------------------ text and bytes

    class SerialRec(WholePayloadRecord):
        """Serial number text (ASCII), the whole payload."""

        _fields = ("serial",)
        _text = True

    class HardwareVersionRec(WholePayloadRecord):
        """Hardware text (ASCII, NULs kept), the whole payload; empty on three-phase meters."""

        _fields = ("hardware",)
        _text = True

    class FirmwareVersionRec(WholePayloadRecord):
        """Firmware version bytes, the whole payload (4 ASCII characters on current meters)."""

        _fields = ("version_bytes",)

    class RawPayloadRec(WholePayloadRecord):
        """Payload of an object the codec does not interpret (OBIS objects): the whole payload.

        ``RawPayloadRec(payload_bytes)`` builds one directly.
        """

        _fields = ("payload",)

        def __init__(self, _io=None, _parent=None, _root=None, **fields):
            if isinstance(_io, (bytes, bytearray, memoryview)):
                fields.setdefault("payload", bytes(_io))
                _io = None
            super().__init__(_io, _parent, _root, **fields)

    # ------------------------------------------------------------ clock

    class TimeRec(QuarnRecord):
        """Meter clock, UTC: seven single bytes."""

        _fields = ("year", "month", "date", "hour", "minute", "second", "day_of_week")
        _SIZE = 7

        def _read(self):
            self.year = self._io.read_u1()
            self.month = self._io.read_u1()
            self.date = self._io.read_u1()
            self.hour = self._io.read_u1()
            self.minute = self._io.read_u1()
            self.second = self._io.read_u1()
            self.day_of_week = self._io.read_u1()
            self._dirty = False

        def _check(self):
            for name in self._fields:
                self._check_uint(name, 8)
            self._dirty = False

        def _write__seq(self, io=None):
            super()._write__seq(io)
            self._io.write_u1(self.year)
            self._io.write_u1(self.month)
            self._io.write_u1(self.date)
            self._io.write_u1(self.hour)
            self._io.write_u1(self.minute)
            self._io.write_u1(self.second)
            self._io.write_u1(self.day_of_week)

    # ------------------------------------------------------------ single numbers

    class CsqRec(QuarnRecord):
        """Signal quality of the meter's network connection (0..31, 99 = unknown)."""

        _fields = ("csq",)
        _SIZE = 1

        def _read(self):
            self.csq = self._io.read_u1()
            self._dirty = False

        def _check(self):
            self._check_uint("csq", 8)
            self._dirty = False

        def _write__seq(self, io=None):
            super()._write__seq(io)
            self._io.write_u1(self.csq)

    class InstantaneousVoltageRec(QuarnRecord):
        """Voltage in tenths of a volt; ``voltage`` gives volts."""

        _fields = ("voltage_raw",)
        _instances = ("voltage",)
        _SIZE = 2

        def _read(self):
            self.voltage_raw = self._io.read_u2le()
            self._dirty = False

        def _check(self):
            self._check_uint("voltage_raw", 16)
            self._dirty = False

        def _write__seq(self, io=None):
            super()._write__seq(io)
            self._io.write_u2le(self.voltage_raw)

        @property
        def voltage(self):
            """Volts: the stored tenths divided by 10."""
            return self.voltage_raw / 10

        @voltage.setter
        def voltage(self, volts):
            if isinstance(volts, bool) or not isinstance(volts, (int, float)):
                raise TypeError(f"InstantaneousVoltageRec: voltage must be a number of volts, got {type(volts).__name__}")
            self.voltage_raw = round(volts * 10)

    class ActivePowerRec(QuarnRecord):
        """Active power in watts, signed (negative when exporting)."""

        _fields = ("power",)
        _SIZE = 4

        def _read(self):
            self.power = self._io.read_s4le()
            self._dirty = False

        def _check(self):
            self._check_sint("power", 32)
            self._dirty = False

        def _write__seq(self, io=None):
            super()._write__seq(io)
            self._io.write_s4le(self.power)

    class ElementRegistersRec(EnergyRegistersRec):
        """Energy registers of one single-phase element: Wh and varh."""

    class DaylightSavingsCorrectionFlagRec(QuarnRecord):
        """1 when the meter applies daylight-saving correction, 0 when not."""

        _fields = ("enabled_flag",)
        _SIZE = 1

        def _read(self):
            self.enabled_flag = self._io.read_u1()
            self._dirty = False

        def _check(self):
            self._check_uint("enabled_flag", 8)
            self._dirty = False

        def _write__seq(self, io=None):
            super()._write__seq(io)
            self._io.write_u1(self.enabled_flag)

    class BacklightSettingRec(QuarnRecord):
        _fields = ("setting",)
        _SIZE = 1

        def _read(self):
            self.setting = KaitaiStream.resolve_enum(QuarnMessage.BacklightSettingType, self._io.read_u1())
            self._dirty = False

        def _check(self):
            self._check_enum("setting", QuarnMessage.BacklightSettingType)
            self._dirty = False

        def _write__seq(self, io=None):
            super()._write__seq(io)
            self._io.write_u1(int(self.setting))

    class LoadSwitchSettingRec(QuarnRecord):
        _fields = ("setting",)
        _SIZE = 1

        def _read(self):
            self.setting = KaitaiStream.resolve_enum(QuarnMessage.LoadSwitchSettingType, self._io.read_u1())
            self._dirty = False

        def _check(self):
            self._check_enum("setting", QuarnMessage.LoadSwitchSettingType)
            self._dirty = False

        def _write__seq(self, io=None):
            super()._write__seq(io)
            self._io.write_u1(int(self.setting))

    class ThreePhaseHardwareConfigurationRec(QuarnRecord):
        _fields = ("meter_type",)
        _SIZE = 1

        def _read(self):
            self.meter_type = KaitaiStream.resolve_enum(QuarnMessage.ThreePhaseMeterType, self._io.read_u1())
            self._dirty = False

        def _check(self):
            self._check_enum("meter_type", QuarnMessage.ThreePhaseMeterType)
            self._dirty = False

        def _write__seq(self, io=None):
            super()._write__seq(io)
            self._io.write_u1(int(self.meter_type))

    class U4leValueRec(QuarnRecord):
        """A raw unsigned 32-bit count (three-phase totals)."""

        _fields = ("value",)
        _SIZE = 4

        def _read(self):
            self.value = self._io.read_u4le()
            self._dirty = False

        def _check(self):
            self._check_uint("value", 32)
            self._dirty = False

        def _write__seq(self, io=None):
            super()._write__seq(io)
            self._io.write_u4le(self.value)

    class ThreePhaseVoltageRec(QuarnRecord):
        """One phase voltage, raw, in tenths of a volt."""

        _fields = ("voltage",)
        _SIZE = 2

        def _read(self):
            self.voltage = self._io.read_u2le()
            self._dirty = False

        def _check(self):
            self._check_uint("voltage", 16)
            self._dirty = False

        def _write__seq(self, io=None):
            super()._write__seq(io)
            self._io.write_u2le(self.voltage)


# Enumeration fields show their member names in str() even when set as plain integers.
# (Nested classes cannot see QuarnMessage's enums while its body is being executed.)
QuarnMessage.BacklightSettingRec._formats = {"setting": QuarnMessage.BacklightSettingType}
QuarnMessage.LoadSwitchSettingRec._formats = {"setting": QuarnMessage.LoadSwitchSettingType}
QuarnMessage.ThreePhaseHardwareConfigurationRec._formats = {"meter_type": QuarnMessage.ThreePhaseMeterType}


def _object_label(object_id):
    try:
        return f"{ObjectIdEnum(object_id).name} (0x{int(object_id):04x})"
    except (ValueError, TypeError):
        return f"0x{object_id:08x}" if isinstance(object_id, int) else repr(object_id)


_BODY_TYPES = {
    ObjectIdEnum.serial: QuarnMessage.SerialRec,
    ObjectIdEnum.three_phase_serial: QuarnMessage.SerialRec,
    ObjectIdEnum.hardware_version: QuarnMessage.HardwareVersionRec,
    ObjectIdEnum.firmware_version: QuarnMessage.FirmwareVersionRec,
    ObjectIdEnum.time: QuarnMessage.TimeRec,
    ObjectIdEnum.csq_net_op: QuarnMessage.CsqRec,
    ObjectIdEnum.instantaneous_voltage: QuarnMessage.InstantaneousVoltageRec,
    ObjectIdEnum.instantaneous_active_power: QuarnMessage.ActivePowerRec,
    ObjectIdEnum.element_a_instantaneous_active_power_import: QuarnMessage.ActivePowerRec,
    ObjectIdEnum.element_b_instantaneous_active_power_import: QuarnMessage.ActivePowerRec,
    ObjectIdEnum.read_element_a: QuarnMessage.ElementRegistersRec,
    ObjectIdEnum.read_element_b: QuarnMessage.ElementRegistersRec,
    ObjectIdEnum.daylight_savings_correction_flag: QuarnMessage.DaylightSavingsCorrectionFlagRec,
    ObjectIdEnum.backlight: QuarnMessage.BacklightSettingRec,
    ObjectIdEnum.load_switch: QuarnMessage.LoadSwitchSettingRec,
    ObjectIdEnum.three_phase_hardware_configuration: QuarnMessage.ThreePhaseHardwareConfigurationRec,
    ObjectIdEnum.three_phase_total_active_import: QuarnMessage.U4leValueRec,
    ObjectIdEnum.three_phase_total_active_export: QuarnMessage.U4leValueRec,
    ObjectIdEnum.three_phase_total_reactive_import: QuarnMessage.U4leValueRec,
    ObjectIdEnum.three_phase_total_reactive_export: QuarnMessage.U4leValueRec,
    ObjectIdEnum.three_phase_total_apparent_import: QuarnMessage.U4leValueRec,
    ObjectIdEnum.three_phase_total_apparent_export: QuarnMessage.U4leValueRec,
    ObjectIdEnum.three_phase_instantaneous_voltage_l1: QuarnMessage.ThreePhaseVoltageRec,
    ObjectIdEnum.three_phase_instantaneous_voltage_l2: QuarnMessage.ThreePhaseVoltageRec,
    ObjectIdEnum.three_phase_instantaneous_voltage_l3: QuarnMessage.ThreePhaseVoltageRec,
}
