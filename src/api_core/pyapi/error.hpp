// The one C++ error type of the core, and the Python boundary that turns it back into NULL.
//
// Code below the boundary throws `PyError` right after a C API call failed (so a Python error is
// set) or after setting one itself. Only `boundary()` catches it. No C++ exception may unwind
// through CPython's C frames, so the boundary also maps every other C++ exception to a Python one.
#pragma once

#include <Python.h>

#include <cassert>
#include <exception>
#include <new>

namespace halvex::py {

struct PyError {
  PyError() noexcept { assert(PyErr_Occurred() != nullptr); }
};

// Sets a Python exception from a C format and throws.
template <class... A>
[[noreturn]] void raise(PyObject* type, const char* format, A... args) {
  PyErr_Format(type, format, args...);
  throw PyError();
}

// Runs `body` (which returns an owning `Ref`, empty when a Python error is set) and hands the
// result to CPython. Nothing escapes as a C++ exception.
template <class F>
PyObject* boundary(F&& body) noexcept {
  try {
    auto result = body();
    assert((result.get() != nullptr) == (PyErr_Occurred() == nullptr));
    return result.release();
  } catch (const PyError&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error in api_core: %s", e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error in api_core: unknown C++ exception");
    return nullptr;
  }
}

// The same for entry points that report failure with -1 (module exec, setters).
template <class F>
int boundary_status(F&& body) noexcept {
  try {
    body();
    return 0;
  } catch (const PyError&) {
    return -1;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error in api_core: %s", e.what());
    return -1;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error in api_core: unknown C++ exception");
    return -1;
  }
}

}  // namespace halvex::py
