// Module-level names, looked up as a function defined in the module looks them up, and plain
// class attributes (ObjectIdEnum.csq_net_op).
//
// A name is looked up at the moment a method needs it: in the module namespace, then in the
// module's builtins. The module's builtins are what its `__builtins__` held when the module was
// executed (a module stands for its dict), just as a Python function keeps the builtins of the
// module it was defined in; the calling frame's builtins never count.
//
// Both kinds keep one entry per name that is exact by construction: the module namespace and the
// builtins dict are watched, and so are the class, its metatype and the value's type of a cached
// class attribute (watchers.hpp); any change of any of them leaves every entry stale at once.
// Entries hold borrowed pointers: what they point to is kept alive by the watched dicts and types
// whose next change makes them stale.
#pragma once

#include "pyapi/ref.hpp"
#include "pyapi/state.hpp"

namespace halvex::py {

// The object bound to `name` (the text of registry slot `slot`); NameError "name '%U' is not
// defined" when there is none.
Ref lookup_global(ModuleState& st, std::size_t slot, PyObject* name);

// getattr(cls, name) for a class `cls`.
Ref class_attr(ModuleState& st, std::size_t slot, PyObject* cls, PyObject* name);

// `Global.attr` from the entries alone, or null: a hit runs no code and cannot fail, as
// evaluating the expression would not either.
PyObject* cached_member(const ModuleState& st, std::size_t global_slot, std::size_t attr_slot) noexcept;

// Binds `__builtins__` in the module namespace when it has none (as exec() does for the code of
// a Python module: the interpreter's builtins, whoever imports) and keeps that mapping as the
// module's builtins.
void init_builtins(ModuleState& st);

// Starts the caches (watchers.hpp); without watchers every lookup is made in full.
void start_caches(ModuleState& st) noexcept;
void stop_caches(ModuleState& st) noexcept;

}  // namespace halvex::py
