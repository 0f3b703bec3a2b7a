#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace tolvane {

// Up to `maxBytes` of a regular file (a named pipe or a device is refused
// without blocking on it); `truncated` when the file holds more. False with
// the system's reason in `error`.
bool readFileHead(const std::filesystem::path& path, size_t maxBytes, std::string& bytes,
                  bool& truncated, std::string& error);

} // namespace tolvane
