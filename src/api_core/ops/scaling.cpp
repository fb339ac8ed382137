// Turning raw register counts into floats.

#include <cstring>

#include "ops/ops.hpp"
#include "pyapi/convert.hpp"

namespace halvex::ops {

namespace {

// The presence test is on the record, never on its value: a count of 0 still gives 0.0.
Ref scale(Call& c, PyObject* rec, long divisor) {
  if (!py::check(PyObject_IsTrue(rec))) return Ref::none();
  Ref value = c.attr<"value">(rec);
  return py::to_float_or_none(py::true_divide(value.get(), divisor));
}

// hardware == "P1.cx" for an exact str (the binding checked it): equal texts, no code to run.
bool is_ct_operated(PyObject* hardware) noexcept {
  constexpr char kCt[] = "P1.cx";
  return PyUnicode_IS_ASCII(hardware) && PyUnicode_GET_LENGTH(hardware) == sizeof kCt - 1 &&
         std::memcmp(PyUnicode_DATA(hardware), kCt, sizeof kCt - 1) == 0;
}

}  // namespace

Ref scale_kilo_value(Args<2>& c) { return scale(c, c.get<1>(), 1000); }

Ref scale_10k_value(Args<2>& c) { return scale(c, c.get<1>(), 10000); }

Ref scale_value(Args<3>& c) {
  auto [self, rec, hardware] = c.args();
  // CT-operated three-phase meters count in 0.1 Wh; everything else in Wh.
  Ref result = is_ct_operated(hardware) ? c.call_method<"_scale_10k_value">(self, rec)
                                        : c.call_method<"_scale_kilo_value">(self, rec);
  return py::to_float_or_none(std::move(result));
}

}  // namespace halvex::ops
