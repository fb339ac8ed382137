// Profile logs and the event log.

#include "ops/ops.hpp"

namespace halvex::ops {

Ref profile_log_1(Call& c) { return not_implemented(c); }

Ref profile_log_2(Call& c) { return not_implemented(c); }

Ref profile_log(Call& c) { return not_implemented(c); }

Ref event_log(Call& c) { return not_implemented(c); }

}  // namespace halvex::ops
