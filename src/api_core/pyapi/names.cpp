#include "pyapi/names.hpp"

#include <cstring>

namespace halvex::py::registry {

namespace {

// Function-local statics: registration runs during static initialisation of every source file,
// in no fixed order, so the containers must exist on first use.
std::vector<const char*>& text_list() {
  static std::vector<const char*> list;
  return list;
}

std::vector<std::vector<std::size_t>>& kw_list() {
  static std::vector<std::vector<std::size_t>> list;
  return list;
}

}  // namespace

const std::vector<const char*>& texts() { return text_list(); }

std::size_t add_text(const char* text) {
  auto& list = text_list();
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (std::strcmp(list[i], text) == 0) return i;
  }
  list.push_back(text);
  return list.size() - 1;
}

const std::vector<std::vector<std::size_t>>& kwnames() { return kw_list(); }

std::size_t add_kwnames(std::initializer_list<std::size_t> slots) {
  auto& list = kw_list();
  std::vector<std::size_t> entry(slots);
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] == entry) return i;
  }
  list.push_back(std::move(entry));
  return list.size() - 1;
}

}  // namespace halvex::py::registry
