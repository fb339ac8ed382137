// o.m(...) with `o.m` looked up before the call's arguments are evaluated, as the interpreter
// does, and without making a bound method for a plain method.
//
// The lookup is the generic attribute lookup of the host, step for step: the attribute the type's
// MRO holds under the name (a data descriptor there wins), then the instance's own attribute,
// then what the type holds. A method (a function, or any descriptor whose type declares itself a
// method descriptor) is kept unbound beside its object and called with the object first, which
// is what calling the bound method does. Anything else, and any type with a lookup of its own, is
// looked up by the host itself (PyObject_GetAttr).
#pragma once

#include "pyapi/ref.hpp"
#include "pyapi/state.hpp"

namespace halvex::py {

// A callable looked up on an object: `self` is set when `fn` is a method to be called with it
// first.
struct Callee {
  Ref fn;
  Ref self;
};

// `name` is the text of registry slot `slot`: what the type holds under it is kept there, against
// the shared type watcher (watchers.hpp), so that the type's MRO is not searched on every call.
Callee lookup_method(ModuleState& st, std::size_t slot, PyObject* o, PyObject* name);

// What the type's MRO holds under `name` (no descriptor applied), or an empty Ref; `ok` is false
// when the type has no MRO to walk.
Ref type_attribute(PyTypeObject* type, PyObject* name, bool& ok);

}  // namespace halvex::py
