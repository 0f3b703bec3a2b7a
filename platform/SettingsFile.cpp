#include "platform/SettingsFile.h"

#include "platform/SystemText.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <random>
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

// Replaces `target` by a file holding `bytes`, keeping the mode and owner of
// the file it replaces (`previous`, null for a new file).
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

} // namespace

SettingsFile::Contents SettingsFile::read(const fs::path& path, size_t maxBytes) {
    Contents file;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        file.status = errno == ENOENT ? Status::kMissing : Status::kFailed;
        file.error = systemError("cannot open", path, errno);
        return file;
    }
    if (fstat(fd.get(), &file.info) != 0) {
        file.error = systemError("cannot inspect", path, errno);
        return file;
    }
    if (!S_ISREG(file.info.st_mode)) {
        file.error = path.string() + " is not a regular file";
        return file;
    }
    if (static_cast<size_t>(file.info.st_size) > maxBytes) {
        file.error = path.string() + " is too large for a settings file";
        return file;
    }
    // One byte past the limit tells a file that grew since fstat.
    if (!readUpTo(fd.get(), file.bytes, maxBytes + 1)) {
        file.error = systemError("cannot read", path, errno);
        return file;
    }
    if (file.bytes.size() > maxBytes) {
        file.error = path.string() + " is too large for a settings file";
        return file;
    }
    file.status = Status::kOk;
    return file;
}

bool SettingsFile::rewrite(const fs::path& file, size_t maxBytes, const Edit& edit,
                           std::string* error) {
    std::error_code ec;
    fs::path target = file;
    if (fs::is_symlink(file, ec)) {
        target = fs::weakly_canonical(file, ec);
        if (ec) {
            setError(error, "cannot follow " + file.string() + ": " + ec.message());
            return false;
        }
    }
    Contents contents = read(target, maxBytes);
    if (contents.status == Status::kFailed) {
        setError(error, std::move(contents.error));
        return false;
    }
    const std::optional<std::string> updated = edit(contents.bytes, error);
    if (!updated) {
        return false;
    }
    const bool existed = contents.status == Status::kOk;
    if (existed && *updated == contents.bytes) {
        return true;
    }
    return replaceFile(target, *updated, existed ? &contents.info : nullptr, error);
}

} // namespace tolvane::platform
