// Conversions and result checks shared by the operations.
#pragma once

#include "pyapi/ref.hpp"

namespace halvex::py {

// str(o): an exact str is returned as is.
Ref str_of(PyObject* o);
// The text an f-string field gives: exact str as is, exact int/float by repr, else format(o, "").
Ref format_field(PyObject* o);
// The text of an f-string from its pieces (each a str, as format() gives them): join({a, b, c}).
Ref join(std::initializer_list<PyObject*> parts);
// a + b + c, evaluated as the interpreter adds, left to right (texts, in practice).
Ref plus(std::initializer_list<PyObject*> parts);
// Lower-case hex text, two digits per byte: bytes.hex() for exact bytes, else o.hex().
Ref hex_of(PyObject* o);

// value / divisor with true division: exact ints below 2**53 and floats as doubles (one rounding),
// anything else through the number protocol.
Ref true_divide(PyObject* value, long divisor);

// Result checks of declared types. TypeError "Expected %s, got %.200s" with the type name.
// `o` must be None or exactly `type`; returns `o`.
PyObject* expect_exact_or_none(PyObject* o, PyTypeObject* type, const char* type_name);
inline PyObject* expect_str_or_none(PyObject* o) { return expect_exact_or_none(o, &PyUnicode_Type, "str"); }
inline PyObject* expect_bytes_or_none(PyObject* o) { return expect_exact_or_none(o, &PyBytes_Type, "bytes"); }
// A dict or None ("Expected %s, got %.200s" with "dict"; subclasses of dict pass).
PyObject* expect_dict_or_none(PyObject* o);

// Declared float / int results: None passes, an exact float / int passes, another number is
// converted (float(o) / int(o), so 17.9 gives 17); anything else raises TypeError
// "Expected %.200s, got %.200s" with "float" / "int".
Ref to_float_or_none(Ref o);
Ref to_int_or_none(Ref o);

}  // namespace halvex::py
