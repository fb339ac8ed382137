#include "pyapi/watchers.hpp"

#include <new>

#include "pyapi/ref.hpp"
#include "pyapi/state.hpp"

namespace halvex::py {

namespace {

// The record's key in the interpreter's state dict, and the name of the capsule that holds it.
constexpr const char kRecord[] = "norvo_halvex.mediator.api_core.watchers";

struct Shared {
  int dict_watcher;
  int type_watcher;
  long users;  // module objects that started and have not stopped
};

// Both are called just before the change is made; nothing runs between this and the change.
int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  detail::watch_epoch.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

int on_type_event(PyTypeObject*) noexcept {
  detail::watch_epoch.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

void free_record(PyObject* capsule) noexcept { delete static_cast<Shared*>(PyCapsule_GetPointer(capsule, kRecord)); }

// The interpreter's state dict and the record's key, or false (no error set) when there is none.
bool record_place(PyObject*& dict, Ref& key) noexcept {
  dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
  if (dict == nullptr) return false;
  key = Ref::steal(PyUnicode_InternFromString(kRecord));
  return static_cast<bool>(key);
}

Shared* find_record(PyObject* dict, PyObject* key) noexcept {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(dict, key, &found) <= 0) return nullptr;
  Ref capsule = Ref::steal(found);
  return static_cast<Shared*>(PyCapsule_GetPointer(capsule.get(), kRecord));
}

Shared* new_record(PyObject* dict, PyObject* key) noexcept {
  const int dict_watcher = PyDict_AddWatcher(on_dict_event);
  if (dict_watcher < 0) return nullptr;
  const int type_watcher = PyType_AddWatcher(on_type_event);
  if (type_watcher < 0) {
    PyDict_ClearWatcher(dict_watcher);
    return nullptr;
  }
  auto* shared = new (std::nothrow) Shared{dict_watcher, type_watcher, 0};
  Ref capsule = shared != nullptr ? Ref::steal(PyCapsule_New(shared, kRecord, free_record)) : Ref();
  if (!capsule || PyDict_SetItem(dict, key, capsule.get()) < 0) {
    if (!capsule) delete shared;
    PyDict_ClearWatcher(dict_watcher);
    PyType_ClearWatcher(type_watcher);
    return nullptr;
  }
  return shared;
}

}  // namespace

void start_watching(ModuleState& st) noexcept {
  if (st.watching) return;
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* dict = nullptr;
  Ref key;
  if (record_place(dict, key)) {
    Shared* shared = find_record(dict, key.get());
    if (shared == nullptr && !PyErr_Occurred()) shared = new_record(dict, key.get());
    if (shared != nullptr) {
      ++shared->users;
      st.watching = true;
      st.dict_watcher = shared->dict_watcher + 1;
      st.type_watcher = shared->type_watcher + 1;
    }
  }
  PyErr_Clear();  // no free id or no memory: the caches stay off, same results
  PyErr_SetRaisedException(exc);
}

void stop_watching(ModuleState& st) noexcept {
  if (!st.watching) return;
  st.watching = false;
  st.dict_watcher = 0;
  st.type_watcher = 0;
  detail::watch_epoch.fetch_add(1, std::memory_order_relaxed);
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* dict = nullptr;
  Ref key;
  // Gone already when the interpreter is being torn down; it clears its watchers itself.
  if (record_place(dict, key)) {
    Shared* shared = find_record(dict, key.get());
    if (shared != nullptr && --shared->users == 0) {
      PyDict_ClearWatcher(shared->dict_watcher);
      PyType_ClearWatcher(shared->type_watcher);
      PyDict_DelItem(dict, key.get());
    }
  }
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

bool watch_dict(const ModuleState& st, PyObject* dict) noexcept {
  if (st.dict_watcher == 0 || !PyDict_CheckExact(dict)) return false;
  if (PyDict_Watch(st.dict_watcher - 1, dict) == 0) return true;
  PyErr_Clear();
  return false;
}

bool watch_type(const ModuleState& st, PyTypeObject* type) noexcept {
  if (st.type_watcher == 0) return false;
  // A static immutable type (a builtin) never changes, and is shared by every interpreter: it is
  // left alone.
  if (PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE) && !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return true;
  // A type tells its watchers of a change only while it holds a version tag; assigning one now
  // arms the next notice (every lookup through the interpreter's type cache does the same).
  if (!PyUnstable_Type_AssignVersionTag(type)) return false;
  if (PyType_Watch(st.type_watcher - 1, reinterpret_cast<PyObject*>(type)) == 0) return true;
  PyErr_Clear();
  return false;
}

}  // namespace halvex::py
