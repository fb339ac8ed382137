// Binding of vectorcall arguments to a method's parameters, with the entry checks of the table.
//
// Errors are TypeErrors with fixed texts:
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"     (counts include self)
//   "%s() got an unexpected keyword argument '%U'"
//   "%s() got multiple values for keyword argument '%U'"
//   "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"  (+ a note for subclasses)
// Everything is checked before the body runs, so a rejected call does nothing.
#pragma once

#include "binding/method_table.hpp"
#include "pyapi/ref.hpp"

namespace halvex::py {

struct Bound {
  PyObject* values[1 + kMaxParams] = {};  // self first; borrowed from the call or `held`
  Ref held[1 + kMaxParams];               // converted values (to_int, to_bool)
};

// True when the call's own argument vector can be used as bound: every parameter passed
// positionally and each already what its entry check wants, so nothing needs converting. Anything
// else (keywords, defaults, a conversion, a rejection) goes through `bind`. Inline: it runs on
// every call.
inline bool binds_as_given(const MethodRow& row, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  if (kwnames != nullptr || nargs != static_cast<Py_ssize_t>(1 + row.count)) return false;
  if (!row.checked) return true;
  for (std::size_t i = 0; i < row.count; ++i) {
    PyObject* v = args[i + 1];
    switch (row.params[i].check) {
      case Check::none:
        break;
      case Check::str:
        if (!PyUnicode_CheckExact(v)) return false;
        break;
      case Check::str_or_none:
        if (v != Py_None && !PyUnicode_CheckExact(v)) return false;
        break;
      case Check::bytes:
        if (!PyBytes_CheckExact(v)) return false;
        break;
      case Check::to_int:
        if (!PyLong_CheckExact(v)) return false;
        break;
      case Check::to_bool:
        if (v != Py_True && v != Py_False) return false;
        break;
    }
  }
  return true;
}

// `names`: tuple of interned parameter names, self first. `defaults`: tuple for the trailing
// parameters with defaults, or null.
void bind(const MethodRow& row, PyObject* names, PyObject* defaults, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, Bound& out);

}  // namespace halvex::py
