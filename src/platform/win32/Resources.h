// Named resources: files listed in resources/resources.txt are compiled into the program
// and found here by name. Read-only bytes that live as long as the program.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace quillon::platform {

// The bytes of the resource called `name` (compared ignoring ASCII letter case, as
// Windows does for resource names), or nothing when there is no such resource.
std::optional<std::string_view> FindResourceByName(std::string_view name);

namespace detail {
// Layout of the table generated at build time; it ends with a null name.
struct EmbeddedResource {
  const char* name;
  const unsigned char* data;
  std::size_t size;
};
extern const EmbeddedResource kEmbeddedResources[];

std::optional<std::string_view> FindResourceIn(const EmbeddedResource* table,
                                               std::string_view name);
}  // namespace detail

}  // namespace quillon::platform
