// The one table of HalvexMediatorAPI's methods.
//
// Each entry gives the method's name, its parameters after self (name, annotation text, entry
// check, default), the return annotation text, the docstring and the operation that implements
// it. Argument binding, __annotations__, __defaults__, __signature__ and the type stub are all
// made from this table; operation bodies never parse arguments themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "pyapi/call.hpp"

namespace halvex {

// An operation as the table holds it: how many bound arguments it reads (self included) and an
// entry that hands it the call. `op<ops::csq>` makes one from `Ref csq(Args<2>&)`.
struct Op {
  std::size_t arity;
  py::Ref (*fn)(py::Call&);
};

template <class F>
struct op_arity;
template <std::size_t N>
struct op_arity<py::Ref (*)(py::Args<N>&)> {
  static constexpr std::size_t value = N;
};

template <auto F>
inline constexpr Op op{op_arity<decltype(F)>::value, [](py::Call& c) {
                         py::Args<op_arity<decltype(F)>::value> args(c);
                         return F(args);
                       }};

// What the binding does with an argument before the body runs. Conversions (to_int, to_bool)
// run first, in parameter order, then the exact-type tests, in parameter order.
enum class Check : std::uint8_t {
  none,         // passed as given
  str,          // exactly str
  str_or_none,  // exactly str, or None
  bytes,        // exactly bytes
  to_int,       // exact int as is; another number converted with int(); anything else rejected
  to_bool,      // replaced by its truth value (True/False)
};

enum class Default : std::uint8_t {
  required,
  none,              // None
  false_,            // False
  mediator_address,  // "0.0.0.0:50051"
  logging_info,      // logging.INFO, read once when the class is created
};

struct Param {
  const char* name;
  const char* annotation;
  Check check = Check::none;
  Default def = Default::required;
};

inline constexpr std::size_t kMaxParams = 6;  // after self

struct MethodRow {
  const char* name;
  Param params[kMaxParams];
  std::size_t count;  // parameters after self
  const char* returns;
  py::Ref (*fn)(py::Call&);
  const char* doc;
  bool checked;  // some parameter has an entry check

  // The table is a constant expression, so a row whose operation reads a different number of
  // arguments than the row binds stops the build here.
  constexpr MethodRow(const char* name_, std::initializer_list<Param> params_, const char* returns_, Op op_,
                      const char* doc_ = nullptr)
      : name(name_), params{}, count(params_.size()), returns(returns_), fn(op_.fn), doc(doc_), checked(false) {
    if (op_.arity != 1 + params_.size() || params_.size() > kMaxParams) {
      throw "method table: the operation's argument count differs from the row's parameters";
    }
    std::size_t i = 0;
    for (const Param& p : params_) {
      params[i++] = p;
      checked = checked || p.check != Check::none;
    }
  }

  std::span<const Param> parameters() const noexcept { return {params, count}; }
  std::size_t defaults() const noexcept {
    std::size_t n = 0;
    for (const Param& p : parameters()) n += p.def != Default::required ? 1 : 0;
    return n;
  }
};

// All methods in class order.
std::span<const MethodRow> method_table() noexcept;

}  // namespace halvex
