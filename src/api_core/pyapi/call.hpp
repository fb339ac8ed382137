// The context one method call runs in, and the helpers operation bodies are written with.
//
// An operation is `Ref op(Call& c)`: `c[i]` is its i-th bound argument (`c[0]` is self), already
// checked and converted as the method table says. Every helper returns an owning `Ref` and throws
// `PyError` on failure; the `try_` variants return an empty `Ref` instead (the Python error stays
// set), for paths that inspect a failure without the cost of a C++ throw.
//
//   Ref log = c.attr<"log">(c.self());
//   Ref rec = c.call_method<"_read_element">(c.self(), serial, c.global<"ObjectIdEnum">() ...);
//   c.info<"hardware", "serial">(log, c.str<"hardware">(), result, serial);
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "pyapi/globals.hpp"
#include "pyapi/names.hpp"
#include "pyapi/ref.hpp"
#include "pyapi/state.hpp"

namespace halvex {
struct MethodRow;
}

namespace halvex::py {

class Call {
 public:
  Call(ModuleState& st, const MethodRow& row, PyObject* const* args) noexcept
      : st_(&st), row_(&row), args_(args) {}

  PyObject* self() const noexcept { return args_[0]; }
  // Bound argument i in parameter order, self being 0. Borrowed; valid for the whole call.
  PyObject* operator[](std::size_t i) const noexcept { return args_[i]; }
  // All N bound arguments, self first: auto [self, serial, object_id] = c.args<3>();
  template <std::size_t N>
  std::array<PyObject*, N> args() const noexcept {
    std::array<PyObject*, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = args_[i];
    return out;
  }

  const MethodRow& row() const noexcept { return *row_; }
  ModuleState& state() const noexcept { return *st_; }

  // ---- names and texts -------------------------------------------------------------------

  // An interned str for a fixed text (attribute names, log messages). Borrowed from the state.
  template <Lit L>
  PyObject* str() const noexcept {
    return st_->texts[text_slot<L>];
  }

  // A module-level name, looked up now: module namespace, then builtins, else NameError.
  template <Lit L>
  Ref global() const {
    return lookup_global(*st_, str<L>());
  }

  // ---- attributes ------------------------------------------------------------------------

  template <Lit L>
  Ref attr(PyObject* o) const {
    return owned(PyObject_GetAttr(o, str<L>()));
  }
  template <Lit L>
  Ref attr(const Ref& o) const {
    return attr<L>(o.get());
  }
  // The attribute, or an empty Ref when `o` has none (only AttributeError is swallowed).
  template <Lit L>
  Ref optional_attr(PyObject* o) const {
    PyObject* result = nullptr;
    check(PyObject_GetOptionalAttr(o, str<L>(), &result));
    return Ref::steal(result);
  }
  template <Lit L, class V>
  void set_attr(PyObject* o, const V& value) const {
    check(PyObject_SetAttr(o, str<L>(), as_ptr(value)));
  }

  // ---- calls -----------------------------------------------------------------------------
  // The last KW::size arguments are passed as keywords named by KW, the others positionally:
  //   c.call<kw<"mediator_address">>(cls, address)    ->  cls(mediator_address=address)

  template <class KW = kw<>, class F, class... A>
  Ref call(const F& f, const A&... a) const {
    return owned(try_call<KW>(f, a...).release());
  }
  template <class KW = kw<>, class F, class... A>
  Ref try_call(const F& f, const A&... a) const {
    static_assert(sizeof...(A) >= KW::size);
    PyObject* stack[1 + sizeof...(A)] = {nullptr, as_ptr(a)...};
    constexpr std::size_t npos = sizeof...(A) - KW::size;
    return Ref::steal(PyObject_Vectorcall(as_ptr(f), stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          kwnames<KW>()));
  }

  // o.M(args...), through the object (no bound method is made when M is a plain method).
  template <Lit M, class KW = kw<>, class O, class... A>
  Ref call_method(const O& o, const A&... a) const {
    return owned(try_call_method<M, KW>(o, a...).release());
  }
  template <Lit M, class KW = kw<>, class O, class... A>
  Ref try_call_method(const O& o, const A&... a) const {
    static_assert(sizeof...(A) >= KW::size);
    PyObject* stack[] = {as_ptr(o), as_ptr(a)...};
    constexpr std::size_t npos = 1 + sizeof...(A) - KW::size;
    return Ref::steal(PyObject_VectorcallMethod(str<M>(), stack, npos | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                kwnames<KW>()));
  }

  // ---- logging ---------------------------------------------------------------------------
  // logger.<level>(message, field=value, ...), fields in the order given:
  //   c.info<"hardware", "serial">(log, c.str<"hardware">(), result, serial);

  template <Lit... Fields, class L, class M, class... V>
  void debug(const L& logger, const M& message, const V&... values) const {
    log<"debug", Fields...>(logger, message, values...);
  }
  template <Lit... Fields, class L, class M, class... V>
  void info(const L& logger, const M& message, const V&... values) const {
    log<"info", Fields...>(logger, message, values...);
  }
  template <Lit... Fields, class L, class M, class... V>
  void warn(const L& logger, const M& message, const V&... values) const {
    log<"warn", Fields...>(logger, message, values...);
  }
  template <Lit... Fields, class L, class M, class... V>
  void error(const L& logger, const M& message, const V&... values) const {
    log<"error", Fields...>(logger, message, values...);
  }

 private:
  template <class KW>
  PyObject* kwnames() const noexcept {
    if constexpr (KW::size == 0) {
      return nullptr;
    } else {
      return st_->kwnames[KW::slot];
    }
  }

  template <Lit Level, Lit... Fields, class L, class M, class... V>
  void log(const L& logger, const M& message, const V&... values) const {
    static_assert(sizeof...(Fields) == sizeof...(V), "one value per log field");
    call_method<Level, kw<Fields...>>(logger, message, values...);
  }

  ModuleState* st_;
  const MethodRow* row_;
  PyObject* const* args_;
};

}  // namespace halvex::py
