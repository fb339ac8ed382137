// Owning references to Python objects.
//
// This header is the only place that touches reference counts directly; everything else holds
// new references in `Ref`, so an early return or a thrown `PyError` can neither leak nor
// double-free.
#pragma once

#include <Python.h>

#include <utility>

#include "pyapi/error.hpp"

namespace halvex::py {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}

  // Takes over a new reference (may be null).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed one (may be null).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  static Ref none() noexcept { return borrow(Py_None); }

  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is(PyObject* other) const noexcept { return p_ == other; }

  // Hands the reference to the caller (for returning to CPython or to a stealing API).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { Ref().swap(*this); }
  void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A new reference from a C API call that returns null on error: owns it, or throws.
inline Ref owned(PyObject* p) {
  if (p == nullptr) throw PyError();
  return Ref::steal(p);
}

// Throws when a C API status call (returning -1 on error) failed.
inline int check(int status) {
  if (status < 0) throw PyError();
  return status;
}

// Fills slot i of a new tuple, which takes over the reference.
inline void tuple_set(PyObject* tuple, Py_ssize_t i, Ref value) noexcept {
  PyTuple_SET_ITEM(tuple, i, value.release());
}

inline PyObject* as_ptr(PyObject* p) noexcept { return p; }
inline PyObject* as_ptr(const Ref& r) noexcept { return r.get(); }

// ---------------------------------------------------------------------------------------------
// Object slots that live in memory CPython allocates and zero-fills (module state, our method
// objects). A slot is a plain `PyObject*` owned by its container; these helpers are the
// container's traverse/clear/store.

inline int visit_slot(PyObject* slot, visitproc visit, void* arg) {
  Py_VISIT(slot);
  return 0;
}

inline void clear_slot(PyObject*& slot) noexcept { Py_CLEAR(slot); }

inline void store_slot(PyObject*& slot, Ref value) noexcept {
  PyObject* old = std::exchange(slot, value.release());
  Py_XDECREF(old);
}

inline Ref load_slot(PyObject* slot) noexcept { return Ref::borrow(slot); }

}  // namespace halvex::py
