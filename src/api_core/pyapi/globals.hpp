// Late lookups, made cheap without ever being stale.
//
// A module-level name is looked up when a method needs it: the module namespace first, then the
// builtins of the running frame. Class attributes and methods are looked up on their object at
// each use. Each kind keeps a small cache per name that is exact by construction:
//  - globals: a dict watcher on the module dict and on every builtins dict a name was found in
//    advances an epoch on any change, so a replacement or deletion is seen by the very next lookup;
//  - class attributes (ObjectIdEnum.csq_net_op): kept against the version tags of the class, its
//    metatype and the value's type, and only for plain values found in the class's own MRO;
//  - attributes of instances and methods called through them (self.log, transport.read_element):
//    what the type holds under the name and where the instance keeps its dict, kept against the
//    type's version tag (and that of the attribute's type), so the instance dict is read directly
//    and a data descriptor on the type still wins over it.
// Nothing imported is ever owned by a cache.
#pragma once

#include "pyapi/ref.hpp"
#include "pyapi/state.hpp"

namespace halvex::py {

// The object bound to `name` (the text of registry slot `slot`); NameError "name '%U' is not
// defined" when there is none.
Ref lookup_global(ModuleState& st, std::size_t slot, PyObject* name);

// getattr(o, name), for any object. `own`: `o` is the self of the running core method.
Ref get_attr(ModuleState& st, std::size_t slot, PyObject* o, PyObject* name, bool own);
// The same as a new reference, or null with the error set.
PyObject* try_get_attr(ModuleState& st, std::size_t slot, PyObject* o, PyObject* name, bool own) noexcept;

// args[0].<name>(*args[1:]) as PyObject_VectorcallMethod does it; null with an error set on
// failure. `nargsf` counts self; args[-1] is the caller's scratch slot (so callees may borrow it).
PyObject* vectorcall_method(ModuleState& st, PyThreadState* ts, std::size_t slot, PyObject* name,
                            PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept;

// Registers the dict watcher and watches the module namespace (st.dict). Without a free watcher
// slot the caches simply stay off.
void watch_namespace(ModuleState& st) noexcept;
void unwatch_namespace(ModuleState& st) noexcept;

}  // namespace halvex::py
