#pragma once

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace tolvane::platform {

// Owns a file descriptor and closes it at the end of its scope; -1 owns none.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { close(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor now; close(2)'s result, or 0 when none was held.
    int close() { return fd_ >= 0 ? ::close(std::exchange(fd_, -1)) : 0; }

  private:
    int fd_ = -1;
};

// Writes all of `bytes` to `fd`, going on after interrupted and short writes;
// false (errno set) when a write fails.
inline bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Reads `fd` from where it stands to its end into `bytes`, but no more than
// `max` bytes (ask for one more than a limit to tell a longer file), going on
// after interrupted and short reads; false (errno set) when a read fails.
inline bool readUpTo(int fd, std::string& bytes, std::size_t max) {
    bytes.clear();
    char buffer[65536];
    while (bytes.size() < max) {
        const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, max - bytes.size()));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

} // namespace tolvane::platform
