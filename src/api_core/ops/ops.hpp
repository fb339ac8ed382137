// Operation bodies of HalvexMediatorAPI, one group per subsystem file. The method table points
// at these; arguments arrive bound and checked (see method_table.cpp).
#pragma once

#include "pyapi/call.hpp"

namespace halvex::ops {

using py::Args;
using py::Call;
using py::Ref;

// exchange.cpp: construction and the four transport primitives
Ref init(Args<3>& c);
Ref read_element(Args<3>& c);
Ref write_element(Args<4>& c);
Ref send_message(Args<3>& c);
Ref safe_read_element(Args<3>& c);

// scaling.cpp
Ref scale_value(Args<3>& c);
Ref scale_10k_value(Args<2>& c);
Ref scale_kilo_value(Args<2>& c);

// identity.cpp
Ref serial_read(Args<2>& c);
Ref hardware(Args<2>& c);
Ref firmware_version(Args<2>& c);
Ref three_phase_hardware_configuration(Args<2>& c);

// clock.cpp
Ref clock_time_read(Args<2>& c);
Ref clock_time_write(Args<2>& c);

// readings.cpp
Ref csq(Args<2>& c);
Ref instantaneous_voltage(Args<2>& c);
Ref instantaneous_active_power(Args<2>& c);
Ref instantaneous_active_power_element_a(Args<2>& c);
Ref instantaneous_active_power_element_b(Args<2>& c);

// registers.cpp
Ref read(Args<2>& c);
Ref read_element_a(Args<2>& c);
Ref read_element_b(Args<2>& c);

// settings.cpp
Ref daylight_savings_correction_enabled(Args<2>& c);
Ref daylight_savings_correction_enabled_write(Args<3>& c);
Ref backlight(Args<2>& c);
Ref backlight_write(Args<3>& c);
Ref load_switch(Args<2>& c);
Ref load_switch_write(Args<3>& c);

// three_phase.cpp
Ref three_phase_serial(Args<2>& c);
Ref three_phase_read(Args<3>& c);
Ref three_phase_instantaneous_voltage(Args<2>& c);

// intervals.cpp
Ref three_phase_intervals_read(Args<5>& c);
Ref three_phase_intervals(Args<7>& c);

// logs.cpp
Ref profile_log_1(Args<3>& c);
Ref profile_log_2(Args<4>& c);
Ref profile_log(Args<4>& c);
Ref event_log(Args<3>& c);

// obis.cpp
Ref obis_read(Args<3>& c);
Ref obis_write(Args<4>& c);

}  // namespace halvex::ops
