// Helpers several operation files share.

#include "ops/shared.hpp"

#include "pyapi/convert.hpp"

namespace halvex::ops {

using py::check;
using py::owned;

bool compare(PyObject* a, PyObject* b, int op) {
  Ref result = owned(PyObject_RichCompare(a, b, op));
  return check(PyObject_IsTrue(result.get())) != 0;
}

Ref serialise(Call& c, const Ref& rec, long size) {
  Ref stream_type = c.global<"KaitaiStream">();
  Ref bytes_io_type = c.global<"BytesIO">();
  Ref bytearray_type = c.global<"bytearray">();
  Ref n = owned(PyLong_FromLong(size));
  Ref io = c.call(stream_type, c.call(bytes_io_type, c.call(bytearray_type, n)));
  c.call_method<"_write">(rec, io);
  return c.call_method<"to_byte_array">(io);
}

Ref read_stream(Call& c, PyObject* data) {
  Ref stream_type = c.global<"KaitaiStream">();
  Ref bytes_io_type = c.global<"BytesIO">();
  return c.call(stream_type, c.call(bytes_io_type, data));
}

void log_line(Call& c, Level level, PyObject* self, PyObject* serial, PyObject* prefix, PyObject* value, Form form) {
  Ref log = c.attr<"log">(self);
  Ref shown = form == Form::hex ? py::hex_of(value) : py::str_of(value);
  Ref message = py::concat({prefix, shown.get(), c.str<"]">()});
  if (level == Level::debug) {
    c.debug<"serial">(log, message, serial);
  } else {
    c.info<"serial">(log, message, serial);
  }
}

}  // namespace halvex::ops
