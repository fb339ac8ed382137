// The type of HalvexMediatorAPI's method objects.
//
// A method object carries one table entry. It is a method descriptor with vectorcall, so
// `client.read(s)` calls it directly with self prepended and no bound method is allocated;
// `client.read` on its own still gives an ordinary bound method. It exposes what a Python
// function would: __name__, __qualname__, __module__, __doc__, __annotations__, __defaults__
// and __signature__ (for inspect.signature).
#pragma once

#include "binding/method_table.hpp"
#include "pyapi/ref.hpp"
#include "pyapi/state.hpp"

namespace halvex::py {

// Creates the heap type and stores it in the module state.
void create_method_type(PyObject* module, ModuleState& st);

// A method object for `row`; `defaults` is the __defaults__ tuple (null: none).
Ref make_method(PyObject* module, ModuleState& st, const MethodRow& row, const char* class_name, Ref defaults);

}  // namespace halvex::py
