// Meter identity: serial, hardware classification (cached per serial), firmware, three-phase configuration.

#include "ops/ops.hpp"
#include "ops/shared.hpp"
#include "pyapi/convert.hpp"

namespace halvex::ops {

using py::check;
using py::owned;

namespace {

// `key in mapping` then `mapping[key]` into `value`; false when the key is absent. The cache is
// a plain dict, but it is an ordinary attribute, so anything else put there is honoured as a mapping.
bool cached(PyObject* cache, PyObject* key, Ref& value) {
  if (PyDict_CheckExact(cache)) {
    PyObject* found = nullptr;
    const bool hit = check(PyDict_GetItemRef(cache, key, &found)) != 0;
    value = Ref::steal(found);
    return hit;
  }
  if (!check(PySequence_Contains(cache, key))) return false;
  value = owned(PyObject_GetItem(cache, key));
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
  {
    Ref hit;
    if (cached(c.attr<"_hardware_cache">(self).get(), serial, hit)) {
      py::expect_str_or_none(hit.get());
      return hit;
    }
  }

  Ref data = read_object<"hardware_version">(c, self, serial);
  Ref text = c.attr<"hardware">(data);

  Ref result;
  if (compare(text.get(), c.str<"">(), Py_EQ)) {
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
    // NULs first, so whitespace hidden behind trailing NULs is stripped as well.
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
  Ref bytes = owned(PyByteArray_FromObject(c.attr<"version_bytes">(record).get()));

  Ref version;
  if (PyByteArray_GET_SIZE(bytes.get()) == 4) {
    Ref text = owned(PyUnicode_DecodeASCII(PyByteArray_AS_STRING(bytes.get()), 4, "strict"));
    version = c.call(c.global<"quarn_format_firmware_version">(), text);
  } else {
    version = py::hex_of(bytes.get());
  }

  c.info<"firmware_version", "serial">(c.attr<"log">(self), c.str<"firmware version">(), version, serial);
  return py::str_of(version.get());
}

Ref three_phase_hardware_configuration(Args<2>& c) {
  auto [self, serial] = c.args();
  Ref record = read_object<"three_phase_hardware_configuration">(c, self, serial);
  Ref text = py::str_of(record.get());
  c.info<"value", "serial">(c.attr<"log">(self), c.str<"three phase hardware configuration">(), text, serial);
  return record;
}

}  // namespace halvex::ops
