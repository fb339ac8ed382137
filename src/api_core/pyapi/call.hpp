// The context one method call runs in, and the helpers operation bodies are written with.
//
// An operation is `Ref op(Args<N>& c)` for a method of N bound arguments, self included:
// `auto [self, serial] = c.args();` gives them, already checked and converted as the method table
// says (the table refuses at compile time an operation whose N differs from the row's parameters).
// Every helper returns an owning `Ref` and throws `PyError` on failure. An `except` clause is
// written with `call_method_except`: the handler runs with the failure being handled and returns a
// value or throws, so no empty `Ref` ever leaves this layer.
//
// Bodies evaluate as Python does: one statement per step, the callable before its arguments, the
// arguments left to right. `call_method<"m">(o, args...)` looks `m` up when it calls, so its
// arguments must be values already at hand; when evaluating an argument can run code or fail,
// the callable is looked up first with `method<"m">(o)` and called afterwards with `call`:
//
//   Callee read = c.method<"_read_element">(self);        // self._read_element(serial, ObjectIdEnum.time)
//   Ref id = c.attr<"time">(c.global<"ObjectIdEnum">());
//   Ref rec = c.call(read, serial, id);
//   c.info<"hardware", "serial">(log, c.str<"hardware">(), result, serial);
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "pyapi/exceptions.hpp"
#include "pyapi/globals.hpp"
#include "pyapi/methods.hpp"
#include "pyapi/names.hpp"
#include "pyapi/ref.hpp"
#include "pyapi/state.hpp"

namespace halvex::py {

class Call {
 public:
  // `args`: the bound arguments, self first, `nargs` of them.
  Call(ModuleState& st, PyObject* const* args, std::size_t nargs) noexcept : st_(&st), args_(args), nargs_(nargs) {}

  PyObject* self() const noexcept { return args_[0]; }
  std::size_t size() const noexcept { return nargs_; }
  ModuleState& state() const noexcept { return *st_; }

  // ---- names and texts -------------------------------------------------------------------

  // An interned str for a fixed text (attribute names, log messages). Borrowed from the state.
  template <Lit L>
  PyObject* str() const noexcept {
    return st_->texts[text_slot<L>];
  }

  // A module-level name, looked up now: module namespace, then the module's builtins, else
  // NameError.
  template <Lit L>
  Ref global() const {
    return lookup_global(*st_, text_slot<L>, str<L>());
  }

  // ---- attributes ------------------------------------------------------------------------

  template <Lit L>
  Ref attr(PyObject* o) const {
    if (PyType_Check(o)) return class_attr(*st_, text_slot<L>, o, str<L>());
    return owned(PyObject_GetAttr(o, str<L>()));
  }

