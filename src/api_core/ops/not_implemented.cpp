#include "method_table.hpp"
#include "ops/ops.hpp"

namespace halvex::ops {

Ref not_implemented(Call& c) {
  PyErr_Format(PyExc_NotImplementedError, "HalvexMediatorAPI.%s is not implemented yet", c.spec().name);
  return Ref();
}

}  // namespace halvex::ops
