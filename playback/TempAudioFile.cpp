#include "playback/TempAudioFile.h"

#include "platform/Paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tolvane {

namespace {
std::string failure(const char* what, const std::filesystem::path& path) {
    return std::string(what) + " " + path.string() + ": " + std::strerror(errno);
}
} // namespace

TempAudioFile::~TempAudioFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
}

bool TempAudioFile::create(std::string& error) {
    const std::filesystem::path dir = platform::privateUserDir(&error);
    if (dir.empty()) {
        return false;
    }
    std::string name = (dir / "audio-XXXXXX.mp3").string();
    const int fd = ::mkostemps(name.data(), 4, O_CLOEXEC);
    if (fd < 0) {
        error = failure("cannot create", name);
        return false;
    }
    fd_ = fd;
    path_ = name;
    return true;
}

bool TempAudioFile::write(const char* data, size_t size, std::string& error) {
    while (size > 0) {
        const ssize_t written = ::write(fd_, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = failure("cannot write", path_);
            return false;
        }
        data += written;
        size -= size_t(written);
    }
    return true;
}

bool TempAudioFile::close(std::string& error) {
    if (fd_ < 0) {
        return true;
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        error = failure("cannot close", path_);
        return false;
    }
    return true;
}

bool TempAudioFile::readAll(std::string& bytes, std::string& error) const {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = failure("cannot open", path_);
        return false;
    }
    std::string read;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = failure("cannot read", path_);
            ::close(fd);
            return false;
        }
        if (got == 0) {
            break;
        }
        read.append(buffer, size_t(got));
    }
    ::close(fd);
    bytes = std::move(read);
    return true;
}

} // namespace tolvane
