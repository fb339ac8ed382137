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

struct MethodEntry {
  PyTypeObject* type;     // receiver type
  PyObject* descr;        // its method descriptor; null: this type's lookup is not cached
  vectorcallfunc call;
  unsigned int version;   // receiver type's version tag; 0: empty
  bool check_dict;        // instances have a managed dict an attribute of that name may shadow
};

struct ModuleState {
  PyObject* method_type;  // owned: the heap type of HalvexMediatorAPI's method objects
  PyObject* dict;         // borrowed: the module namespace, alive as long as the module
  std::size_t n_texts;
  std::size_t n_kwnames;
  PyObject* texts[kMaxTexts];      // owned interned strings, by registry slot
  PyObject* kwnames[kMaxKwnames];  // owned tuples of interned strings, by registry slot
  int watcher;                     // dict watcher id + 1; 0: none (the caches stay empty)
  GlobalEntry globals[kMaxTexts];
  ClassAttrEntry class_attrs[kMaxTexts];
  MethodEntry methods[kMaxTexts];

  // Exec has run and nothing has been cleared since.
  bool ready() const noexcept { return dict != nullptr && n_texts != 0; }
};

ModuleState& state_of(PyObject* module) noexcept;

// Interns every registered text and builds every keyword tuple.
void init_texts(ModuleState& st);

int traverse_state(ModuleState& st, visitproc visit, void* arg);
void clear_state(ModuleState& st) noexcept;

}  // namespace halvex::py
