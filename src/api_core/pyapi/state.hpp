// Per-module state: what the module made for itself at exec time.
//
// CPython allocates this block zero-filled and may traverse or clear it before exec has run, so
// every member is valid when all zero (plain pointers, counts). It holds the method type and
// interned strings only; imported objects live in the module namespace and are looked up late.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace halvex::py {

inline constexpr std::size_t kMaxTexts = 512;
inline constexpr std::size_t kMaxKwnames = 128;

// Caches of late lookups, one entry per interned text (the name looked up). Every pointer in them
// is borrowed: an entry is used only while the dicts or type versions that keep its object alive
// are unchanged, so it never owns anything. See globals.hpp.
struct GlobalEntry {
  PyObject* value;        // what the name is bound to
  PyObject* builtins;     // the builtins dict it was found in; null: found in the module dict
  std::uint64_t epoch;    // dict epoch when looked up; 0: empty
};

struct ClassAttrEntry {
  PyTypeObject* owner;    // the class the attribute was read from
  PyTypeObject* meta;     // its metatype then
  PyObject* value;
  unsigned int owner_version;
  unsigned int meta_version;
  unsigned int value_type_version;
};

enum class DictKind : std::uint8_t { none, offset, managed, inline_values };

// What looking `name` up on instances of `type` involves, as the generic attribute lookup and
// _PyObject_GetMethod see it: the attribute the type's MRO holds under that name and where the
// instance keeps its own attributes. Kept against the version tags of the type and of the
// attribute's type.
struct TypeFact {
  PyTypeObject* type;
  PyObject* descr;            // borrowed: the type's attribute of that name, or null
  unsigned int version;       // the type's version tag; 0: empty
  unsigned int descr_version; // the version tag of type(descr); 0 when descr is null
  bool cached;                // false: not a plain generic lookup, take the interpreter's path
  bool data_descr;            // descr has __get__ and __set__: it wins over the instance's own
  bool method;                // descr is a method descriptor: called unbound with self first
  DictKind dict;
  // inline_values: the type's shared keys, the index of `name` among them (-1: absent) and how
  // many keys they held when that was found (keys are only ever added).
  PyDictKeysObject* keys;
  Py_ssize_t index;
  Py_ssize_t nentries;
  // dict kinds: where the name was last found among a dict's entries (dicts built the same way
  // keep their keys in the same order); only ever a hint, checked against the entry itself.
  Py_ssize_t hint;
};

// Runs one of the module's own method objects on a thread state the caller already holds.
using InvokeFn = PyObject* (*)(PyObject* method, PyThreadState* ts, PyObject* const* args, std::size_t nargsf,
                               PyObject* kwnames) noexcept;

struct ModuleState {
  PyObject* method_type;  // owned: the heap type of HalvexMediatorAPI's method objects
  InvokeFn invoke;        // calls one of them (binding/method_type)
  PyObject* dict;         // borrowed: the module namespace, alive as long as the module
  std::size_t n_texts;
  std::size_t n_kwnames;
  PyObject* texts[kMaxTexts];      // owned interned strings, by registry slot
  PyObject* kwnames[kMaxKwnames];  // owned tuples of interned strings, by registry slot
  int watcher;                     // dict watcher id + 1; 0: none (the caches stay empty)
  GlobalEntry globals[kMaxTexts];
  ClassAttrEntry class_attrs[kMaxTexts];
  TypeFact facts[kMaxTexts];       // attribute reads and method calls on instances

  // Exec has run and nothing has been cleared since.
  bool ready() const noexcept { return dict != nullptr && n_texts != 0; }
};

ModuleState& state_of(PyObject* module) noexcept;

// Interns every registered text and builds every keyword tuple.
void init_texts(ModuleState& st);

int traverse_state(ModuleState& st, visitproc visit, void* arg);
void clear_state(ModuleState& st) noexcept;

}  // namespace halvex::py
