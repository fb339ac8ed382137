// Three-phase serial, energy totals and phase voltages.

#include <array>

#include "ops/ops.hpp"
#include "ops/shared.hpp"
#include "pyapi/convert.hpp"
#include "pyapi/exceptions.hpp"

namespace halvex::ops {

using py::check;
using py::Handling;
using py::kw;
using py::owned;

namespace {

// One total: its key in the result and the object read for it, in result order.
struct Total {
  PyObject* (*key)(const Call&);
  Ref (*read)(Call&, PyObject* self, PyObject* serial);
};

template <py::Lit Key, py::Lit Id>
constexpr Total total() {
  return {[](const Call& c) { return c.str<Key>(); },
          [](Call& c, PyObject* self, PyObject* serial) { return call_with_object<"_safe_read_element", Id>(c, self, serial); }};
}

constexpr std::array kTotals = {
    total<"active_import", "three_phase_total_active_import">(),
    total<"active_export", "three_phase_total_active_export">(),
    total<"reactive_import", "three_phase_total_reactive_import">(),
    total<"reactive_export", "three_phase_total_reactive_export">(),
    total<"apparent_import", "three_phase_total_apparent_import">(),
    total<"apparent_export", "three_phase_total_apparent_export">(),
};

// The guard around the L2 and L3 reads takes an end of stream and nothing else. `_read_element`
// reports an end of stream as MediatorClientException with code "HALVEX_EOF_ERROR"; a replaced
// `_read_element` may let the transport's HalvexEOFError itself out. Both count; connection
// failures, gRPC errors and everything else reach the caller. Both classes are looked up only
// when a failure is being handled. The code is the exception's `code`; a replaced exception
// class without one has it as its first argument, the constructor's order being (code, message).
bool is_end_of_stream(Call& c, const Handling& h) {
  if (h.matches(c.global<"HalvexEOFError">())) return true;
  if (!h.matches(c.global<"MediatorClientException">())) return false;
  Ref code = c.optional_attr<"code">(h.exception());
  if (!code) {
    Ref args = c.attr<"args">(h.exception());
    if (!PyTuple_Check(args.get()) || PyTuple_GET_SIZE(args.get()) == 0) return false;
    code = Ref::borrow(PyTuple_GET_ITEM(args.get(), 0));
  }
  return PyUnicode_Check(code.get()) && PyUnicode_EqualToUTF8(code.get(), "HALVEX_EOF_ERROR");
}

// try: self._read_element(serial, ObjectIdEnum.<Id>) -- the lookups are part of the guarded
// statement; an end of stream is logged as a warning and gives None, any other failure propagates.
template <py::Lit Id, py::Lit Warning>
Ref guarded_phase_read(Call& c, PyObject* self, PyObject* serial) {
  return c.try_except([&] { return read_object<Id>(c, self, serial); },
                      [&](Handling& h) -> Ref {
                        if (!is_end_of_stream(c, h)) h.reraise();
                        py::Callee warn = log_method<"warn">(c, self);
                        Ref shown = text(c, h.exception());
                        c.call<kw<"serial">>(warn, py::plus({c.str<Warning>(), shown.get(), c.str<")">()}), serial);
                        return Ref::none();
                      });
}

// record.voltage / 10.0, as the host divides (an int goes through float first).
Ref volts(Call& c, PyObject* record) {
  Ref raw = c.attr<"voltage">(record);
  PyObject* v = raw.get();
  if (PyFloat_CheckExact(v)) return owned(PyFloat_FromDouble(PyFloat_AS_DOUBLE(v) / 10.0));
  if (PyLong_CheckExact(v)) {
    double d = PyLong_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) throw py::PyError();
    return owned(PyFloat_FromDouble(d / 10.0));
  }
  Ref ten = owned(PyFloat_FromDouble(10.0));
  return owned(PyNumber_TrueDivide(v, ten.get()));
}

Ref optional_volts(Call& c, const Ref& record) {
  if (record.is(Py_None)) return Ref::none();
  return volts(c, record.get());
}

}  // namespace

Ref three_phase_serial(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref record = read_object<"three_phase_serial">(c, self, serial);
  Ref reported = c.call_method<"strip">(c.attr<"serial">(record));
  c.info<"serial", "request_serial">(c.attr<"log">(self), c.str<"received three phase serial">(), reported,
                                     serial);
  py::expect_str_or_none(reported.get());
  return reported;
}

Ref three_phase_read(Args<3>& c) {
  auto [self, serial, hardware_arg] = c.args();

  Ref hardware = Ref::borrow(hardware_arg);
  if (hardware.is(Py_None) || PyUnicode_GET_LENGTH(hardware.get()) == 0) {
    hardware = c.call_method<"hardware">(self, serial);
    py::expect_str_or_none(hardware.get());
  }

  // Every total is read before any is scaled; an unreadable one is None (logged by the safe read).
  std::array<Ref, kTotals.size()> records;
  for (std::size_t i = 0; i < kTotals.size(); ++i) records[i] = kTotals[i].read(c, self, serial);

  Ref reads = owned(PyDict_New());
  for (std::size_t i = 0; i < kTotals.size(); ++i) {
    Ref value = c.call_method<"_scale_value">(self, records[i], hardware);
    check(PyDict_SetItem(reads.get(), kTotals[i].key(c), value.get()));
  }

  py::Callee info = log_method<"info">(c, self);
  Ref shown = text(c, reads.get());
  c.call<kw<"serial">>(info, py::plus({c.str<"reads: ">(), shown.get()}), serial);
  return reads;
}

Ref three_phase_instantaneous_voltage(Args<2>& c) {
  auto [self, serial] = c.args();

  // L1 must be readable; L2 and L3 may end in an end of stream (a meter without that phase).
  Ref l1 = read_object<"three_phase_instantaneous_voltage_l1">(c, self, serial);
  Ref l2 = guarded_phase_read<"three_phase_instantaneous_voltage_l2", "3p v2 failed - setting to None (e=">(
      c, self, serial);
  Ref l3 = guarded_phase_read<"three_phase_instantaneous_voltage_l3", "3p v3 failed - setting to None (e=">(
      c, self, serial);

  Ref v1 = volts(c, l1.get());
  Ref v2 = optional_volts(c, l2);
  Ref v3 = optional_volts(c, l3);
  Ref triple = owned(PyTuple_Pack(3, v1.get(), v2.get(), v3.get()));

  log_line<"info">(c, self, serial, c.str<"voltages [">(), triple.get(), Form::text);
  return triple;
}

}  // namespace halvex::ops
