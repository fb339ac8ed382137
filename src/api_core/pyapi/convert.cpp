#include "pyapi/convert.hpp"

#include <cmath>

namespace halvex::py {

namespace {

bool is_number(PyObject* o) noexcept {
  PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  return nb != nullptr && (nb->nb_index != nullptr || nb->nb_int != nullptr || nb->nb_float != nullptr);
}

[[noreturn]] void raise_expected(const char* format, const char* type_name, PyObject* got) {
  raise(PyExc_TypeError, format, type_name, Py_TYPE(got)->tp_name);
}

constexpr long long kExactDoubleLimit = 1LL << 53;

}  // namespace

Ref str_of(PyObject* o) {
  if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
  return owned(PyObject_Str(o));
}

Ref format_field(PyObject* o) {
  if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
  if (PyLong_CheckExact(o) || PyFloat_CheckExact(o)) return owned(PyObject_Repr(o));
  return owned(PyObject_Format(o, nullptr));
}

Ref concat(std::initializer_list<PyObject*> parts) {
  Ref empty = owned(PyUnicode_FromStringAndSize(nullptr, 0));
  Ref list = owned(PyList_New(0));
  for (PyObject* p : parts) check(PyList_Append(list.get(), p));
  return owned(PyUnicode_Join(empty.get(), list.get()));
}

Ref hex_of(PyObject* o) {
  if (!PyBytes_CheckExact(o)) return owned(PyObject_CallMethod(o, "hex", nullptr));
  static constexpr char kDigits[] = "0123456789abcdef";
  const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(o));
  Py_ssize_t n = PyBytes_GET_SIZE(o);
  Ref out = owned(PyUnicode_New(2 * n, 127));
  auto* text = static_cast<Py_UCS1*>(PyUnicode_DATA(out.get()));
  for (Py_ssize_t i = 0; i < n; ++i) {
    text[2 * i] = static_cast<Py_UCS1>(kDigits[data[i] >> 4]);
    text[2 * i + 1] = static_cast<Py_UCS1>(kDigits[data[i] & 0xF]);
  }
  return out;
}

Ref true_divide(PyObject* value, long divisor) {
  if (PyFloat_CheckExact(value)) {
    return owned(PyFloat_FromDouble(PyFloat_AS_DOUBLE(value) / static_cast<double>(divisor)));
  }
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyError();
    if (overflow == 0 && v < kExactDoubleLimit && v > -kExactDoubleLimit) {
      // Both operands are exact doubles here, so IEEE division rounds the true quotient once.
      return owned(PyFloat_FromDouble(static_cast<double>(v) / static_cast<double>(divisor)));
    }
  }
  Ref d = owned(PyLong_FromLong(divisor));
  return owned(PyNumber_TrueDivide(value, d.get()));
}

PyObject* expect_exact_or_none(PyObject* o, PyTypeObject* type, const char* type_name) {
  if (o == Py_None || Py_IS_TYPE(o, type)) return o;
  raise_expected("Expected %s, got %.200s", type_name, o);
}

PyObject* expect_dict_or_none(PyObject* o) {
  if (o == Py_None || PyDict_Check(o)) return o;
  raise_expected("Expected %s, got %.200s", "dict", o);
}

Ref to_float_or_none(Ref o) {
  if (o.is(Py_None) || PyFloat_CheckExact(o.get())) return o;
  if (!is_number(o.get())) raise_expected("Expected %.200s, got %.200s", "float", o.get());
  return owned(PyNumber_Float(o.get()));
}

Ref to_int_or_none(Ref o) {
  if (o.is(Py_None) || PyLong_CheckExact(o.get())) return o;
  if (!is_number(o.get())) raise_expected("Expected %.200s, got %.200s", "int", o.get());
  return owned(PyNumber_Long(o.get()));
}

}  // namespace halvex::py
