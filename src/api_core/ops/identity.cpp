// Meter identity: serial, hardware classification (cached per serial), firmware, three-phase configuration.

#include "ops/ops.hpp"

namespace halvex::ops {

Ref serial_read(Call& c) { return not_implemented(c); }

Ref hardware(Call& c) { return not_implemented(c); }

Ref firmware_version(Call& c) { return not_implemented(c); }

Ref three_phase_hardware_configuration(Call& c) { return not_implemented(c); }

}  // namespace halvex::ops
