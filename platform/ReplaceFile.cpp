#include "platform/ReplaceFile.h"

#include "platform/SystemText.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvane::platform {

namespace fs = std::filesystem;

namespace {

void setError(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

// A new file beside `target` that is removed again unless it was renamed.
class TempFile {
  public:
    explicit TempFile(const fs::path& target) {
        std::random_device random;
        const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = dir / ("." + target.filename().string() + "." + std::to_string(random()));
            fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ >= 0 || errno != EEXIST) {
                break;
            }
        }
        error_ = fd_ < 0 ? errno : 0;
        created_ = fd_ >= 0;
    }
    ~TempFile() {
        closeFile();
        if (created_) {
            ::unlink(path_.c_str());
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const { return fd_; }
    int openError() const { return error_; }
    const fs::path& path() const { return path_; }
    int closeFile() {
        const int result = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = -1;
        return result;
    }
    void markRenamed() { created_ = false; }

  private:
    int fd_ = -1;
    int error_ = 0;
    bool created_ = false;
    fs::path path_;
};

} // namespace

bool replaceFile(const fs::path& target, std::string_view bytes, const struct stat* previous,
                 std::string* error) {
    TempFile temp(target);
    if (temp.fd() < 0) {
        setError(error, systemError("cannot create a file beside", target, temp.openError()));
        return false;
    }
    if (previous != nullptr) {
        if (fchmod(temp.fd(), previous->st_mode & 07777) != 0) {
            setError(error, systemError("cannot set the mode of", temp.path(), errno));
            return false;
        }
        if (previous->st_uid != geteuid() || previous->st_gid != getegid()) {
            // Only a privileged writer can keep another owner; others keep theirs.
            [[maybe_unused]] const int ignored =
                fchown(temp.fd(), previous->st_uid, previous->st_gid);
        }
    }
    if (!writeAll(temp.fd(), bytes) || fsync(temp.fd()) != 0) {
        setError(error, systemError("cannot write", temp.path(), errno));
        return false;
    }
    if (temp.closeFile() != 0) {
        setError(error, systemError("cannot write", temp.path(), errno));
        return false;
    }
    if (::rename(temp.path().c_str(), target.c_str()) != 0) {
        setError(error, systemError("cannot replace", target, errno));
        return false;
    }
    temp.markRenamed();
    return true;
}

} // namespace tolvane::platform
