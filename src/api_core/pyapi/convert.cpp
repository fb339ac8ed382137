#include "pyapi/convert.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

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

// ---- text of values, as repr() writes it ------------------------------------------------------
// Log lines embed the text of dicts and tuples of floats; the host's float repr goes through a
// big-number dtoa. The shortest round-trip digits come from std::to_chars instead, laid out by
// the host's repr rules. Only exact built-in leaf types whose repr is fixed C code take this path
// (checked before anything is written), so no Python code can run; anything else is left to
// PyObject_Str, as before.

// Shortest round-trip digits of a finite double `x`, as repr() lays them out: positional when
// 1e-4 <= |x| < 1e16, else d[.ddd]e±XX; whole numbers keep ".0"; -0.0 keeps its sign.
void append_float(std::string& out, double x) {
  if (std::isnan(x)) {
    out += "nan";
    return;
  }
  if (std::isinf(x)) {
    out += x > 0 ? "inf" : "-inf";
    return;
  }
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  const char* p = buf;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  char digits[24];
  int ndigits = 0;
  for (; p < r.ptr && *p != 'e'; ++p) {
    if (*p != '.') digits[ndigits++] = *p;
  }
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+'), r.ptr, exponent);
  const int decpt = exponent + 1;  // digits d1 d2 ... stand for 0.d1d2... * 10**decpt
  if (decpt > -4 && decpt <= 16) {
    if (decpt <= 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-decpt), '0');
      out.append(digits, static_cast<std::size_t>(ndigits));
    } else if (decpt >= ndigits) {
      out.append(digits, static_cast<std::size_t>(ndigits));
      out.append(static_cast<std::size_t>(decpt - ndigits), '0');
      out += ".0";
    } else {
      out.append(digits, static_cast<std::size_t>(decpt));
      out += '.';
      out.append(digits + decpt, static_cast<std::size_t>(ndigits - decpt));
    }
    return;
  }
  out += digits[0];
  if (ndigits > 1) {
    out += '.';
    out.append(digits + 1, static_cast<std::size_t>(ndigits - 1));
  }
  const int e = decpt - 1;
  out += e < 0 ? "e-" : "e+";
  const int magnitude = e < 0 ? -e : e;
  if (magnitude < 10) out += '0';
  char ebuf[8];
  const auto er = std::to_chars(ebuf, ebuf + sizeof ebuf, magnitude);
  out.append(ebuf, er.ptr);
}

// A str whose repr is itself in single quotes: printable ASCII without ' or backslash.
bool is_plain_ascii(PyObject* s) noexcept {
  if (!PyUnicode_IS_ASCII(s)) return false;
  const auto* data = static_cast<const unsigned char*>(PyUnicode_DATA(s));
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const unsigned char ch = data[i];
    if (ch < 0x20 || ch >= 0x7f || ch == '\'' || ch == '\\') return false;
  }
  return true;
}

// Appends repr(o) for the leaf and container types above; false (nothing promised about `out`)
// for anything else. `depth` bounds the nesting, so a container can never reach itself.
bool append_repr(std::string& out, PyObject* o, int depth) {
  if (PyFloat_CheckExact(o)) {
    append_float(out, PyFloat_AS_DOUBLE(o));
    return true;
  }
  if (o == Py_None) {
    out += "None";
    return true;
  }
  if (o == Py_True || o == Py_False) {
    out += o == Py_True ? "True" : "False";
    return true;
  }
  if (PyUnicode_CheckExact(o)) {
    if (!is_plain_ascii(o)) return false;
    out += '\'';
    out.append(static_cast<const char*>(PyUnicode_DATA(o)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)));
    out += '\'';
    return true;
  }
  if (PyLong_CheckExact(o)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) return false;
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
    return true;
  }
  if (depth >= 2) return false;
  if (PyTuple_CheckExact(o)) {
    const Py_ssize_t n = PyTuple_GET_SIZE(o);
    out += '(';
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (i > 0) out += ", ";
      if (!append_repr(out, PyTuple_GET_ITEM(o, i), depth + 1)) return false;
    }
    out += n == 1 ? ",)" : ")";
    return true;
  }
  if (PyDict_CheckExact(o)) {
    out += '{';
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    bool first = true;
    while (PyDict_Next(o, &pos, &key, &value)) {  // nothing below can run Python code
      if (!first) out += ", ";
      first = false;
      if (!append_repr(out, key, depth + 1)) return false;
      out += ": ";
      if (!append_repr(out, value, depth + 1)) return false;
    }
    out += '}';
    return true;
  }
  if (PyList_CheckExact(o)) {
    out += '[';
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
      if (i > 0) out += ", ";
      if (!append_repr(out, PyList_GET_ITEM(o, i), depth + 1)) return false;
    }
    out += ']';
    return true;
  }
  return false;
}

Ref ascii_str(const std::string& text) {
  Ref out = owned(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
  std::memcpy(PyUnicode_DATA(out.get()), text.data(), text.size());
  return out;
}

bool fast_repr_candidate(PyObject* o) noexcept {
  return PyFloat_CheckExact(o) || PyTuple_CheckExact(o) || PyDict_CheckExact(o) || PyList_CheckExact(o);
}

}  // namespace

Ref str_of(PyObject* o) {
  if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
  if (fast_repr_candidate(o)) {
    std::string text;
    text.reserve(256);
    if (append_repr(text, o, 0)) return ascii_str(text);
  }
  return owned(PyObject_Str(o));
}

Ref format_field(PyObject* o) {
  if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
  if (PyFloat_CheckExact(o)) return str_of(o);
  if (PyLong_CheckExact(o)) return owned(PyObject_Repr(o));
  return owned(PyObject_Format(o, nullptr));
}

Ref concat(std::initializer_list<PyObject*> parts) {
  // All ASCII (log texts and the text of numbers): one allocation, one copy.
  Py_ssize_t total = 0;
  bool ascii = true;
  for (PyObject* p : parts) {
    if (!PyUnicode_Check(p) || !PyUnicode_IS_ASCII(p)) {
      ascii = false;
      break;
    }
    total += PyUnicode_GET_LENGTH(p);
  }
  if (ascii) {
    Ref out = owned(PyUnicode_New(total, 127));
    auto* dest = static_cast<char*>(PyUnicode_DATA(out.get()));
    for (PyObject* p : parts) {
      const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(p));
      std::memcpy(dest, PyUnicode_DATA(p), n);
      dest += n;
    }
    return out;
  }
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
