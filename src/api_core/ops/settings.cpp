// Meter settings: daylight-saving correction, backlight and load switch, read and write.

#include "ops/ops.hpp"

namespace halvex::ops {

Ref daylight_savings_correction_enabled(Call& c) { return not_implemented(c); }

Ref daylight_savings_correction_enabled_write(Call& c) { return not_implemented(c); }

Ref backlight(Call& c) { return not_implemented(c); }

Ref backlight_write(Call& c) { return not_implemented(c); }

Ref load_switch(Call& c) { return not_implemented(c); }

Ref load_switch_write(Call& c) { return not_implemented(c); }

}  // namespace halvex::ops
