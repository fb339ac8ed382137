// Attributes of instances and methods called through them, looked up as the interpreter does.
//
// The generic attribute lookup asks the type's MRO for the name (a data descriptor there wins),
// then the instance's own attributes, then falls back to what the type holds. The first step is
// kept per name against the type's version tag (TypeFact); the second is done on every call where
// the attributes live: a plain class's instances keep them in inline values indexed like the
// type's shared keys (read by index, as the interpreter's own attribute specialisations do, with
// no dict object made), others in a dict.
//
// This is the one file that reads the interpreter's internal layout (inline values, shared keys);
// the core is built for one CPython minor version (CMakeLists.txt), and the layout is that one's.
#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000 || PY_VERSION_HEX >= 0x030E0000 || defined(Py_GIL_DISABLED)
#error "instances.cpp reads the attribute layout of CPython 3.13 with the GIL"
#endif

#define Py_BUILD_CORE 1
#include "internal/pycore_dict.h"
#include "internal/pycore_object.h"
#undef Py_BUILD_CORE

#include "pyapi/globals.hpp"
#include "pyapi/vectorcall.hpp"

namespace halvex::py {

namespace {

// The shared keys of a class whose instances keep inline values (always a heap type).
PyDictKeysObject* cached_keys(PyTypeObject* type) noexcept {
  return reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
}

// The index of `name` among the first `n` shared keys, or -1. Attribute names are interned, so
// identity almost always decides; equal text is what a dict lookup would match as well.
Py_ssize_t shared_key_index(PyDictKeysObject* keys, Py_ssize_t n, PyObject* name) noexcept {
  const PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (entries[i].me_key == name) return i;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* key = entries[i].me_key;
    if (key != nullptr && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0) return i;
  }
  return -1;
}

// Fills `f` for instances of `type`: the attribute the type's MRO holds under `name`, looked up as
// the generic lookup does, and where instances keep their attributes. Types with a lookup of
// their own (__getattr__, __getattribute__, a C getattro) are marked uncached.
void fill_fact(TypeFact& f, PyTypeObject* type, PyObject* name) noexcept {
  f = {type, nullptr, 0, 0, false, false, false, DictKind::none, nullptr, -1, 0, 0};
  const unsigned int version = version_of(type);
  if (version == 0) return;
  if (type->tp_getattro != PyObject_GenericGetAttr || !PyUnicode_CheckExact(name)) {
    f.version = version;
    return;
  }
  PyObject* descr = _PyType_Lookup(type, name);  // borrowed; alive while the type is unchanged
  if (type->tp_version_tag != version) return;
  f.version = version;
  if (descr != nullptr) {
    PyTypeObject* descr_type = Py_TYPE(descr);
    // Whether descr is a data or method descriptor is its type's business, so that type's
    // version is kept too: giving the attribute's class a __set__ later changes what wins.
    const unsigned int descr_version = version_of(descr_type);
    if (descr_version == 0) return;
    f.descr = descr;
    f.descr_version = descr_version;
    f.data_descr = descr_type->tp_descr_get != nullptr && descr_type->tp_descr_set != nullptr;
    f.method = PyType_HasFeature(descr_type, Py_TPFLAGS_METHOD_DESCRIPTOR);
  }
  if (PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES)) {
    PyDictKeysObject* keys = cached_keys(type);
    if (keys == nullptr) return;
    f.dict = DictKind::inline_values;
    f.keys = keys;
    f.nentries = keys->dk_nentries;
    f.index = shared_key_index(keys, f.nentries, name);
  } else if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) {
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

// What a probe that runs no code and calls nothing can tell about the instance's own attribute.
enum class Probe { found, absent, ask };

// The common cases of own_attribute: an index into inline values that holds, an absence that
// holds, a dict entry the hint points to. `*value` is borrowed when found.
inline Probe probe(const TypeFact& f, PyObject* o, PyObject* name, PyObject** value) noexcept {
  if (f.dict == DictKind::inline_values) {
    PyDictValues* values = _PyObject_InlineValues(o);
    if (!values->valid || cached_keys(f.type) != f.keys) return Probe::ask;
    if (f.index < 0) return f.keys->dk_nentries == f.nentries ? Probe::absent : Probe::ask;
    if (f.index >= values->capacity) return Probe::ask;
    *value = values->values[f.index];
    return *value != nullptr ? Probe::found : Probe::absent;
  }
  if (f.dict == DictKind::offset && f.type->tp_dictoffset > 0) {
    auto* d = *reinterpret_cast<PyDictObject**>(reinterpret_cast<char*>(o) + f.type->tp_dictoffset);
    if (d == nullptr) return Probe::absent;
    PyDictKeysObject* keys = d->ma_keys;
    if (d->ma_values != nullptr || !DK_IS_UNICODE(keys) || f.hint >= keys->dk_nentries) return Probe::ask;
    const PyDictUnicodeEntry& entry = DK_UNICODE_ENTRIES(keys)[f.hint];
    if (entry.me_key != name || entry.me_value == nullptr) return Probe::ask;
    *value = entry.me_value;
    return Probe::found;
  }
  return f.dict == DictKind::none ? Probe::absent : Probe::ask;
}

// PyDict_GetItemRef(dict, name, value). A dict of str keys holding `name` at the entry the hint
// points to (the key itself, with a value) answers without a lookup: a key sits in one entry only.
[[gnu::noinline]] int dict_attribute(TypeFact& f, PyObject* dict, PyObject* name, PyObject** value) noexcept {
  auto* d = reinterpret_cast<PyDictObject*>(dict);
  PyDictKeysObject* keys = d->ma_keys;
  const bool plain = d->ma_values == nullptr && DK_IS_UNICODE(keys);
  if (plain && f.hint < keys->dk_nentries) {
    const PyDictUnicodeEntry& entry = DK_UNICODE_ENTRIES(keys)[f.hint];
    if (entry.me_key == name && entry.me_value != nullptr) {
      *value = Ref::borrow(entry.me_value).release();
      return 1;
    }
  }
  Ref held = Ref::borrow(dict);  // the lookup may run code (keys with their own __eq__)
  const int found = PyDict_GetItemRef(dict, name, value);
  if (found > 0 && plain && d->ma_keys == keys) {
    const PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
      if (entries[i].me_key == name) {
        f.hint = i;
        break;
      }
    }
  }
  return found;
}

