#include "pyapi/state.hpp"

#include "pyapi/globals.hpp"
#include "pyapi/names.hpp"
#include "pyapi/ref.hpp"

namespace halvex::py {

ModuleState& state_of(PyObject* module) noexcept {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

void init_texts(ModuleState& st) {
  const auto& texts = registry::texts();
  const auto& kwnames = registry::kwnames();
  if (texts.size() > kMaxTexts || kwnames.size() > kMaxKwnames) {
    raise(PyExc_ImportError, "api_core: too many interned texts (%zu) or keyword tuples (%zu)",
          texts.size(), kwnames.size());
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    store_slot(st.texts[i], owned(PyUnicode_InternFromString(texts[i])));
    st.n_texts = i + 1;
  }
  for (std::size_t i = 0; i < kwnames.size(); ++i) {
    const auto& slots = kwnames[i];
    Ref tuple = owned(PyTuple_New(static_cast<Py_ssize_t>(slots.size())));
    for (std::size_t k = 0; k < slots.size(); ++k) {
      tuple_set(tuple.get(), static_cast<Py_ssize_t>(k), Ref::borrow(st.texts[slots[k]]));
    }
    store_slot(st.kwnames[i], std::move(tuple));
    st.n_kwnames = i + 1;
  }
}

int traverse_state(ModuleState& st, visitproc visit, void* arg) {
  if (int r = visit_slot(st.method_type, visit, arg)) return r;
  if (int r = visit_slot(st.builtins, visit, arg)) return r;
  for (const ClassAttrEntry& entry : st.class_attrs) {
    if (int r = visit_slot(entry.owner, visit, arg)) return r;
  }
  for (const MethodEntry& entry : st.methods) {
    if (int r = visit_slot(entry.owner, visit, arg)) return r;
  }
  for (std::size_t i = 0; i < st.n_kwnames; ++i) {
    if (int r = visit_slot(st.kwnames[i], visit, arg)) return r;
  }
  return 0;
}

void clear_state(ModuleState& st) noexcept {
  stop_caches(st);
  for (ClassAttrEntry& entry : st.class_attrs) {
    entry.epoch = 0;
    clear_slot(entry.owner);
  }
  for (MethodEntry& entry : st.methods) {
    entry.epoch = 0;
    clear_slot(entry.owner);
  }
  for (GlobalEntry& entry : st.globals) entry.epoch = 0;
  clear_slot(st.method_type);
  clear_slot(st.builtins);
  st.dict = nullptr;
  for (std::size_t i = 0; i < st.n_kwnames; ++i) clear_slot(st.kwnames[i]);
  for (std::size_t i = 0; i < st.n_texts; ++i) clear_slot(st.texts[i]);
  st.n_kwnames = 0;
  st.n_texts = 0;
}

}  // namespace halvex::py
