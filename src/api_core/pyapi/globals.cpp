#include "pyapi/globals.hpp"

#include <atomic>
#include <cstdint>

#include "pyapi/vectorcall.hpp"

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

// A type's version tag, assigned if it has none yet; 0 when the type cannot have one.
unsigned int version_of(PyTypeObject* type) noexcept {
  if (type->tp_version_tag == 0 && !PyUnstable_Type_AssignVersionTag(type)) return 0;
  return type->tp_version_tag;
}

}  // namespace

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

namespace {

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

// ---- instances: what their type holds under a name --------------------------------------------

// Fills `f` for instances of `type`: the attribute the type's MRO holds under `name`, looked up as
// the generic lookup does, and where instances keep their dict. Types with a lookup of their own
// (__getattr__, __getattribute__, a C getattro) are marked uncached and take the interpreter's path.
void fill_fact(TypeFact& f, PyTypeObject* type, PyObject* name) noexcept {
  f = {type, nullptr, 0, 0, false, false, false, DictKind::none};
  const unsigned int version = version_of(type);
  if (version == 0) return;
  if (type->tp_getattro != PyObject_GenericGetAttr) {
    f.version = version;
    return;
  }
  PyObject* descr = _PyType_Lookup(type, name);  // borrowed; alive while the type is unchanged
  if (type->tp_version_tag != version) return;
  f.version = version;
  if (descr != nullptr) {
    PyTypeObject* descr_type = Py_TYPE(descr);
    // Whether descr is a (data, method) descriptor is its type's business, so that type's version
    // is kept too: giving the attribute's class a __set__ later changes what wins.
    const unsigned int descr_version = version_of(descr_type);
    if (descr_version == 0) return;
    f.descr = descr;
    f.descr_version = descr_version;
    f.data_descr = descr_type->tp_descr_get != nullptr && descr_type->tp_descr_set != nullptr;
    f.method = PyType_HasFeature(descr_type, Py_TPFLAGS_METHOD_DESCRIPTOR);
  }
  if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
    f.dict = DictKind::managed;
  } else if (type->tp_dictoffset != 0) {
    f.dict = DictKind::offset;
  }
  f.cached = true;
}

TypeFact& fact_for(ModuleState& st, std::size_t slot, PyTypeObject* type, PyObject* name) noexcept {
  TypeFact& f = st.facts[slot];
  if (f.type != type || f.version == 0 || type->tp_version_tag != f.version ||
      (f.descr != nullptr && Py_TYPE(f.descr)->tp_version_tag != f.descr_version)) {
    fill_fact(f, type, name);
  }
  return f;
}

// The instance's dict into `dict` (null: the instance has none, so nothing of it can shadow the
// type). False when that cannot be told without making the dict and `make` forbids it: an instance
// whose attributes live in its inline values gets a dict object only when one is asked for.
bool instance_dict(PyObject* o, const TypeFact& f, bool make, PyObject*& dict) noexcept {
  switch (f.dict) {
    case DictKind::none:
      dict = nullptr;
      return true;
    case DictKind::offset: {
      const Py_ssize_t offset = f.type->tp_dictoffset;
      if (offset > 0) {
        dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
        return true;
      }
      break;
    }
    case DictKind::managed:
      if (!make) return false;
      break;
  }
  PyObject** slot = _PyObject_GetDictPtr(o);  // makes a managed dict from inline values
  if (slot == nullptr) return false;          // (it could not: the interpreter's path will say why)
  dict = *slot;
  return true;
}

PyObject* instance_attr(ModuleState& st, std::size_t slot, PyObject* o, PyObject* name, bool own) noexcept {
  const TypeFact& f = fact_for(st, slot, Py_TYPE(o), name);
  PyObject* dict = nullptr;
  if (!f.cached || f.data_descr || !instance_dict(o, f, own, dict)) return PyObject_GetAttr(o, name);
  // As the generic lookup: the type's attribute (held, since the dict lookup may run code), then
  // the instance dict, then the type's attribute itself or what its __get__ gives.
  Ref descr = Ref::borrow(f.descr);
  if (dict != nullptr) {
    Ref held = Ref::borrow(dict);
    PyObject* value = nullptr;
    const int found = PyDict_GetItemRef(dict, name, &value);
    if (found != 0) return value;  // the value, or null with the error set
  }
  if (!descr) return PyObject_GetAttr(o, name);  // the interpreter's AttributeError, exactly
  descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
  if (get == nullptr) return descr.release();
  return get(descr.get(), o, reinterpret_cast<PyObject*>(Py_TYPE(o)));
}

}  // namespace

Ref get_attr(ModuleState& st, std::size_t slot, PyObject* o, PyObject* name, bool own) {
  if (PyType_Check(o)) return class_attr(st, slot, o, name);
  return owned(instance_attr(st, slot, o, name, own));
}

PyObject* try_get_attr(ModuleState& st, std::size_t slot, PyObject* o, PyObject* name, bool own) noexcept {
  if (!PyType_Check(o)) return instance_attr(st, slot, o, name, own);
  try {
    return class_attr(st, slot, o, name).release();
  } catch (const PyError&) {
    return nullptr;
  }
}

// ---- methods ----------------------------------------------------------------------------------

PyObject* vectorcall_method(ModuleState& st, PyThreadState* ts, std::size_t slot, PyObject* name,
                            PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  PyObject* self = args[0];
  const TypeFact& f = fact_for(st, slot, Py_TYPE(self), name);
  PyObject* dict = nullptr;
  // As _PyObject_GetMethod: a method descriptor is looked past for the instance dict; any other
  // data descriptor wins over it, and whatever else is found on the type is the interpreter's
  // business (bound through __get__, or the plain object).
  if (!f.cached || (!f.method && (f.data_descr || f.descr != nullptr)) || !instance_dict(self, f, true, dict)) {
    return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
  }
  Ref descr = Ref::borrow(f.descr);  // held across the dict lookup, which may run code
  if (dict != nullptr) {
    Ref held = Ref::borrow(dict);
    PyObject* attr = nullptr;
    const int found = PyDict_GetItemRef(dict, name, &attr);
    if (found < 0) return nullptr;
    if (found > 0) {
      // An attribute of that name in the instance's dict is what the call gets, unbound; args[0]
      // is ours, so the callee may borrow it.
      Ref callable = Ref::steal(attr);
      return vectorcall(ts, callable.get(), args + 1, (nargsf - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    }
  }
  if (!descr) return PyObject_VectorcallMethod(name, args, nargsf, kwnames);  // its AttributeError
  if (Py_TYPE(descr.get()) == reinterpret_cast<PyTypeObject*>(st.method_type)) {
    return st.invoke(descr.get(), ts, args, nargsf, kwnames);  // one of ours: no vectorcall detour
  }
  return vectorcall(ts, descr.get(), args, nargsf, kwnames);
}

}  // namespace halvex::py
