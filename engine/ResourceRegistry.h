#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// The process-wide table of program resources that OpenMp3Resource plays:
// embedded data registered under a module, a name and a type. Names and types
// compare without regard to ASCII case, as resource names do. A stream opened
// on a resource keeps its bytes alive even if the entry is removed meanwhile.
class ResourceRegistry {
  public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

    // Registers (or replaces) a copy of `size` bytes. `module` tells apart the
    // resources of several modules; null is the program itself.
    static bool add(const void* module, std::string_view name, std::string_view type,
                    const void* data, size_t size);
    // Removes an entry; false when there was none.
    static bool remove(const void* module, std::string_view name, std::string_view type);
    // The bytes of an entry, or null when none is registered.
    static Bytes find(const void* module, std::string_view name, std::string_view type);
};

} // namespace tolvane
