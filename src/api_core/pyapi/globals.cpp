#include "pyapi/globals.hpp"

namespace halvex::py {

namespace {

[[noreturn]] void raise_name_error(PyObject* name) {
  Ref message = owned(PyUnicode_FromFormat("name '%U' is not defined", name));
  Ref exc = owned(PyObject_CallOneArg(PyExc_NameError, message.get()));
  // The interpreter sets NameError.name too; tracebacks use it for suggestions.
  check(PyObject_SetAttrString(exc.get(), "name", name));
  // PyErr_SetObject, not SetRaisedException: raised inside a handler, it must chain __context__.
  PyErr_SetObject(PyExc_NameError, exc.get());
  throw PyError();
}

}  // namespace

Ref lookup_global(const ModuleState& st, PyObject* name) {
  PyObject* found = nullptr;
  if (st.dict == nullptr) raise(PyExc_RuntimeError, "api_core module is not initialised");
  if (check(PyDict_GetItemRef(st.dict, name, &found))) return Ref::steal(found);
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed
  if (builtins == nullptr) {
    if (PyErr_Occurred()) throw PyError();
    raise_name_error(name);
  }
  if (check(PyMapping_GetOptionalItem(builtins, name, &found))) return Ref::steal(found);
  raise_name_error(name);
}

}  // namespace halvex::py
