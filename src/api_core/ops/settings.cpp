// Meter settings: daylight-saving correction, backlight and load switch, read and write.

#include "ops/ops.hpp"
#include "ops/shared.hpp"

namespace halvex::ops {

using py::check;
using py::kw;
using py::owned;

namespace {

// backlight and load_switch read alike: log the record's setting, then return it (read again).
template <py::Lit Id, py::Lit Message, py::Lit Field>
Ref read_enum_setting(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref record = read_object<Id>(c, self, serial);
  py::Callee info = log_method<"info">(c, self);
  c.call<kw<Field, "serial">>(info, c.str<Message>(), c.attr<"setting">(record), serial);
  return c.attr<"setting">(record);
}

// payload = bytes([setting.value]); self._write_element(serial, ObjectIdEnum.<Id>, payload).
// bytes() itself refuses a value that is no integer (TypeError) or not from 0 to 255
// (ValueError), before anything is sent.
template <py::Lit Id>
Ref write_enum_setting(Args<3>& c) {
  auto [self, serial, setting] = c.args();
  Ref bytes_type = c.global<"bytes">();
  Ref values = owned(PyList_New(1));
  check(PyList_SetItem(values.get(), 0, c.attr<"value">(setting).release()));
  Ref payload = c.call(bytes_type, values);
  write_object<Id>(c, self, serial, payload);
  return Ref::none();
}

}  // namespace

Ref daylight_savings_correction_enabled(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref record = read_object<"daylight_savings_correction_flag">(c, self, serial);
  // Compared by value with 1 (1.0 counts); any other stored value reads as off.
  Ref one = owned(PyLong_FromLong(1));
  Ref enabled = Ref::borrow(compare(c.attr<"enabled_flag">(record).get(), one.get(), Py_EQ) ? Py_True : Py_False);
  c.info<"daylight_savings_correction_flag", "serial">(c.attr<"log">(self),
                                                       c.str<"received daylight savings correction flag">(),
                                                       enabled, serial);
  return enabled;
}

Ref daylight_savings_correction_enabled_write(Args<3>& c) {
  auto [self, serial, enabled] = c.args();
  // payload = bytes.fromhex("01" if enabled else "00")
  py::Callee fromhex = c.method<"fromhex">(c.global<"bytes">());
  Ref payload = c.call(fromhex, truth(enabled) ? c.str<"01">() : c.str<"00">());
  write_object<"daylight_savings_correction_flag">(c, self, serial, payload);
  return Ref::none();
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
