#include "documents/FileBytes.h"

#include "platform/SystemText.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace tolvane {

bool readFileHead(const std::filesystem::path& path, size_t maxBytes, std::string& bytes,
                  bool& truncated, std::string& error) {
    // Not blocking on a named pipe; only a regular file is read.
    const platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) {
        error = platform::systemError("cannot open", path);
        return false;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = platform::systemError("cannot read", path, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
        return false;
    }
    if (!platform::readUpTo(fd.get(), bytes, maxBytes + 1)) {
        error = platform::systemError("cannot read", path);
        return false;
    }
    truncated = bytes.size() > maxBytes;
    bytes.resize(std::min(bytes.size(), maxBytes));
    return true;
}

} // namespace tolvane
