// One dict watcher and one type watcher per interpreter, whatever the number of module objects.
//
// The interpreter has few watcher ids (eight of each kind) for every library in the process, so
// the module objects of one interpreter (re-imports, module_from_spec) share one of each: the
// first one to start registers them, in a record kept in the interpreter's state dict, and the
// last one to stop clears them. A watched dict or type that changes advances one epoch; a cache
// entry stamped with an older epoch is never used.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace halvex::py {

struct ModuleState;

namespace detail {
// Advanced by every change of a watched dict or type, in any interpreter: at worst a change
// elsewhere costs a lookup.
inline std::atomic<std::uint64_t> watch_epoch{1};
}  // namespace detail

inline std::uint64_t watch_epoch() noexcept { return detail::watch_epoch.load(std::memory_order_relaxed); }

// Joins the interpreter's watchers (registering them if this is the first module object).
// Without a free id the caches simply stay off; no error is left set.
void start_watching(ModuleState& st) noexcept;
// Leaves them (clearing them with the last module object).
void stop_watching(ModuleState& st) noexcept;

// Watches a dict or a type for the caches; false when that is not possible (then nothing that
// depends on it may be cached).
bool watch_dict(const ModuleState& st, PyObject* dict) noexcept;
bool watch_type(const ModuleState& st, PyTypeObject* type) noexcept;

}  // namespace halvex::py
