#include "pyapi/exceptions.hpp"

namespace halvex::py {

Handling::Handling() noexcept
    : exc_(Ref::steal(PyErr_GetRaisedException())), previous_(Ref::steal(PyErr_GetHandledException())) {
  PyErr_SetHandledException(exc_.get());
}

Handling::~Handling() { PyErr_SetHandledException(previous_.get()); }

bool Handling::matches(PyObject* cls) const {
  auto valid = [](PyObject* c) { return PyExceptionClass_Check(c); };
  bool ok = true;
  if (PyTuple_Check(cls)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); ++i) ok = ok && valid(PyTuple_GET_ITEM(cls, i));
  } else {
    ok = valid(cls);
  }
  if (!ok) raise(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
  return exc_ && PyErr_GivenExceptionMatches(exc_.get(), cls);
}

void Handling::reraise() {
  PyErr_SetRaisedException(Ref(exc_).release());
  throw PyError();
}

void raise_object(PyObject* obj) {
  if (PyExceptionInstance_Check(obj)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
  } else if (PyExceptionClass_Check(obj)) {
    PyErr_SetObject(obj, nullptr);
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  throw PyError();
}

}  // namespace halvex::py
