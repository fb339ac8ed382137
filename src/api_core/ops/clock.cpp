// Meter clock: read as an aware UTC date-time, set to the current UTC time.

#include "ops/ops.hpp"

namespace halvex::ops {

Ref clock_time_read(Call& c) { return not_implemented(c); }

Ref clock_time_write(Call& c) { return not_implemented(c); }

}  // namespace halvex::ops
