#pragma once

#include <cerrno>
#include <filesystem>
#include <string>
#include <string_view>

namespace tolvane::platform {

// Small texts made the same way wherever they are needed.

// `text` with ASCII letters in lower case; other bytes (UTF-8 included) kept.
std::string asciiLowered(std::string_view text);

// "<what> <path>: <the system's text for error>", e.g. "cannot create
// /tmp/x: Permission denied".
std::string systemError(std::string_view what, const std::filesystem::path& path,
                        int error = errno);

} // namespace tolvane::platform