// The instance's own attribute `name` into `*value` (a new reference): 1 found, 0 the instance has
// none of that name, -1 error. As the generic lookup reads it; no dict object is made.
[[gnu::noinline]] int own_attribute(TypeFact& f, PyObject* o, PyObject* name, PyObject** value) noexcept {
  *value = nullptr;
  PyObject* dict = nullptr;
  switch (f.dict) {
    case DictKind::none:
      return 0;
    case DictKind::inline_values: {
      PyDictValues* values = _PyObject_InlineValues(o);
      if (values->valid) {
        // Every attribute such an instance holds is among the shared keys; keys are only added,
        // so an index found stays right, and an absence holds while no key was added.
        PyDictKeysObject* keys = cached_keys(f.type);
        if (keys != f.keys || (f.index < 0 && keys->dk_nentries != f.nentries)) {
          if (keys == nullptr) return -2;
          f.keys = keys;
          f.nentries = keys->dk_nentries;
          f.index = shared_key_index(keys, f.nentries, name);
        }
        if (f.index < 0 || f.index >= values->capacity) return 0;
        *value = Ref::borrow(values->values[f.index]).release();
        return *value != nullptr;
      }
      dict = reinterpret_cast<PyObject*>(_PyObject_GetManagedDict(o));
      break;
    }
    case DictKind::managed:
      dict = reinterpret_cast<PyObject*>(_PyObject_GetManagedDict(o));
      break;
    case DictKind::offset: {
      const Py_ssize_t offset = f.type->tp_dictoffset;
      if (offset > 0) {
        dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
      } else {
        PyObject** slot = _PyObject_GetDictPtr(o);
        dict = slot != nullptr ? *slot : nullptr;
      }
      break;
    }
  }
  if (dict == nullptr) return 0;
  return dict_attribute(f, dict, name, value);
}

