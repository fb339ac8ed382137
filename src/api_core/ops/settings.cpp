// Meter settings: daylight-saving correction, backlight and load switch, read and write.

#include "ops/ops.hpp"
#include "ops/shared.hpp"

namespace halvex::ops {

using py::check;
using py::owned;

namespace {

// self._write_element(serial, ObjectIdEnum.<Id>, payload)
template <py::Lit Id>
Ref write_setting(Call& c, PyObject* self, PyObject* serial, const Ref& payload) {
  c.call_method<"_write_element">(self, serial, object_id<Id>(c), payload);
  return Ref::none();
}

// The one-byte payload of an enumeration setting, as bytes([setting.value]) makes it: the value
// must be an integer (TypeError) from 0 to 255 (ValueError). Checked before anything is sent.
Ref setting_byte(Call& c, PyObject* setting) {
  Ref value = c.attr<"value">(setting);
  Py_ssize_t v = PyNumber_AsSsize_t(value.get(), nullptr);
  if (v == -1 && PyErr_Occurred()) throw py::PyError();
  if (v < 0 || v > 255) {
    PyErr_SetString(PyExc_ValueError, "bytes must be in range(0, 256)");
    throw py::PyError();
  }
  const char byte = static_cast<char>(static_cast<unsigned char>(v));
  return owned(PyBytes_FromStringAndSize(&byte, 1));
}

// backlight and load_switch read alike: log the record's setting, return that same object.
template <py::Lit Id, py::Lit Message, py::Lit Field>
Ref read_enum_setting(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref record = read_object<Id>(c, self, serial);
  Ref setting = c.attr<"setting">(record);
  c.info<Field, "serial">(c.attr<"log">(self), c.str<Message>(), setting, serial);
  return setting;
}

template <py::Lit Id>
Ref write_enum_setting(Args<3>& c) {
  auto [self, serial, setting] = c.args();
  Ref payload = setting_byte(c, setting);
  return write_setting<Id>(c, self, serial, payload);
}

}  // namespace

Ref daylight_savings_correction_enabled(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref record = read_object<"daylight_savings_correction_flag">(c, self, serial);
  Ref flag = c.attr<"enabled_flag">(record);
  // Compared by value with 1 (1.0 counts); any other stored value reads as off.
  Ref one = owned(PyLong_FromLong(1));
  Ref enabled = Ref::borrow(compare(flag.get(), one.get(), Py_EQ) ? Py_True : Py_False);
  c.info<"daylight_savings_correction_flag", "serial">(c.attr<"log">(self),
                                                       c.str<"received daylight savings correction flag">(),
                                                       enabled, serial);
  return enabled;
}

Ref daylight_savings_correction_enabled_write(Args<3>& c) {
  auto [self, serial, enabled] = c.args();
  const char byte = check(PyObject_IsTrue(enabled)) ? '\x01' : '\x00';
  Ref payload = owned(PyBytes_FromStringAndSize(&byte, 1));
  return write_setting<"daylight_savings_correction_flag">(c, self, serial, payload);
}

Ref backlight(Args<2>& c) {
  return read_enum_setting<"backlight", "received backlight setting", "backlight_setting">(c);
}

Ref backlight_write(Args<3>& c) { return write_enum_setting<"backlight">(c); }

Ref load_switch(Args<2>& c) {
  return read_enum_setting<"load_switch", "received load switch setting", "load_switch_setting">(c);
}

Ref load_switch_write(Args<3>& c) { return write_enum_setting<"load_switch">(c); }

}  // namespace halvex::ops
