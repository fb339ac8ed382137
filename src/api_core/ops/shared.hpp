// Helpers several operation files share.
#pragma once

#include "pyapi/call.hpp"

namespace halvex::ops {

using py::Call;
using py::Ref;

// ObjectIdEnum.<Id>, both looked up now.
template <py::Lit Id>
Ref object_id(Call& c) {
  return c.attr<Id>(c.global<"ObjectIdEnum">());
}

// self.<M>(serial, ObjectIdEnum.<Id>): the method is looked up before the identifier.
template <py::Lit M, py::Lit Id>
Ref call_with_object(Call& c, PyObject* self, PyObject* serial) {
  py::Callee method = c.method<M>(self);
  Ref id = object_id<Id>(c);
  return c.call(method, serial, id);
}

// self._read_element(serial, ObjectIdEnum.<Id>): one object, read through the object.
template <py::Lit Id>
Ref read_object(Call& c, PyObject* self, PyObject* serial) {
  return call_with_object<"_read_element", Id>(c, self, serial);
}

// self._write_element(serial, ObjectIdEnum.<Id>, payload)
template <py::Lit Id>
void write_object(Call& c, PyObject* self, PyObject* serial, const Ref& payload) {
  py::Callee method = c.method<"_write_element">(self);
  Ref id = object_id<Id>(c);
  c.call(method, serial, id, payload);
}

// self.log.<Level>: the logger's method, looked up before its message is made.
template <py::Lit Level>
py::Callee log_method(Call& c, PyObject* self) {
  return c.method<Level>(c.attr<"log">(self));
}

// str(value), `str` looked up now: the module's binding or the builtin.
Ref text(Call& c, PyObject* value);

// `a <op> b` tested for truth as the interpreter does it, without RichCompareBool's identity
// shortcut.
bool compare(PyObject* a, PyObject* b, int op);
bool truth(PyObject* o);

// rec._write(KaitaiStream(BytesIO(bytearray(size)))), then the whole buffer as bytes.
Ref serialise(Call& c, const Ref& rec, long size);

// KaitaiStream(BytesIO(data)), to parse a record from.
Ref read_stream(Call& c, PyObject* data);

enum class Form { hex, text };

// self.log.<Level>(prefix + <value>.hex() or str(value) + "]", serial=serial): the line forms of
// request/reply bytes and parsed records.
template <py::Lit Level>
void log_line(Call& c, PyObject* self, PyObject* serial, PyObject* prefix, PyObject* value, Form form);

}  // namespace halvex::ops
