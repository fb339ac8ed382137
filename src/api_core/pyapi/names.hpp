// Interned strings and keyword-name tuples, named in the source and made once per module.
//
// `str<"grpc_client">` in any source file registers the text at library load (static
// initialisation) and gets a slot number; the module's exec step interns every registered text
// into its state, so a lookup at call time is an array index. The same goes for keyword-name
// tuples (`kw<"serial">`), which vectorcall needs prebuilt. Only strings are cached this way,
// never imported objects.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <vector>

namespace halvex::py {

// A string literal usable as a template argument: str<"serial">.
template <std::size_t N>
struct Lit {
  char text[N];
  constexpr Lit(const char (&s)[N]) { std::copy_n(s, N, text); }
};

namespace registry {

// Texts in slot order; deduplicated, so equal literals share one slot.
const std::vector<const char*>& texts();
std::size_t add_text(const char* text);

// Keyword-name tuples as lists of text slots.
const std::vector<std::vector<std::size_t>>& kwnames();
std::size_t add_kwnames(std::initializer_list<std::size_t> slots);

}  // namespace registry

template <Lit L>
inline const std::size_t text_slot = registry::add_text(L.text);

// A keyword-name tuple: pass as the KW template argument of the call helpers.
template <Lit... Names>
struct kw {
  static constexpr std::size_t size = sizeof...(Names);
  static inline const std::size_t slot = registry::add_kwnames({text_slot<Names>...});
};

}  // namespace halvex::py
