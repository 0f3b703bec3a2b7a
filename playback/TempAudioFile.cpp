#include "playback/TempAudioFile.h"

#include "platform/Paths.h"
#include "platform/SystemText.h"
#include "platform/UniqueFd.h"

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace tolvane {

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
        error = platform::systemError("cannot create", name);
        return false;
    }
    fd_ = fd;
    path_ = name;
    return true;
}

bool TempAudioFile::write(const char* data, size_t size, std::string& error) {
    if (!platform::writeAll(fd_, {data, size})) {
        error = platform::systemError("cannot write", path_);
        return false;
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
        error = platform::systemError("cannot close", path_);
        return false;
    }
    return true;
}

bool TempAudioFile::readAll(std::string& bytes, std::string& error) const {
    const platform::UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        error = platform::systemError("cannot open", path_);
        return false;
    }
    std::string read;
    if (!platform::readUpTo(fd.get(), read, read.max_size())) {
        error = platform::systemError("cannot read", path_);
        return false;
    }
    bytes = std::move(read);
    return true;
}

} // namespace tolvane
