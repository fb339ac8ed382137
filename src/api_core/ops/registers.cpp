// Register reads: element A and B registers, and read() for every meter type.

#include "ops/ops.hpp"
#include "ops/shared.hpp"
#include "pyapi/convert.hpp"

namespace halvex::ops {

using py::check;
using py::owned;

namespace {

template <py::Lit Field>
void put_kilo(Call& c, PyObject* dict, PyObject* record) {
  Ref value = py::true_divide(c.attr<Field>(record).get(), 1000);
  check(PyDict_SetItem(dict, c.str<Field>(), value.get()));
}

// read_element_a and read_element_b differ only in the object read and the message.
template <py::Lit ObjectId, py::Lit Message>
Ref element_registers(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref record = read_object<ObjectId>(c, self, serial);
  Ref reads = owned(PyDict_New());
  put_kilo<"import_active">(c, reads.get(), record.get());
  put_kilo<"export_active">(c, reads.get(), record.get());
  put_kilo<"import_reactive">(c, reads.get(), record.get());
  put_kilo<"export_reactive">(c, reads.get(), record.get());
  c.info<"reads", "serial">(c.attr<"log">(self), c.str<Message>(), reads, serial);
  return reads;
}

}  // namespace

Ref read(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref hardware = c.call_method<"hardware">(self, serial);
  if (truth(c.call(c.global<"is_three_phase">(), hardware).get())) {
    // Passed on so that three_phase_read does not ask for the hardware again.
    return c.call_method<"three_phase_read">(self, serial, hardware);
  }

  Ref element_a = c.call_method<"read_element_a">(self, serial);
  py::expect_dict_or_none(element_a.get());
  Ref element_b = Ref::none();
  if (truth(c.call(c.global<"is_twin_element">(), hardware).get())) {
    element_b = c.call_method<"read_element_b">(self, serial);
    py::expect_dict_or_none(element_b.get());
  }

  Ref pair = owned(PyTuple_Pack(2, element_a.get(), element_b.get()));
  log_line<"info">(c, self, serial, c.str<"single phase read [">(), pair.get(), Form::text);
  return pair;
}

Ref read_element_a(Args<2>& c) { return element_registers<"read_element_a", "received read_element_a record">(c); }

Ref read_element_b(Args<2>& c) { return element_registers<"read_element_b", "received read_element_b record">(c); }

}  // namespace halvex::ops
