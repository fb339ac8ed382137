// Helpers several operation files share.

#include "ops/shared.hpp"

#include "pyapi/convert.hpp"

namespace halvex::ops {

using py::check;
using py::kw;
using py::owned;

Ref text(Call& c, PyObject* value) {
  Ref str_type = c.global<"str">();
  // The builtin itself: its result, with the fast text of floats and their containers.
  if (str_type.is(reinterpret_cast<PyObject*>(&PyUnicode_Type))) return py::str_of(value);
  return c.call(str_type, value);
}

bool compare(PyObject* a, PyObject* b, int op) {
  Ref result = owned(PyObject_RichCompare(a, b, op));
  return truth(result.get());
}

bool truth(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

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

template <py::Lit Level>
void log_line(Call& c, PyObject* self, PyObject* serial, PyObject* prefix, PyObject* value, Form form) {
  py::Callee write = log_method<Level>(c, self);
  Ref shown = form == Form::hex ? py::hex_of(value) : text(c, value);
  c.call<kw<"serial">>(write, py::plus({prefix, shown.get(), c.str<"]">()}), serial);
}

template void log_line<"debug">(Call&, PyObject*, PyObject*, PyObject*, PyObject*, Form);
template void log_line<"info">(Call&, PyObject*, PyObject*, PyObject*, PyObject*, Form);

}  // namespace halvex::ops
