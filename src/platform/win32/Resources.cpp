// Lookup in the generated resource table.
#include "platform/win32/Resources.h"

namespace quillon::platform {
namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

}  // namespace

namespace detail {

std::optional<std::string_view> FindResourceIn(const EmbeddedResource* table,
                                               std::string_view name) {
  if (table == nullptr) return std::nullopt;
  for (const EmbeddedResource* r = table; r->name != nullptr; ++r) {
    if (SameNameIgnoringCase(r->name, name)) {
      return std::string_view(reinterpret_cast<const char*>(r->data), r->size);
    }
  }
  return std::nullopt;
}

}  // namespace detail

std::optional<std::string_view> FindResourceByName(std::string_view name) {
  return detail::FindResourceIn(detail::kEmbeddedResources, name);
}

}  // namespace quillon::platform
