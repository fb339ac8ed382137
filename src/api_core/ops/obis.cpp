// Direct OBIS read and write.

#include "ops/ops.hpp"

namespace halvex::ops {

Ref obis_read(Call& c) { return not_implemented(c); }

Ref obis_write(Call& c) { return not_implemented(c); }

}  // namespace halvex::ops
