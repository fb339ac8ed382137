#include "pyapi/methods.hpp"

#include "pyapi/watchers.hpp"

namespace halvex::py {

// Attribute names of types are exact str, so the lookups run no code.
Ref type_attribute(PyTypeObject* type, PyObject* name, bool& ok) {
  PyObject* mro = type->tp_mro;
  if (mro == nullptr || !PyTuple_CheckExact(mro)) {
    ok = false;
    return Ref();
  }
  Ref held = Ref::borrow(mro);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    if (!PyType_Check(base)) {
      ok = false;
      return Ref();
    }
    Ref dict = owned(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
    PyObject* found = nullptr;
    if (check(PyDict_GetItemRef(dict.get(), name, &found))) return Ref::steal(found);
  }
  return Ref();
}

namespace {

// What `type` holds under `name`, from the entry when it is still good.
Ref cached_type_attribute(ModuleState& st, std::size_t slot, PyTypeObject* type, PyObject* name, bool& ok) {
  MethodEntry& entry = st.methods[slot];
  if (entry.owner == reinterpret_cast<PyObject*>(type) && entry.epoch == watch_epoch()) return Ref::borrow(entry.descr);
  // Watched first, so that a change from here on is seen; nothing below runs code.
  const bool watched = watch_type(st, type);
  const std::uint64_t epoch = watch_epoch();
  Ref descr = type_attribute(type, name, ok);
  if (ok && watched) {
    store_slot(entry.owner, Ref::borrow(reinterpret_cast<PyObject*>(type)));
    entry.descr = descr.get();
    entry.epoch = epoch;
  }
  return descr;
}

}  // namespace

Callee lookup_method(ModuleState& st, std::size_t slot, PyObject* o, PyObject* name) {
  PyTypeObject* type = Py_TYPE(o);
  if (type->tp_getattro != PyObject_GenericGetAttr || !PyUnicode_CheckExact(name)) {
    return {owned(PyObject_GetAttr(o, name)), Ref()};
  }
  bool ok = true;
  Ref descr = cached_type_attribute(st, slot, type, name, ok);
  const bool method = descr && PyType_HasFeature(Py_TYPE(descr.get()), Py_TPFLAGS_METHOD_DESCRIPTOR);
  // A data descriptor wins over the instance; the host binds whatever it gives.
  if (!ok || (descr && !method && PyDescr_IsData(descr.get()))) return {owned(PyObject_GetAttr(o, name)), Ref()};

  if (type->tp_dictoffset != 0) {
    Ref dict = owned(PyObject_GenericGetDict(o, nullptr));
    PyObject* own = nullptr;
    if (PyDict_Check(dict.get()) && check(PyDict_GetItemRef(dict.get(), name, &own))) return {Ref::steal(own), Ref()};
  }
  if (method) return {std::move(descr), Ref::borrow(o)};
  if (descr && Py_TYPE(descr.get())->tp_descr_get == nullptr) return {std::move(descr), Ref()};
  // A descriptor to bind, or nothing of that name (the host's AttributeError, exactly).
  return {owned(PyObject_GetAttr(o, name)), Ref()};
}

}  // namespace halvex::py
