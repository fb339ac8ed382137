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
//    what the type holds under the name and where the instance keeps its own attributes, kept
//    against the type's version tag (and that of the attribute's type); the instance's attributes
//    are then read where they live (its inline values, by the name's index among the type's
//    shared keys, or its dict) on every call, and a data descriptor on the type still wins.
//    (instances.cpp)
// Nothing imported is ever owned by a cache.
#pragma once

#include "pyapi/ref.hpp"
#include "pyapi/state.hpp"

namespace halvex::py {

// The object bound to `name` (the text of registry slot `slot`); NameError "name '%U' is not
// defined" when there is none.
Ref lookup_global(ModuleState& st, std::size_t slot, PyObject* name);

// getattr(o, name), for any object.
Ref get_attr(ModuleState& st, std::size_t slot, PyObject* o, PyObject* name);
// The same as a new reference, or null with the error set.
PyObject* try_get_attr(ModuleState& st, std::size_t slot, PyObject* o, PyObject* name) noexcept;
// getattr(cls, name) for a class `cls` (globals.cpp).
Ref class_attr(ModuleState& st, std::size_t slot, PyObject* cls, PyObject* name);

// A type's version tag, assigned if it has none yet; 0 when the type cannot have one.
unsigned int version_of(PyTypeObject* type) noexcept;

// args[0].<name>(*args[1:]) as PyObject_VectorcallMethod does it; null with an error set on
// failure. `nargsf` counts self; args[-1] is the caller's scratch slot (so callees may borrow it).
PyObject* vectorcall_method(ModuleState& st, PyThreadState* ts, std::size_t slot, PyObject* name,
                            PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept;

// Registers the dict watcher and watches the module namespace (st.dict). Without a free watcher
// slot the caches simply stay off.
void watch_namespace(ModuleState& st) noexcept;
void unwatch_namespace(ModuleState& st) noexcept;

}  // namespace halvex::py
