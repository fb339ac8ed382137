// Three-phase serial, energy totals and phase voltages.

#include "ops/ops.hpp"

namespace halvex::ops {

Ref three_phase_serial(Call& c) { return not_implemented(c); }

Ref three_phase_read(Call& c) { return not_implemented(c); }

Ref three_phase_instantaneous_voltage(Call& c) { return not_implemented(c); }

}  // namespace halvex::ops
