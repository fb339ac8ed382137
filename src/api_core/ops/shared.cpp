// Helpers several operation files share.

#include "ops/shared.hpp"

#include "pyapi/convert.hpp"
#include "pyapi/methods.hpp"

#include <string_view>

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

namespace {

// A type of the codec's own with the codec's own text form: its text runs no one else's code.
// The codec marks each of its types with itself, so a subclass made elsewhere is not one.
bool plain_text_record(Call& c, PyTypeObject* type) {
  bool ok = true;
  Ref own = py::type_attribute(type, c.str<"_plain_text_type">(), ok);
  if (!ok || !own.is(reinterpret_cast<PyObject*>(type))) return false;
  Ref text_form = py::type_attribute(type, c.str<"__str__">(), ok);
  Ref plain = py::type_attribute(type, c.str<"_plain_text_str">(), ok);
  return ok && text_form && text_form.is(plain.get());
}

// Whether the debug line of `value` would be dropped with nothing else done: `write` is the
// logger's own debug(), which names the gate that asks its level test, and the value's form
// runs no code: the hexadecimal of exact bytes, or the builtin str() of a record of the codec's
// own types. Then leaving the line out is unseen: the gate asks the level as debug() would
// have, and making the line would have run nothing of anyone's. A replaced, wrapped or
// subclassed logger or record, or a module binding of `str`, never qualifies; the line is then
// made and handed over as always.
bool unseen_debug_line(Call& c, const py::Callee& write, PyObject* value, Form form) {
  if (!write.self || !PyFunction_Check(write.fn.get())) return false;
  if (form == Form::hex) {
    if (!PyBytes_CheckExact(value)) return false;
  } else if (!c.global<"str">().is(reinterpret_cast<PyObject*>(&PyUnicode_Type)) ||
             !plain_text_record(c, Py_TYPE(value))) {
    return false;
  }
  Ref gate = c.optional_attr<"_halvex_drops">(write.fn.get());
  if (!gate || !PyTuple_CheckExact(gate.get()) || PyTuple_GET_SIZE(gate.get()) != 2 ||
      PyTuple_GET_ITEM(gate.get(), 0) != write.fn.get()) {
    return false;
  }
  Ref ask = Ref::borrow(PyTuple_GET_ITEM(gate.get(), 1));
  return c.call(ask, write.self).is(Py_True);
}

}  // namespace

template <py::Lit Level>
void log_line(Call& c, PyObject* self, PyObject* serial, PyObject* prefix, PyObject* value, Form form) {
  py::Callee write = log_method<Level>(c, self);
  if constexpr (std::string_view(Level.text) == "debug") {
    if (unseen_debug_line(c, write, value, form)) return;
  }
  Ref shown = form == Form::hex ? py::hex_of(value) : text(c, value);
  c.call<kw<"serial">>(write, py::plus({prefix, shown.get(), c.str<"]">()}), serial);
}

template void log_line<"debug">(Call&, PyObject*, PyObject*, PyObject*, PyObject*, Form);
template void log_line<"info">(Call&, PyObject*, PyObject*, PyObject*, PyObject*, Form);

}  // namespace halvex::ops
