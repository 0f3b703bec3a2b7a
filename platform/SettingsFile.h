#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace tolvane::platform {

// A small file of settings a user may also edit by hand: read whole, with a
// bound on its size, and rewritten atomically (a temporary file beside it,
// then a rename), so that a crash or a full disk leaves the old file or the
// new one, never half of either.
class SettingsFile {
  public:
    enum class Status { kOk, kMissing, kFailed };

    struct Contents {
        Status status = Status::kFailed;
        std::string bytes;
        struct stat info {};
        std::string error; // why it could not be read
    };

    // The bytes of the regular file `path`, at most `maxBytes` of them: a
    // larger file is refused (kFailed), a missing one is kMissing.
    static Contents read(const std::filesystem::path& path, size_t maxBytes);

    // Replaces `file` (the file a symbolic link names, when it is one) by
    // what `edit` makes of its bytes (empty for a missing file); a file that
    // cannot be read is not replaced. The new file keeps the old one's mode
    // and, where allowed, its owner; nothing is written when the bytes stay
    // the same. `edit` returns nullopt, with `error` set, to refuse.
    using Edit =
        std::function<std::optional<std::string>(std::string_view old, std::string* error)>;
    static bool rewrite(const std::filesystem::path& file, size_t maxBytes, const Edit& edit,
                        std::string* error = nullptr);
};

} // namespace tolvane::platform
