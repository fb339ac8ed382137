// Helpers shared by the operation bodies that build codec records.

#include "ops/records.hpp"

namespace halvex::ops {

using py::owned;

py::Ref serialise(py::Call& c, const py::Ref& rec, long size) {
  py::Ref stream_type = c.global<"KaitaiStream">();
  py::Ref bytes_io_type = c.global<"BytesIO">();
  py::Ref bytearray_type = c.global<"bytearray">();
  py::Ref n = owned(PyLong_FromLong(size));
  py::Ref io = c.call(stream_type, c.call(bytes_io_type, c.call(bytearray_type, n)));
  c.call_method<"_write">(rec, io);
  return c.call_method<"to_byte_array">(io);
}

}  // namespace halvex::ops
