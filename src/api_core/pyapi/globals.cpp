#include "pyapi/globals.hpp"

#include "pyapi/methods.hpp"
#include "pyapi/watchers.hpp"

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

// ---- globals ----------------------------------------------------------------------------------

Ref lookup_global(ModuleState& st, std::size_t slot, PyObject* name) {
  if (st.dict == nullptr) raise(PyExc_RuntimeError, "api_core module is not initialised");
  GlobalEntry& entry = st.globals[slot];
  // Read before looking: a change made while the lookup runs leaves the entry stale at once.
  const std::uint64_t epoch = watch_epoch();
  if (entry.epoch == epoch) return Ref::borrow(entry.value);

  PyObject* found = nullptr;
  if (check(PyDict_GetItemRef(st.dict, name, &found))) {
    if (st.dict_watched) entry = {found, epoch};
    return Ref::steal(found);
  }
  if (st.builtins != nullptr) {
    // A mapping of any kind, as the interpreter accepts for a function's builtins.
    const bool plain = PyDict_CheckExact(st.builtins);
    if (check(plain ? PyDict_GetItemRef(st.builtins, name, &found)
                    : PyMapping_GetOptionalItem(st.builtins, name, &found))) {
      if (st.dict_watched && st.builtins_watched) entry = {found, epoch};
      return Ref::steal(found);
    }
  }
  raise_name_error(name);
}

// ---- class attributes -------------------------------------------------------------------------

Ref class_attr(ModuleState& st, std::size_t slot, PyObject* cls, PyObject* name) {
  ClassAttrEntry& entry = st.class_attrs[slot];
  if (entry.owner == cls && entry.epoch == watch_epoch()) return Ref::borrow(entry.value);

  // Kept in the one case where the host's lookup is a plain read: the metatype's lookup is the
  // standard one and it holds nothing of that name (so nothing of it can take precedence), and
  // what the class's MRO holds is no descriptor. Watched first, so that a change from here on
  // is seen.
  auto* owner = reinterpret_cast<PyTypeObject*>(cls);
  PyTypeObject* meta = Py_TYPE(cls);
  const bool plain_meta = meta->tp_getattro == PyType_Type.tp_getattro && watch_type(st, owner) && watch_type(st, meta);
  const std::uint64_t epoch = watch_epoch();
  Ref value = owned(PyObject_GetAttr(cls, name));
  if (!plain_meta || Py_TYPE(value.get())->tp_descr_get != nullptr) return value;
  bool ok = true;
  if (type_attribute(meta, name, ok) || !ok) return value;
  if (!type_attribute(owner, name, ok).is(value.get()) || !ok) return value;
  if (watch_type(st, Py_TYPE(value.get()))) {
    store_slot(entry.owner, Ref::borrow(cls));
    entry.value = value.get();
    entry.epoch = epoch;
  }
  return value;
}

PyObject* cached_member(const ModuleState& st, std::size_t global_slot, std::size_t attr_slot) noexcept {
  const std::uint64_t epoch = watch_epoch();
  const GlobalEntry& global = st.globals[global_slot];
  const ClassAttrEntry& attr = st.class_attrs[attr_slot];
  if (global.epoch != epoch || attr.epoch != epoch || attr.owner != global.value) return nullptr;
  return attr.value;
}

// ---- the module's builtins and the caches -----------------------------------------------------

void init_builtins(ModuleState& st) {
  Ref key = owned(PyUnicode_InternFromString("__builtins__"));
  PyObject* found = nullptr;
  if (!check(PyDict_GetItemRef(st.dict, key.get(), &found))) {
    // The interpreter's builtins, whoever imports: a Python module's code is executed with the
    // builtins of the import machinery, never with those of the frame that asked for it.
    Ref name = owned(PyUnicode_InternFromString("builtins"));
    Ref module = owned(PyImport_ImportModuleLevelObject(name.get(), nullptr, nullptr, nullptr, 0));
    Ref dict = Ref::borrow(PyModule_GetDict(module.get()));
    check(PyDict_SetItem(st.dict, key.get(), dict.get()));
    found = dict.release();
  }
  Ref builtins = Ref::steal(found);
  if (PyModule_Check(builtins.get())) builtins = Ref::borrow(PyModule_GetDict(builtins.get()));
  store_slot(st.builtins, std::move(builtins));
}

void start_caches(ModuleState& st) noexcept {
  start_watching(st);
  st.dict_watched = st.dict != nullptr && watch_dict(st, st.dict);
  st.builtins_watched = st.builtins != nullptr && watch_dict(st, st.builtins);
}

void stop_caches(ModuleState& st) noexcept {
  st.dict_watched = false;
  st.builtins_watched = false;
  stop_watching(st);
}

}  // namespace halvex::py
