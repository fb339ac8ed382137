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

// repr(x) into `p` when x is a decimal of at most 15 significant digits and at most 6 after the
// point (a meter count divided by 1000 or 10000, for one), else null. Two decimals of at most 15
// significant digits never round to the same double, so that decimal is the shortest text that
// reads back as x: the digits repr() shows, laid out positionally (1e-4 <= |x| < 1e15).
char* write_short_decimal(char* p, double x) {
  static constexpr double kScale[] = {1.0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
  const double a = std::fabs(x);
  if (!(a >= 1e-4 && a < 1e15)) return nullptr;
  for (int k = 0; k < 7; ++k) {
    const double scaled = a * kScale[k];
    if (scaled >= 1e15) return nullptr;
    const double t = std::nearbyint(scaled);
    // Both exact (t < 2**53, a power of ten up to 1e6), so the quotient is rounded once: it
    // equals x exactly when the decimal t / 10**k is x's.
    if (t / kScale[k] != a) continue;
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof digits, static_cast<unsigned long long>(t));
    const int n = static_cast<int>(r.ptr - digits);
    if (x < 0) *p++ = '-';
    if (k == 0) {
      std::memcpy(p, digits, static_cast<std::size_t>(n));
      p += n;
      *p++ = '.';
      *p++ = '0';
    } else if (n > k) {
      std::memcpy(p, digits, static_cast<std::size_t>(n - k));
      p += n - k;
      *p++ = '.';
      std::memcpy(p, digits + n - k, static_cast<std::size_t>(k));
      p += k;
    } else {
      *p++ = '0';
      *p++ = '.';
      for (int i = 0; i < k - n; ++i) *p++ = '0';
      std::memcpy(p, digits, static_cast<std::size_t>(n));
      p += n;
    }
    return p;
  }
  return nullptr;
}

// repr(x) of a double into `p` (room for 32 characters); returns the end. The shortest
// round-trip digits, laid out as repr() does: positional when 1e-4 <= |x| < 1e16, else
// d[.ddd]e±XX; whole numbers keep ".0"; -0.0 keeps its sign.
char* write_float(char* p, double x) {
  if (char* end = write_short_decimal(p, x)) return end;
  if (std::isnan(x) || std::isinf(x)) {
    const char* text = std::isnan(x) ? "nan" : x > 0 ? "inf" : "-inf";
    const std::size_t n = std::strlen(text);
    std::memcpy(p, text, n);
    return p + n;
  }
  // d[.ddd]e±XX, the exponent always signed and of two digits at least.
  char sci[40];
  const auto r = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
  const char* q = sci;
  if (*q == '-') {
    *p++ = '-';
    ++q;
  }
  char digits[24];
  int n = 0;
  digits[n++] = *q++;
  if (*q == '.') {
    for (++q; *q != 'e'; ++q) digits[n++] = *q;
  }
  const bool negative_exponent = q[1] == '-';
  int exponent = 0;
  for (q += 2; q < r.ptr; ++q) exponent = exponent * 10 + (*q - '0');
  if (negative_exponent) exponent = -exponent;

  const int decpt = exponent + 1;  // digits d1 d2 ... stand for 0.d1d2... * 10**decpt
  if (decpt > -4 && decpt <= 16) {
    if (decpt <= 0) {
      *p++ = '0';
      *p++ = '.';
      for (int i = 0; i < -decpt; ++i) *p++ = '0';
      std::memcpy(p, digits, static_cast<std::size_t>(n));
      return p + n;
    }
    if (decpt >= n) {
      std::memcpy(p, digits, static_cast<std::size_t>(n));
      p += n;
      for (int i = 0; i < decpt - n; ++i) *p++ = '0';
      *p++ = '.';
      *p++ = '0';
      return p;
    }
    std::memcpy(p, digits, static_cast<std::size_t>(decpt));
    p += decpt;
    *p++ = '.';
    std::memcpy(p, digits + decpt, static_cast<std::size_t>(n - decpt));
    return p + (n - decpt);
  }
  *p++ = digits[0];
  if (n > 1) {
    *p++ = '.';
    std::memcpy(p, digits + 1, static_cast<std::size_t>(n - 1));
    p += n - 1;
  }
  *p++ = 'e';
  *p++ = exponent < 0 ? '-' : '+';
  const int magnitude = exponent < 0 ? -exponent : exponent;
  if (magnitude < 10) *p++ = '0';
  return std::to_chars(p, p + 4, magnitude).ptr;
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
    char buf[40];
    out.append(buf, write_float(buf, PyFloat_AS_DOUBLE(o)));
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

namespace {

// All exact ASCII str (log texts and the text of numbers): one allocation, one copy; null when
// some part is not.
Ref ascii_concat(std::initializer_list<PyObject*> parts) {
  Py_ssize_t total = 0;
  for (PyObject* p : parts) {
    if (!PyUnicode_CheckExact(p) || !PyUnicode_IS_ASCII(p)) return Ref();
    total += PyUnicode_GET_LENGTH(p);
  }
  Ref out = owned(PyUnicode_New(total, 127));
  auto* dest = static_cast<char*>(PyUnicode_DATA(out.get()));
  for (PyObject* p : parts) {
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(p));
    std::memcpy(dest, PyUnicode_DATA(p), n);
    dest += n;
  }
  return out;
}

}  // namespace

Ref join(std::initializer_list<PyObject*> parts) {
  if (Ref out = ascii_concat(parts)) return out;
  Ref empty = owned(PyUnicode_FromStringAndSize(nullptr, 0));
  Ref list = owned(PyList_New(0));
  for (PyObject* p : parts) check(PyList_Append(list.get(), p));
  return owned(PyUnicode_Join(empty.get(), list.get()));
}

Ref plus(std::initializer_list<PyObject*> parts) {
  if (Ref out = ascii_concat(parts)) return out;
  // A part of another type (or a str subclass, whose __radd__ comes first) adds as the host adds.
  Ref sum;
  for (PyObject* p : parts) sum = sum ? owned(PyNumber_Add(sum.get(), p)) : Ref::borrow(p);
  return sum;
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
