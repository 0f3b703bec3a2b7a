#include "engine/MappedFile.h"

#include "engine/MappingGuard.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvane {

bool MappedFile::open(const std::string& path, std::string& error) {
    close();
    // Non-blocking so that a named pipe cannot hold the open; it is refused below.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        error = std::strerror(errno);
        close();
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "not a regular file";
        close();
        return false;
    }
    size_ = uint64_t(info.st_size);
    return true;
}

bool MappedFile::map(std::string& error) {
    void* view = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
    if (view == MAP_FAILED) {
        error = std::strerror(errno);
        return false;
    }
    if (!MappingGuard::guard(view, size_)) {
        ::munmap(view, size_);
        error = "too many files mapped at once";
        return false;
    }
    data_ = static_cast<const uint8_t*>(view);
    return true;
}

void MappedFile::close() {
    if (data_) {
        MappingGuard::unguard(data_);
        ::munmap(const_cast<uint8_t*>(data_), size_);
        data_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    size_ = 0;
}

} // namespace tolvane
