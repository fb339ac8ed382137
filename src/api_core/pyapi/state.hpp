// Per-module state: what the module made for itself at exec time.
//
// CPython allocates this block zero-filled and may traverse or clear it before exec has run, so
// every member is valid when all zero (plain pointers, counts). It holds the method type, the
// interned strings, the module's builtins and the entries of the lookup caches; imported objects
// live in the module namespace and are looked up late.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace halvex::py {

inline constexpr std::size_t kMaxTexts = 512;
inline constexpr std::size_t kMaxKwnames = 128;

// Entries of the caches of globals.hpp, one per interned text (the name looked up). `value` is
// borrowed: kept alive by what the watchers watch. 0 as epoch: empty.
struct GlobalEntry {
  PyObject* value;
  std::uint64_t epoch;
};

struct ClassAttrEntry {
  PyObject* owner;  // owned: the class read from (so that no other class can take its address)
  PyObject* value;
  std::uint64_t epoch;
};

struct MethodEntry {
  PyObject* owner;  // owned: the type whose MRO was searched
  PyObject* descr;  // what it holds under the name, or null
  std::uint64_t epoch;
};

struct ModuleState {
  PyObject* method_type;  // owned: the heap type of HalvexMediatorAPI's method objects
  PyObject* dict;         // borrowed: the module namespace, alive as long as the module
  PyObject* builtins;     // owned: the module's builtins (globals.hpp)
  std::size_t n_texts;
  std::size_t n_kwnames;
  PyObject* texts[kMaxTexts];      // owned interned strings, by registry slot
  PyObject* kwnames[kMaxKwnames];  // owned tuples of interned strings, by registry slot
  // The interpreter's shared watchers (watchers.hpp): id + 1, 0 for none.
  bool watching;
  int dict_watcher;
  int type_watcher;
  bool dict_watched;      // the module namespace is watched
  bool builtins_watched;  // so are the builtins
  GlobalEntry globals[kMaxTexts];
  ClassAttrEntry class_attrs[kMaxTexts];
  MethodEntry methods[kMaxTexts];  // methods.hpp

  // Exec has run and nothing has been cleared since.
  bool ready() const noexcept { return dict != nullptr && n_texts != 0; }
};

ModuleState& state_of(PyObject* module) noexcept;

// Interns every registered text and builds every keyword tuple.
void init_texts(ModuleState& st);

int traverse_state(ModuleState& st, visitproc visit, void* arg);
void clear_state(ModuleState& st) noexcept;

}  // namespace halvex::py
