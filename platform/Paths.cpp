#include "platform/Paths.h"

#include "platform/SystemText.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvane::platform {

namespace fs = std::filesystem;

fs::path executableDir() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

namespace {

// Creates `dir` (mode 0700) or accepts it when it already is a private
// directory of this user; anything else (a symlink, another owner, a mode
// that lets others in) is refused.
bool makePrivateDir(const fs::path& dir, std::string& error) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = systemError("cannot create", dir);
        return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        error = systemError("cannot inspect", dir);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        error = dir.string() + " is not a private directory of this user";
        return false;
    }
    return true;
}

// `madeFresh` tells whether the directory is a new mkdtemp one of this process.
fs::path findPrivateDir(std::string& error, bool& madeFresh) {
    madeFresh = false;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        fs::path dir = fs::path(runtime) / "tolvane";
        if (makePrivateDir(dir, error)) {
            return dir;
        }
    }
    fs::path dir = fs::temp_directory_path() / ("tolvane-" + std::to_string(geteuid()));
    if (makePrivateDir(dir, error)) {
        return dir;
    }
    std::string pattern = (fs::temp_directory_path() / "tolvane-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
        error.clear();
        madeFresh = true;
        return pattern;
    }
    error = systemError("cannot create", pattern);
    return {};
}

// The directory found for the process. A mkdtemp directory belongs to this
// process alone, so it goes at exit with whatever the process left in it (the
// instance lock's file, say); only the process that made it removes it, not a
// forked child that exits.
struct FoundDir {
    std::mutex mutex;
    fs::path path;
    std::string error;
    fs::path fresh;
    pid_t maker = 0;

    ~FoundDir() {
        struct stat st {};
        if (!fresh.empty() && getpid() == maker && lstat(fresh.c_str(), &st) == 0 &&
            S_ISDIR(st.st_mode) && st.st_uid == geteuid()) {
            std::error_code ignored;
            fs::remove_all(fresh, ignored);
        }
    }
};

} // namespace

fs::path privateUserDir(std::string* error) {
    static FoundDir found;
    std::lock_guard lock(found.mutex);
    if (found.path.empty() || !fs::is_directory(found.path)) {
        bool madeFresh = false;
        found.path = findPrivateDir(found.error, madeFresh);
        // A fresh directory made before is gone by now (that is why this one
        // was looked for); whatever stands at its name is not ours.
        found.fresh = madeFresh ? found.path : fs::path();
        found.maker = getpid();
    }
    if (error) {
        *error = found.error;
    }
    return found.path;
}

SingleInstanceLock::SingleInstanceLock(std::string_view name) : name_(name) {
    acquire();
}

bool SingleInstanceLock::tryAgain() {
    if (fd_ < 0 && heldElsewhere_) {
        heldElsewhere_ = false;
        error_.clear();
        acquire();
    }
    return acquired();
}

void SingleInstanceLock::acquire() {
    const fs::path dir = privateUserDir(&error_);
    if (dir.empty()) {
        return;
    }
    const fs::path file = dir / (name_ + ".lock");
    const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error_ = systemError("cannot open", file);
        return;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        heldElsewhere_ = errno == EWOULDBLOCK;
        error_ = heldElsewhere_ ? "another instance holds " + file.string()
                                : systemError("cannot lock", file);
        close(fd);
        return;
    }
    fd_ = fd;
}

SingleInstanceLock::~SingleInstanceLock() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool makePrivateParents(const fs::path& file, std::string* error) {
    fs::path dir;
    for (const fs::path& part : file.parent_path()) {
        dir /= part;
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            if (error != nullptr) {
                *error = "cannot create " + dir.string() + ": " + std::strerror(errno);
            }
            return false;
        }
    }
    return true;
}

} // namespace tolvane::platform
