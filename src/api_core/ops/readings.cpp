// Instantaneous readings: voltage, active power (meter, element a, element b), signal quality.

#include "ops/ops.hpp"
#include "pyapi/convert.hpp"

namespace halvex::ops {

using py::owned;

namespace {

// The three power readings differ only in the object read and the message.
template <py::Lit ObjectId, py::Lit Message>
Ref active_power(Call& c) {
  auto [self, serial] = c.args<2>();
  Ref object_id = c.attr<ObjectId>(c.global<"ObjectIdEnum">());
  Ref data = c.call_method<"_read_element">(self, serial, object_id);
  Ref power_kwh = py::true_divide(c.attr<"power">(data).get(), 1000);
  c.info<"power_kwh", "serial">(c.attr<"log">(self), c.str<Message>(), power_kwh, serial);
  return py::to_float_or_none(std::move(power_kwh));
}

}  // namespace

Ref csq(Call& c) {
  auto [self, serial] = c.args<2>();
  Ref object_id = c.attr<"csq_net_op">(c.global<"ObjectIdEnum">());
  Ref data = c.call_method<"_read_element">(self, serial, object_id);
  c.info<"csq", "serial">(c.attr<"log">(self), c.str<"received csq">(), c.attr<"csq">(data), serial);
  // Converted after logging: the entry shows what the meter sent.
  return py::to_int_or_none(c.attr<"csq">(data));
}

Ref instantaneous_voltage(Call& c) {
  auto [self, serial] = c.args<2>();
  Ref object_id = c.attr<"instantaneous_voltage">(c.global<"ObjectIdEnum">());
  Ref data = c.call_method<"_read_element">(self, serial, object_id);
  c.info<"voltage", "serial">(c.attr<"log">(self), c.str<"received instantaneous voltage">(),
                              c.attr<"voltage">(data), serial);
  // float() itself: numeric text is parsed, as the host's constructor does.
  return owned(PyNumber_Float(c.attr<"voltage">(data).get()));
}

Ref instantaneous_active_power(Call& c) {
  return active_power<"instantaneous_active_power", "received instantaneous active power">(c);
}

Ref instantaneous_active_power_element_a(Call& c) {
  return active_power<"element_a_instantaneous_active_power_import",
                      "received instantaneous active power (element a)">(c);
}

Ref instantaneous_active_power_element_b(Call& c) {
  return active_power<"element_b_instantaneous_active_power_import",
                      "received instantaneous active power (element b)">(c);
}

}  // namespace halvex::ops
