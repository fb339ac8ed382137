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
// else (keywords, defaults, a conversion, a rejection) goes through `bind`.
bool binds_as_given(const MethodRow& row, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// `names`: tuple of interned parameter names, self first. `defaults`: tuple for the trailing
// parameters with defaults, or null.
void bind(const MethodRow& row, PyObject* names, PyObject* defaults, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, Bound& out);

}  // namespace halvex::py
