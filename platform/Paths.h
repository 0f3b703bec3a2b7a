#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tolvane::platform {

// The folder holding the running executable (empty when /proc is unavailable).
std::filesystem::path executableDir();

// A directory only this user can enter, for files other users must not see or
// plant (the downloaded audio, the instance lock): $XDG_RUNTIME_DIR/tolvane, or
// /tmp/tolvane-UID, created with mode 0700 and refused unless it is a real
// directory owned by this user with no access for others; failing both, a fresh
// mkdtemp directory for this process. Empty with `error` set when none works.
std::filesystem::path privateUserDir(std::string* error = nullptr);

// Creates the folders above `file` that are missing, each with mode 0700
// (settings and reading positions are the user's own); false with the reason.
bool makePrivateParents(const std::filesystem::path& file, std::string* error = nullptr);

// Holds the per-user lock named `name` for its lifetime; a second holder of the
// same name (in this or another process of the same user) does not get it.
class SingleInstanceLock {
  public:
    explicit SingleInstanceLock(std::string_view name);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    bool acquired() const { return fd_ >= 0; }
    // Not acquired because another holder has it (rather than a failure).
    bool heldElsewhere() const { return heldElsewhere_; }
    const std::string& error() const { return error_; }
    // Tries once more to take a lock held elsewhere (its holder may be
    // ending); true when it is held now.
    bool tryAgain();

  private:
    void acquire();

    std::string name_;
    int fd_ = -1;
    bool heldElsewhere_ = false;
    std::string error_;
};

} // namespace tolvane::platform
