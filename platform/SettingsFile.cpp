#include "platform/SettingsFile.h"

#include "platform/ReplaceFile.h"
#include "platform/SystemText.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace tolvane::platform {

namespace fs = std::filesystem;

namespace {

void setError(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

} // namespace

SettingsFile::Contents SettingsFile::read(const fs::path& path, size_t maxBytes) {
    Contents file;
    // Not blocking: a named pipe or device put where the file belongs must
    // not hang the program; it is refused below as not a regular file.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
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
