// Operation bodies of HalvexMediatorAPI, one group per subsystem file. The method table points
// at these; arguments arrive bound and checked (see method_table.cpp).
#pragma once

#include "pyapi/call.hpp"

namespace halvex::ops {

using py::Call;
using py::Ref;

// exchange.cpp: construction and the four transport primitives
Ref init(Call& c);
Ref read_element(Call& c);
Ref write_element(Call& c);
Ref send_message(Call& c);
Ref safe_read_element(Call& c);

// scaling.cpp
Ref scale_value(Call& c);
Ref scale_10k_value(Call& c);
Ref scale_kilo_value(Call& c);

// identity.cpp
Ref serial_read(Call& c);
Ref hardware(Call& c);
Ref firmware_version(Call& c);
Ref three_phase_hardware_configuration(Call& c);

// clock.cpp
Ref clock_time_read(Call& c);
Ref clock_time_write(Call& c);

// readings.cpp
Ref csq(Call& c);
Ref instantaneous_voltage(Call& c);
Ref instantaneous_active_power(Call& c);
Ref instantaneous_active_power_element_a(Call& c);
Ref instantaneous_active_power_element_b(Call& c);

// registers.cpp
Ref read(Call& c);
Ref read_element_a(Call& c);
Ref read_element_b(Call& c);

// settings.cpp
Ref daylight_savings_correction_enabled(Call& c);
Ref daylight_savings_correction_enabled_write(Call& c);
Ref backlight(Call& c);
Ref backlight_write(Call& c);
Ref load_switch(Call& c);
Ref load_switch_write(Call& c);

// three_phase.cpp
Ref three_phase_serial(Call& c);
Ref three_phase_read(Call& c);
Ref three_phase_instantaneous_voltage(Call& c);

// intervals.cpp
Ref three_phase_intervals_read(Call& c);
Ref three_phase_intervals(Call& c);

// logs.cpp
Ref profile_log_1(Call& c);
Ref profile_log_2(Call& c);
Ref profile_log(Call& c);
Ref event_log(Call& c);

// obis.cpp
Ref obis_read(Call& c);
Ref obis_write(Call& c);

}  // namespace halvex::ops
