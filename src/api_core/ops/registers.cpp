// Register reads: element A and B registers, and read() for every meter type.

#include "ops/ops.hpp"

namespace halvex::ops {

Ref read(Call& c) { return not_implemented(c); }

Ref read_element_a(Call& c) { return not_implemented(c); }

Ref read_element_b(Call& c) { return not_implemented(c); }

}  // namespace halvex::ops
