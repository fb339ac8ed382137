// Instantaneous readings: voltage, active power (meter, element a, element b), signal quality.

#include "ops/ops.hpp"
#include "ops/shared.hpp"
#include "pyapi/convert.hpp"

namespace halvex::ops {

using py::kw;
using py::owned;

namespace {

// The three power readings differ only in the object read and the message.
template <py::Lit ObjectId, py::Lit Message>
Ref active_power(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref data = read_object<ObjectId>(c, self, serial);
  Ref power_kwh = py::true_divide(c.attr<"power">(data).get(), 1000);
  c.info<"power_kwh", "serial">(c.attr<"log">(self), c.str<Message>(), power_kwh, serial);
  return py::to_float_or_none(std::move(power_kwh));
}

}  // namespace

Ref csq(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref data = read_object<"csq_net_op">(c, self, serial);
  py::Callee info = log_method<"info">(c, self);
  c.call<kw<"csq", "serial">>(info, c.str<"received csq">(), c.attr<"csq">(data), serial);
  // Read again and converted after logging: the entry shows what the meter sent.
  return py::to_int_or_none(c.attr<"csq">(data));
}

Ref instantaneous_voltage(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref data = read_object<"instantaneous_voltage">(c, self, serial);
  py::Callee info = log_method<"info">(c, self);
  c.call<kw<"voltage", "serial">>(info, c.str<"received instantaneous voltage">(), c.attr<"voltage">(data), serial);
  // float(data.voltage): numeric text is parsed, as the constructor does.
  Ref float_type = c.global<"float">();
  Ref voltage = c.attr<"voltage">(data);
  if (float_type.is(reinterpret_cast<PyObject*>(&PyFloat_Type))) return owned(PyNumber_Float(voltage.get()));
  return c.call(float_type, voltage);
}

Ref instantaneous_active_power(Args<2>& c) {
  return active_power<"instantaneous_active_power", "received instantaneous active power">(c);
}

Ref instantaneous_active_power_element_a(Args<2>& c) {
  return active_power<"element_a_instantaneous_active_power_import",
                      "received instantaneous active power (element a)">(c);
}

Ref instantaneous_active_power_element_b(Args<2>& c) {
  return active_power<"element_b_instantaneous_active_power_import",
                      "received instantaneous active power (element b)">(c);
}

}  // namespace halvex::ops
