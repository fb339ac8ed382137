"""Identifiers of the meter objects read and written as elements.

Values stay below 0x10000: OBIS objects use identifiers from 0x01000000 up
(``util.quarn_obis_triplet_to_decimal``) and the log objects of data records the
0xF000 page (``util.quarn_encode_object_id``), so the three never collide.
"""

from enum import IntEnum


class ObjectIdEnum(IntEnum):
    # Identity and clock (all meters).
    serial = 0x0001
    hardware_version = 0x0002
    firmware_version = 0x0003
    time = 0x0004
    csq_net_op = 0x0005

    # Single-phase instantaneous values.
    instantaneous_voltage = 0x0010
    instantaneous_active_power = 0x0011
    element_a_instantaneous_active_power_import = 0x0012
    element_b_instantaneous_active_power_import = 0x0013

    # Single-phase element registers.
    read_element_a = 0x0020
    read_element_b = 0x0021

    # Settings.
    daylight_savings_correction_flag = 0x0030
    backlight = 0x0031
    load_switch = 0x0032

    # Three-phase meters.
    three_phase_serial = 0x0100
    three_phase_hardware_configuration = 0x0101
    three_phase_total_active_import = 0x0110
    three_phase_total_active_export = 0x0111
    three_phase_total_reactive_import = 0x0112
    three_phase_total_reactive_export = 0x0113
    three_phase_total_apparent_import = 0x0114
    three_phase_total_apparent_export = 0x0115
    three_phase_instantaneous_voltage_l1 = 0x0120
    three_phase_instantaneous_voltage_l2 = 0x0121
    three_phase_instantaneous_voltage_l3 = 0x0122
