// Calls and the recursion guard on a thread state fetched once per method call.
//
// On a shared libpython every C-API function that needs the running thread state reads it from
// thread-local storage, a __tls_get_addr call each time. A method call fetches it once at its
// entry and passes it down; these helpers do what their C-API namesakes do with it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

// Exported by libpython (its internal headers declare it): the result check every vectorcall
// ends with, turning an inconsistent result into the SystemError the interpreter raises.
extern "C" PyObject* _Py_CheckFunctionResult(PyThreadState* tstate, PyObject* callable, PyObject* result,
                                             const char* where);

namespace halvex::py {

inline PyThreadState* thread_state() noexcept { return PyThreadState_GetUnchecked(); }

// Py_EnterRecursiveCall on `ts`: the same counter; at the limit the interpreter's own check runs.
inline bool enter_recursive(PyThreadState* ts, const char* where) noexcept {
  if (ts->c_recursion_remaining > 0) {
    --ts->c_recursion_remaining;
    return true;
  }
  return Py_EnterRecursiveCall(where) == 0;
}

// Py_LeaveRecursiveCall on `ts`.
inline void leave_recursive(PyThreadState* ts) noexcept { ++ts->c_recursion_remaining; }

// PyObject_Vectorcall on `ts`: the callable's vectorcall function and the interpreter's result
// check; anything without one goes through PyObject_Vectorcall itself.
inline PyObject* vectorcall(PyThreadState* ts, PyObject* f, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) noexcept {
  PyTypeObject* tp = Py_TYPE(f);
  if (PyType_HasFeature(tp, Py_TPFLAGS_HAVE_VECTORCALL)) {
    vectorcallfunc fn;
    std::memcpy(&fn, reinterpret_cast<char*>(f) + tp->tp_vectorcall_offset, sizeof fn);
    if (fn != nullptr) {
      PyObject* result = fn(f, args, nargsf, kwnames);
      // Consistent (a result and no exception, or null and one) is the common case.
      if ((result == nullptr) != (ts->current_exception == nullptr)) return result;
      return _Py_CheckFunctionResult(ts, f, result, nullptr);
    }
  }
  return PyObject_Vectorcall(f, args, nargsf, kwnames);
}

}  // namespace halvex::py
