// Instantaneous readings: voltage, active power (meter, element a, element b), signal quality.

#include "ops/ops.hpp"

namespace halvex::ops {

Ref csq(Call& c) { return not_implemented(c); }

Ref instantaneous_voltage(Call& c) { return not_implemented(c); }

Ref instantaneous_active_power(Call& c) { return not_implemented(c); }

Ref instantaneous_active_power_element_a(Call& c) { return not_implemented(c); }

Ref instantaneous_active_power_element_b(Call& c) { return not_implemented(c); }

}  // namespace halvex::ops
