#pragma once

#include <filesystem>
#include <string>
#include <string_view>

struct stat;

namespace tolvane::platform {

// Replaces `target` at once by a file holding `bytes`: written beside it,
// flushed to disk and renamed over it, so a reader sees the old file or the
// new one, never a part. Keeps the mode and owner of the file it replaces
// (`previous`, null for a new file). False with the reason in `error`.
bool replaceFile(const std::filesystem::path& target, std::string_view bytes,
                 const struct stat* previous, std::string* error);

} // namespace tolvane::platform