// instance_attr past the probe: the whole lookup.
[[gnu::noinline]] PyObject* instance_attr_slow(TypeFact& f, PyObject* o, PyObject* name) noexcept {
  // The type's attribute is held: reading the instance's own may run code that changes the type.
  Ref descr = Ref::borrow(f.descr);
  PyObject* value = nullptr;
  const int found = own_attribute(f, o, name, &value);
  if (found == -2) return PyObject_GetAttr(o, name);
  if (found != 0) return value;  // the value, or null with the error set
  if (!descr) return PyObject_GetAttr(o, name);  // the interpreter's AttributeError, exactly
  descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
  if (get == nullptr) return descr.release();
  return get(descr.get(), o, reinterpret_cast<PyObject*>(Py_TYPE(o)));
}

inline PyObject* instance_attr(ModuleState& st, std::size_t slot, PyObject* o, PyObject* name) noexcept {
  TypeFact& f = fact_for(st, slot, Py_TYPE(o), name);
  if (!f.cached || f.data_descr) return PyObject_GetAttr(o, name);
  PyObject* value = nullptr;
  if (probe(f, o, name, &value) == Probe::found) return Ref::borrow(value).release();
  return instance_attr_slow(f, o, name);
}

// An attribute of that name on the instance is what the call gets, unbound; args[0] is ours, so
// the callee may borrow it.
inline PyObject* call_own(PyThreadState* ts, const Ref& callable, PyObject* const* args, std::size_t nargsf,
                          PyObject* kwnames) noexcept {
  return vectorcall(ts, callable.get(), args + 1, (nargsf - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

// The type's method descriptor, called with self first; one of ours takes no vectorcall detour.
inline PyObject* call_descr(ModuleState& st, PyThreadState* ts, const Ref& descr, PyObject* const* args,
                            std::size_t nargsf, PyObject* kwnames) noexcept {
  if (Py_TYPE(descr.get()) == reinterpret_cast<PyTypeObject*>(st.method_type)) {
    return st.invoke(descr.get(), ts, args, nargsf, kwnames);
  }
  return vectorcall(ts, descr.get(), args, nargsf, kwnames);
}

// vectorcall_method past the probe: the whole lookup.
[[gnu::noinline]] PyObject* method_slow(ModuleState& st, PyThreadState* ts, TypeFact& f, PyObject* name,
                                       PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  PyObject* self = args[0];
  Ref descr = Ref::borrow(f.descr);  // held across the instance lookup, which may run code
  PyObject* attr = nullptr;
  const int found = own_attribute(f, self, name, &attr);
  if (found == -2) return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
  if (found < 0) return nullptr;
  if (found > 0) return call_own(ts, Ref::steal(attr), args, nargsf, kwnames);
  if (!descr) return PyObject_VectorcallMethod(name, args, nargsf, kwnames);  // its AttributeError
  return call_descr(st, ts, descr, args, nargsf, kwnames);
}

}  // namespace

Ref get_attr(ModuleState& st, std::size_t slot, PyObject* o, PyObject* name) {
  if (PyType_Check(o)) return class_attr(st, slot, o, name);
  return owned(instance_attr(st, slot, o, name));
}

PyObject* try_get_attr(ModuleState& st, std::size_t slot, PyObject* o, PyObject* name) noexcept {
  if (!PyType_Check(o)) return instance_attr(st, slot, o, name);
  try {
    return class_attr(st, slot, o, name).release();
  } catch (const PyError&) {
    return nullptr;
  }
}

PyObject* vectorcall_method(ModuleState& st, PyThreadState* ts, std::size_t slot, PyObject* name,
                            PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  PyObject* self = args[0];
  TypeFact& f = fact_for(st, slot, Py_TYPE(self), name);
  // As _PyObject_GetMethod: a method descriptor is looked past for the instance's own attribute;
  // any other data descriptor wins over it, and whatever else the type holds is the interpreter's
  // business (bound through __get__, or the plain object).
  if (!f.cached || (!f.method && f.descr != nullptr)) return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
  PyObject* own = nullptr;
  const Probe seen = probe(f, self, name, &own);
  if (seen == Probe::found) return call_own(ts, Ref::borrow(own), args, nargsf, kwnames);
  // Held for the call, which may change the type.
  if (seen == Probe::absent && f.descr != nullptr) return call_descr(st, ts, Ref::borrow(f.descr), args, nargsf, kwnames);
  return method_slow(st, ts, f, name, args, nargsf, kwnames);
}

}  // namespace halvex::py
