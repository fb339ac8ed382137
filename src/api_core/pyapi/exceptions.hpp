// except-clauses written in C++.
//
// `Handling h;` takes the raised exception off the error indicator and makes it the exception
// being handled (what `sys.exception()` shows), exactly as the interpreter does on entering an
// `except` block: anything raised while `h` lives gets it as `__context__`. Leaving the scope
// restores the previously handled exception and leaves any newly raised error in place.
#pragma once

#include "pyapi/ref.hpp"

namespace halvex::py {

class Handling {
 public:
  Handling() noexcept;
  ~Handling();
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

  PyObject* exception() const noexcept { return exc_.get(); }

  // `except cls:` — TypeError when `cls` is neither an exception class nor a tuple of them.
  bool matches(PyObject* cls) const;
  bool matches(const Ref& cls) const { return matches(cls.get()); }

  // Bare `raise`: puts the exception back unchanged and throws PyError.
  [[noreturn]] void reraise();

 private:
  Ref exc_;
  Ref previous_;
};

// `raise obj`: obj must be an exception instance (or class, which is called with no arguments).
// Throws PyError with that exception set.
[[noreturn]] void raise_object(PyObject* obj);

}  // namespace halvex::py
