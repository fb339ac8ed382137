#include "binding/arguments.hpp"

namespace halvex::py {

namespace {

// ---- counts and keywords -----------------------------------------------------------------

[[noreturn]] void raise_count(const MethodRow& row, Py_ssize_t found) {
  const Py_ssize_t max = static_cast<Py_ssize_t>(1 + row.count);
  const Py_ssize_t min = max - static_cast<Py_ssize_t>(row.defaults());
  const char* how = "exactly";
  Py_ssize_t expected = min;
  if (min != max) {
    if (found < min) {
      how = "at least";
    } else {
      how = "at most";
      expected = max;
    }
  }
  raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", row.name, how, expected,
        expected == 1 ? "" : "s", found);
}

// Index of the parameter called `key`, or -1. Identity first: callers almost always pass the
// interned literal, and the interpreter interns keyword names.
Py_ssize_t find_param(const MethodRow& row, PyObject* names, PyObject* key) {
  const Py_ssize_t n = PyTuple_GET_SIZE(names);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyTuple_GET_ITEM(names, i) == key) return i;
  }
  if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%.200s() keywords must be strings", row.name);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PyTuple_GET_ITEM(names, i);
    if (PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(key) && PyUnicode_Compare(name, key) == 0) return i;
    if (PyErr_Occurred()) throw PyError();
  }
  return -1;
}

// ---- types -------------------------------------------------------------------------------

[[noreturn]] void raise_type(const Param& p, const char* expected, PyTypeObject* expected_type, PyObject* got) {
  Ref message = owned(PyUnicode_FromFormat("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                                           p.name, expected, Py_TYPE(got)->tp_name));
  Ref exc = owned(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (expected_type != nullptr && PyObject_TypeCheck(got, expected_type)) {
    Ref note = owned(PyUnicode_FromFormat(
        "'%.200s' is a subclass of %s; subclasses of built-in types are not accepted here, "
        "pass a plain %s instead (for example %s(value))",
        Py_TYPE(got)->tp_name, expected, expected, expected));
    Ref added = owned(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
  }
  PyErr_SetObject(PyExc_TypeError, exc.get());
  throw PyError();
}

void convert(const Param& p, PyObject*& value, Ref& held) {
  switch (p.check) {
    case Check::to_int:
      if (PyLong_CheckExact(value)) return;
      if (!PyNumber_Check(value)) raise_type(p, "int", &PyLong_Type, value);
      held = owned(PyNumber_Long(value));
      value = held.get();
      return;
    case Check::to_bool:
      value = check(PyObject_IsTrue(value)) ? Py_True : Py_False;
      return;
    default:
      return;
  }
}

void test_type(const Param& p, PyObject* value) {
  switch (p.check) {
    case Check::str:
      if (!PyUnicode_CheckExact(value)) raise_type(p, "str", &PyUnicode_Type, value);
      return;
    case Check::str_or_none:
      if (value != Py_None && !PyUnicode_CheckExact(value)) raise_type(p, "str", &PyUnicode_Type, value);
      return;
    case Check::bytes:
      if (!PyBytes_CheckExact(value)) raise_type(p, "bytes", &PyBytes_Type, value);
      return;
    default:
      return;
  }
}

}  // namespace

void bind(const MethodRow& row, PyObject* names, PyObject* defaults, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, Bound& out) {
  const Py_ssize_t total = static_cast<Py_ssize_t>(1 + row.count);
  const Py_ssize_t ndefaults = defaults != nullptr ? PyTuple_GET_SIZE(defaults) : 0;
  const Py_ssize_t required = total - ndefaults;
  if (nargs > total) raise_count(row, nargs);

  PyObject** values = out.values;
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
  if (kwnames == nullptr && nargs == total && !row.checked) return;  // nothing left to do

  // Keyword problems are reported only after missing parameters, so remember the first one.
  PyObject* bad_key = nullptr;
  bool bad_is_duplicate = false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      const Py_ssize_t i = find_param(row, names, key);
      if (i < 0 || i < nargs) {
        if (bad_key == nullptr) {
          bad_key = key;
          bad_is_duplicate = i >= 0;
        }
        continue;
      }
      values[i] = args[nargs + k];
    }
  }

  for (Py_ssize_t i = nargs; i < total; ++i) {
    if (values[i] != nullptr) continue;
    if (i < required) raise_count(row, i);
    values[i] = PyTuple_GET_ITEM(defaults, i - required);
  }

  if (bad_key != nullptr) {
    if (bad_is_duplicate) raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", row.name, bad_key);
    raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", row.name, bad_key);
  }

  const auto params = row.parameters();
  for (std::size_t i = 0; i < params.size(); ++i) convert(params[i], values[i + 1], out.held[i + 1]);
  for (std::size_t i = 0; i < params.size(); ++i) test_type(params[i], values[i + 1]);
}

}  // namespace halvex::py
