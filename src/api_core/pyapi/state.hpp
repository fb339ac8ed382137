// Per-module state: what the module made for itself at exec time.
//
// CPython allocates this block zero-filled and may traverse or clear it before exec has run, so
// every member is valid when all zero (plain pointers, counts). It holds the method type and
// interned strings only; imported objects live in the module namespace and are looked up late.
#pragma once

#include <Python.h>

#include <cstddef>

namespace halvex::py {

inline constexpr std::size_t kMaxTexts = 512;
inline constexpr std::size_t kMaxKwnames = 128;

struct ModuleState {
  PyObject* method_type;  // owned: the heap type of HalvexMediatorAPI's method objects
  PyObject* dict;         // borrowed: the module namespace, alive as long as the module
  std::size_t n_texts;
  std::size_t n_kwnames;
  PyObject* texts[kMaxTexts];      // owned interned strings, by registry slot
  PyObject* kwnames[kMaxKwnames];  // owned tuples of interned strings, by registry slot

  // Exec has run and nothing has been cleared since.
  bool ready() const noexcept { return dict != nullptr && n_texts != 0; }
};

ModuleState& state_of(PyObject* module) noexcept;

// Interns every registered text and builds every keyword tuple.
void init_texts(ModuleState& st);

int traverse_state(ModuleState& st, visitproc visit, void* arg);
void clear_state(ModuleState& st) noexcept;

}  // namespace halvex::py
