#include "pyapi/globals.hpp"

#include <atomic>
#include <cstdint>


namespace halvex::py {

namespace {

// Advanced by every change of a watched dict (module namespaces, builtins), in any interpreter.
// An entry stamped with an older epoch is never used: at worst a change elsewhere costs a lookup.
std::atomic<std::uint64_t> dict_epoch{1};

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  // Called just before the change is made; nothing runs between this and the change.
  dict_epoch.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

std::uint64_t current_epoch() noexcept { return dict_epoch.load(std::memory_order_relaxed); }

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

unsigned int version_of(PyTypeObject* type) noexcept {
  if (type->tp_version_tag == 0 && !PyUnstable_Type_AssignVersionTag(type)) return 0;
  return type->tp_version_tag;
}

// ---- globals ----------------------------------------------------------------------------------

Ref lookup_global(ModuleState& st, std::size_t slot, PyObject* name) {
  if (st.dict == nullptr) raise(PyExc_RuntimeError, "api_core module is not initialised");
  GlobalEntry& entry = st.globals[slot];
  // Read before looking: a change made while the lookup runs leaves this entry stale at once.
  const std::uint64_t epoch = current_epoch();
  if (entry.epoch == epoch && (entry.builtins == nullptr || entry.builtins == PyEval_GetBuiltins())) {
    return Ref::borrow(entry.value);
  }

  PyObject* found = nullptr;
  if (check(PyDict_GetItemRef(st.dict, name, &found))) {
    if (st.watcher != 0) entry = {found, nullptr, epoch};
    return Ref::steal(found);
  }
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed
  if (builtins == nullptr) {
    if (PyErr_Occurred()) throw PyError();
    raise_name_error(name);
  }
  if (check(PyMapping_GetOptionalItem(builtins, name, &found))) {
    if (st.watcher != 0 && PyDict_CheckExact(builtins) && PyDict_Watch(st.watcher - 1, builtins) == 0) {
      entry = {found, builtins, epoch};
    }
    PyErr_Clear();  // a failed watch only means no cache
    return Ref::steal(found);
  }
  raise_name_error(name);
}

void watch_namespace(ModuleState& st) noexcept {
  const int id = PyDict_AddWatcher(on_dict_event);
  if (id < 0) {
    PyErr_Clear();  // every watcher slot taken: no caches, same results
    return;
  }
  if (PyDict_Watch(id, st.dict) < 0) {
    PyErr_Clear();
    PyDict_ClearWatcher(id);
    PyErr_Clear();
    return;
  }
  st.watcher = id + 1;
}

void unwatch_namespace(ModuleState& st) noexcept {
  if (st.watcher == 0) return;
  if (PyDict_ClearWatcher(st.watcher - 1) < 0) PyErr_Clear();
  st.watcher = 0;
  dict_epoch.fetch_add(1, std::memory_order_relaxed);
}

// ---- class attributes -------------------------------------------------------------------------

Ref class_attr(ModuleState& st, std::size_t slot, PyObject* o, PyObject* name) {
  auto* owner = reinterpret_cast<PyTypeObject*>(o);
  PyTypeObject* meta = Py_TYPE(o);
  ClassAttrEntry& entry = st.class_attrs[slot];
  if (entry.owner == owner && entry.meta == meta && entry.owner_version != 0 &&
      owner->tp_version_tag == entry.owner_version && meta->tp_version_tag == entry.meta_version &&
      Py_TYPE(entry.value)->tp_version_tag == entry.value_type_version) {
    return Ref::borrow(entry.value);
  }
  entry.owner = nullptr;

  // The class attribute lookup of the host, in the one case it is a plain read: the metatype's
  // lookup is the standard one and has nothing of that name (so no descriptor of it can take
  // precedence), and the value found along the class's MRO is no descriptor.
  Ref value = owned(PyObject_GetAttr(o, name));
  if (meta->tp_getattro != PyType_Type.tp_getattro) return value;
  const unsigned int meta_version = version_of(meta);
  const unsigned int owner_version = version_of(owner);
  PyTypeObject* value_type = Py_TYPE(value.get());
  const unsigned int value_type_version = version_of(value_type);
  if (meta_version == 0 || owner_version == 0 || value_type_version == 0) return value;
  if (_PyType_Lookup(meta, name) != nullptr) return value;
  if (_PyType_Lookup(owner, name) != value.get() || value_type->tp_descr_get != nullptr) return value;
  entry = {owner, meta, value.get(), owner_version, meta_version, value_type_version};
  return value;
}

}  // namespace halvex::py
