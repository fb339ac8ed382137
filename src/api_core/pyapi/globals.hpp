// Late lookup of module-level names: the module namespace first, then the builtins of the
// running frame, at the moment a method needs the name. Nothing imported is ever cached, so
// replacing a module attribute changes what the next call uses.
#pragma once

#include "pyapi/ref.hpp"
#include "pyapi/state.hpp"

namespace halvex::py {

// The object bound to `name`; NameError "name '%U' is not defined" when there is none.
Ref lookup_global(const ModuleState& st, PyObject* name);

}  // namespace halvex::py
