// Three-phase interval data: one frame, and the download of a window.

#include "ops/ops.hpp"

namespace halvex::ops {

Ref three_phase_intervals_read(Call& c) { return not_implemented(c); }

Ref three_phase_intervals(Call& c) { return not_implemented(c); }

}  // namespace halvex::ops
