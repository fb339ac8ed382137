// Meter identity: serial, hardware classification (cached per serial), firmware, three-phase configuration.

#include "ops/ops.hpp"
#include "ops/shared.hpp"
#include "pyapi/convert.hpp"

namespace halvex::ops {

using py::check;
using py::kw;
using py::owned;

namespace {

// `key in cache` then `again()[key]` into `value` (`again` reads the attribute a second time, as
// the statement does); false when the key is absent. The cache is a plain dict, but it is an
// ordinary attribute, so anything else put there is honoured as a mapping.
template <class F>
bool cached(PyObject* cache, PyObject* key, F again, Ref& value) {
  if (!check(PySequence_Contains(cache, key))) return false;
  value = owned(PyObject_GetItem(again().get(), key));
  return true;
}

}  // namespace

Ref serial_read(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref record = read_object<"serial">(c, self, serial);
  Ref reported = c.call_method<"strip">(c.attr<"serial">(record));
  py::expect_str_or_none(reported.get());
  // The meter's own answer is the serial; the one asked for is kept beside it.
  c.info<"serial", "request_serial">(c.attr<"log">(self), c.str<"received serial">(), reported, serial);
  return reported;
}

Ref hardware(Args<2>& c) {
  auto [self, serial] = c.args();
  // if serial in self._hardware_cache: return self._hardware_cache[serial]
  {
    Ref hit;
    if (cached(c.attr<"_hardware_cache">(self).get(), serial, [&] { return c.attr<"_hardware_cache">(self); }, hit)) {
      py::expect_str_or_none(hit.get());
      return hit;
    }
  }

  Ref data = read_object<"hardware_version">(c, self, serial);

  Ref result;
  if (compare(c.attr<"hardware">(data).get(), c.str<"">(), Py_EQ)) {
    // Three-phase meters report no hardware text; their configuration names the type.
    Ref config = c.call_method<"three_phase_hardware_configuration">(self, serial);
    Ref meter_type = c.attr<"meter_type">(config);
    Ref ax = c.attr<"ax_whole_current">(c.attr<"ThreePhaseMeterType">(c.global<"QuarnMessage">()));
    if (compare(meter_type.get(), ax.get(), Py_EQ)) {
      result = Ref::borrow(c.str<"P1.ax">());
    } else {
      meter_type = c.attr<"meter_type">(config);
      Ref cx = c.attr<"cx_ct_operated">(c.attr<"ThreePhaseMeterType">(c.global<"QuarnMessage">()));
      result = Ref::borrow(compare(meter_type.get(), cx.get(), Py_EQ) ? c.str<"P1.cx">() : c.str<"THREE_PHASE_UNKNOWN">());
    }
  } else {
    // The text is read again to be cleaned. NULs first, so whitespace hidden behind trailing
    // NULs is stripped as well.
    Ref text = c.attr<"hardware">(data);
    Ref nul = owned(PyUnicode_FromOrdinal(0));
    Ref without_nul = c.call_method<"replace">(text, nul, c.str<"">());
    Ref cleaned = c.call_method<"strip">(without_nul);
    py::expect_str_or_none(cleaned.get());
    Ref registry = c.global<"single_phase_hardware_str_to_registry_str">();
    result = c.call_method<"get">(registry, cleaned, Py_None);
    py::expect_str_or_none(result.get());
    if (result.is(Py_None)) result = Ref::borrow(c.str<"SINGLE_PHASE_UNKNOWN">());
  }

  c.info<"hardware", "serial">(c.attr<"log">(self), c.str<"hardware">(), result, serial);
  // Only a classification that got this far is remembered; a failure is retried next time.
  check(PyObject_SetItem(c.attr<"_hardware_cache">(self).get(), serial, result.get()));
  return result;
}

Ref firmware_version(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref record = read_object<"firmware_version">(c, self, serial);
  // bytearray(data.version_bytes): the type is looked up before the field is read.
  Ref bytearray_type = c.global<"bytearray">();
  Ref bytes = c.call(bytearray_type, c.attr<"version_bytes">(record));

  Ref version;
  Ref length = c.call(c.global<"len">(), bytes);
  Ref four = owned(PyLong_FromLong(4));
  if (compare(length.get(), four.get(), Py_EQ)) {
    Ref format = c.global<"quarn_format_firmware_version">();
    version = c.call(format, c.call_method<"decode">(bytes, c.str<"ascii">()));
  } else {
    version = c.call_method<"hex">(bytes);
  }

  c.info<"firmware_version", "serial">(c.attr<"log">(self), c.str<"firmware version">(), version, serial);
  return text(c, version.get());
}

Ref three_phase_hardware_configuration(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref record = read_object<"three_phase_hardware_configuration">(c, self, serial);
  py::Callee info = log_method<"info">(c, self);
  Ref shown = text(c, record.get());
  c.call<kw<"value", "serial">>(info, c.str<"three phase hardware configuration">(), shown, serial);
  return record;
}

}  // namespace halvex::ops
