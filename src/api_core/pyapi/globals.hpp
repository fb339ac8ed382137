// Late lookups, made cheap without ever being stale.
//
// A module-level name is looked up when a method needs it: the module namespace first, then the
// builtins of the running frame. Class attributes and methods are looked up on their object at
// each use. Each kind keeps a small cache per name that is exact by construction:
//  - globals: a dict watcher on the module dict and on every builtins dict a name was found in
//    advances an epoch on any change, so a replacement or deletion is seen by the very next lookup;
//  - class attributes (ObjectIdEnum.csq_net_op): kept against the version tags of the class, its
//    metatype and the value's type, and only for plain values found in the class's own MRO;
//  - methods called through an object (self._read_element(...)): the type's method descriptor,
//    kept against the type's version tag; the instance's own dict is still consulted on every
//    call, so an instance attribute of that name wins exactly as it does in the interpreter.
// Nothing imported is ever owned by a cache.
#pragma once

#include "pyapi/ref.hpp"
#include "pyapi/state.hpp"

namespace halvex::py {

// The object bound to `name` (the text of registry slot `slot`); NameError "name '%U' is not
// defined" when there is none.
Ref lookup_global(ModuleState& st, std::size_t slot, PyObject* name);

// getattr(o, name), for any object; the cache is used when `o` is a class.
Ref get_attr(ModuleState& st, std::size_t slot, PyObject* o, PyObject* name);

// args[0].<name>(*args[1:]) as PyObject_VectorcallMethod does it; null with an error set on
// failure. `nargsf` counts self.
PyObject* vectorcall_method(ModuleState& st, std::size_t slot, PyObject* name, PyObject* const* args,
                            std::size_t nargsf, PyObject* kwnames) noexcept;

// Registers the dict watcher and watches the module namespace (st.dict). Without a free watcher
// slot the caches simply stay off.
void watch_namespace(ModuleState& st) noexcept;
void unwatch_namespace(ModuleState& st) noexcept;

}  // namespace halvex::py
