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

// self._read_element(serial, ObjectIdEnum.<Id>): one object, read through the object.
template <py::Lit Id>
Ref read_object(Call& c, PyObject* self, PyObject* serial) {
  return c.call_method<"_read_element">(self, serial, object_id<Id>(c));
}

// `a <op> b` tested for truth as the interpreter does it, without RichCompareBool's identity
// shortcut.
bool compare(PyObject* a, PyObject* b, int op);

// rec._write(KaitaiStream(BytesIO(bytearray(size)))), then the whole buffer as bytes.
Ref serialise(Call& c, const Ref& rec, long size);

// KaitaiStream(BytesIO(data)), to parse a record from.
Ref read_stream(Call& c, PyObject* data);

enum class Level { debug, info };
enum class Form { hex, text };

// self.log.<level>(prefix + <value as lower-case hex or as text> + "]", serial=serial): the line
// forms of request/reply bytes and parsed records. The logger is fetched before the value is
// formatted, as a Python body would evaluate it.
void log_line(Call& c, Level level, PyObject* self, PyObject* serial, PyObject* prefix, PyObject* value, Form form);

}  // namespace halvex::ops