  // G.A (a module-level name and an attribute of it) when the caches hold it: evaluating the
  // expression now would run no code and could not fail. Otherwise an empty Ref, and nothing
  // was looked up.
  template <Lit G, Lit A>
  Ref cached_member() const noexcept {
    return Ref::borrow(py::cached_member(*st_, text_slot<G>, text_slot<A>));
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

  // o.M as a callable, looked up before the arguments of its call are evaluated; a plain method
  // stays unbound beside its object (methods.hpp).
  template <Lit M, class O>
  Callee method(const O& o) const {
    return lookup_method(*st_, text_slot<M>, as_ptr(o), str<M>());
  }

  // ---- calls -----------------------------------------------------------------------------
  // The last KW::size arguments are passed as keywords named by KW, the others positionally:
  //   c.call<kw<"mediator_address">>(cls, address)    ->  cls(mediator_address=address)

  template <class KW = kw<>, class F, class... A>
  Ref call(const F& f, const A&... a) const {
    return owned(try_call<KW>(f, a...).release());
  }

  // callee(args...) for a callable looked up with `method`.
  template <class KW = kw<>, class... A>
  Ref call(const Callee& f, const A&... a) const {
    static_assert(sizeof...(A) >= KW::size);
    // stack[0] is scratch the callee may borrow (PY_VECTORCALL_ARGUMENTS_OFFSET), stack[1] the
    // object of an unbound method.
    PyObject* stack[] = {nullptr, f.self.get(), as_ptr(a)...};
    constexpr std::size_t npos = sizeof...(A) - KW::size;
    PyObject* const* args = f.self ? stack + 1 : stack + 2;
    const std::size_t n = f.self ? npos + 1 : npos;
    return owned(PyObject_Vectorcall(f.fn.get(), args, n | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames<KW>()));
  }

  // o.M(args...), through the object, with arguments already evaluated (no bound method is made
  // when M is a plain method).
  template <Lit M, class KW = kw<>, class O, class... A>
  Ref call_method(const O& o, const A&... a) const {
    return owned(try_call_method<M, KW>(o, a...).release());
  }

  // try: return o.M(args...)
  // except: return handler(h)    -- h is the Handling of the failure; the handler returns a value,
  //                                 or throws (h.reraise(), raise_object, any failing helper).
  template <Lit M, class KW = kw<>, class H, class O, class... A>
  Ref call_method_except(H&& handler, const O& o, const A&... a) const {
    Ref result = try_call_method<M, KW>(o, a...);
    if (result) return result;
    Handling h;
    return handler(h);
  }

  // try: return o.A.M(args...)   -- the attribute read and the call are one guarded statement.
  // except: return handler(h)
  template <Lit A, Lit M, class KW = kw<>, class H, class O, class... V>
  Ref attr_call_method_except(H&& handler, const O& o, const V&... a) const {
    Ref target = Ref::steal(PyObject_GetAttr(as_ptr(o), str<A>()));
    Ref result = target ? try_call_method<M, KW>(target, a...) : Ref();
    if (result) return result;
    Handling h;
    return handler(h);
  }

  // try: return body()            -- a guarded statement of several steps (lookups, arguments)
  // except: return handler(h)
  template <class B, class H>
  Ref try_except(B&& body, H&& handler) const {
    try {
      return body();
    } catch (const PyError&) {
    }
    Handling h;
    return handler(h);
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

 protected:
  PyObject* arg(std::size_t i) const noexcept { return args_[i]; }

 private:
  // The non-throwing forms: an empty Ref with the Python error set.
  template <class KW = kw<>, class F, class... A>
  Ref try_call(const F& f, const A&... a) const {
    static_assert(sizeof...(A) >= KW::size);
    // stack[0] is scratch the callee may borrow (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* stack[1 + sizeof...(A)] = {nullptr, as_ptr(a)...};
    constexpr std::size_t npos = sizeof...(A) - KW::size;
    return Ref::steal(PyObject_Vectorcall(as_ptr(f), stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames<KW>()));
  }

  template <Lit M, class KW = kw<>, class O, class... A>
  Ref try_call_method(const O& o, const A&... a) const {
    static_assert(sizeof...(A) >= KW::size);
    // stack[0] is scratch, stack[1] the receiver: either may be borrowed by the callee.
    PyObject* stack[] = {nullptr, as_ptr(o), as_ptr(a)...};
    constexpr std::size_t npos = 1 + sizeof...(A) - KW::size;
    return Ref::steal(
        PyObject_VectorcallMethod(str<M>(), stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames<KW>()));
  }

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
  PyObject* const* args_;
  std::size_t nargs_;
};

// The call of a method with N bound arguments, self included. The method table pairs each row
// with an operation taking Args<1 + parameters>, and refuses any other at compile time.
template <std::size_t N>
class Args : public Call {
 public:
  explicit Args(const Call& c) noexcept : Call(c) {}

  // All N bound arguments, self first: auto [self, serial, object_id] = c.args();
  std::array<PyObject*, N> args() const noexcept {
    std::array<PyObject*, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = arg(i);
    return out;
  }
  // Bound argument I, self being 0. Borrowed; valid for the whole call.
  template <std::size_t I>
  PyObject* get() const noexcept {
    static_assert(I < N, "argument index past the method's parameters");
    return arg(I);
  }
};

}  // namespace halvex::py
