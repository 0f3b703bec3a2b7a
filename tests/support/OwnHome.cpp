#include "tests/support/OwnHome.h"

#include <cstdlib>
#include <sys/stat.h>
#include <system_error>

namespace tolvane::test {

namespace {

void pointAt(const char* variable, const std::filesystem::path& folder) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    ::setenv(variable, folder.c_str(), 1);
}

} // namespace

OwnHome::OwnHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-home-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        return;
    }
    path_ = pattern;
    if (::getenv("PULSE_SERVER") == nullptr && ::getenv("PULSE_RUNTIME_PATH") == nullptr) {
        if (const char* runtime = ::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
            ::setenv("PULSE_RUNTIME_PATH", (std::filesystem::path(runtime) / "pulse").c_str(), 1);
        }
    }
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    pointAt("HOME", path_);
    pointAt("XDG_CONFIG_HOME", path_ / ".config");
    pointAt("XDG_DATA_HOME", path_ / ".local/share");
    pointAt("XDG_CACHE_HOME", path_ / ".cache");
    pointAt("XDG_STATE_HOME", path_ / ".local/state");
    // The runtime folder must be private to its user, as a session's is.
    pointAt("XDG_RUNTIME_DIR", path_ / "run");
    ::chmod((path_ / "run").c_str(), 0700);
}

OwnHome::~OwnHome() {
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

} // namespace tolvane::test
