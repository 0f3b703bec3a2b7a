#include "tools/play/WavWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvane::play {

namespace {

constexpr uint32_t kUnknownSize = 0xFFFFFFFF;
constexpr size_t kHeaderBytes = 44;
constexpr size_t kBufferBytes = 1 << 20;

void putLittleEndian(uint8_t*& at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        *at++ = uint8_t(value >> (8 * i));
    }
}

} // namespace

WavWriter::~WavWriter() {
    if (fd_ >= 0 && ownsFd_) {
        ::close(fd_);
    }
}

bool WavWriter::fail(const char* what) {
    if (error_.empty()) {
        const std::string name = path_ == "-" ? "standard output" : path_;
        error_ = std::string("can't ") + what + " " + name + ": " + std::strerror(errno);
    }
    return false;
}

bool WavWriter::open(const std::string& path, std::string& error) {
    path_ = path;
    if (path == "-") {
        fd_ = STDOUT_FILENO;
        ownsFd_ = false;
    } else {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        ownsFd_ = true;
        if (fd_ < 0) {
            fail("open");
            error = error_;
            return false;
        }
    }
    struct stat info {};
    const int flags = fcntl(fd_, F_GETFL);
    patchable_ =
        fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && flags >= 0 && !(flags & O_APPEND);
    buffer_.reserve(kBufferBytes);
    return true;
}

bool WavWriter::begin(uint32_t sampleRate, std::string& error) {
    sampleRate_ = sampleRate;
    if (patchable_) {
        headerOffset_ = lseek(fd_, 0, SEEK_CUR);
        patchable_ = headerOffset_ >= 0;
    }
    if (!writeHeader(kUnknownSize, kUnknownSize)) {
        error = error_;
        return false;
    }
    return true;
}

bool WavWriter::writeHeader(uint32_t riffSize, uint32_t dataSize) {
    uint8_t header[kHeaderBytes];
    uint8_t* at = header;
    std::memcpy(at, "RIFF", 4);
    at += 4;
    putLittleEndian(at, riffSize, 4);
    std::memcpy(at, "WAVEfmt ", 8);
    at += 8;
    putLittleEndian(at, 16, 4);              // format chunk size
    putLittleEndian(at, 1, 2);               // PCM
    putLittleEndian(at, 2, 2);               // channels
    putLittleEndian(at, sampleRate_, 4);     // sample frames per second
    putLittleEndian(at, sampleRate_ * 4, 4); // bytes per second
    putLittleEndian(at, 4, 2);               // bytes per sample frame
    putLittleEndian(at, 16, 2);              // bits per sample
    std::memcpy(at, "data", 4);
    at += 4;
    putLittleEndian(at, dataSize, 4);
    return writeAll(header, kHeaderBytes);
}

bool WavWriter::writeAll(const uint8_t* data, size_t bytes) {
    while (bytes > 0) {
        const ssize_t done = ::write(fd_, data, bytes);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return fail("write");
        }
        data += done;
        bytes -= size_t(done);
    }
    return true;
}

bool WavWriter::flush() {
    const bool ok = writeAll(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok;
}

bool WavWriter::write(const void* data, size_t bytes) {
    if (!error_.empty() || fd_ < 0) {
        return false;
    }
    const auto* in = static_cast<const uint8_t*>(data);
    if (buffer_.size() + bytes > kBufferBytes && !flush()) {
        return false;
    }
    if (bytes >= kBufferBytes) {
        if (!writeAll(in, bytes)) {
            return false;
        }
    } else {
        buffer_.insert(buffer_.end(), in, in + bytes);
    }
    dataBytes_ += bytes;
    return true;
}

bool WavWriter::finish(std::string& error) {
    if (fd_ >= 0 && error_.empty()) {
        flush();
    }
    if (fd_ >= 0 && error_.empty() && patchable_) {
        // Sizes beyond the format's 32 bits stay "unknown".
        const uint64_t riff = dataBytes_ + kHeaderBytes - 8;
        const uint32_t riffSize = uint32_t(std::min<uint64_t>(riff, kUnknownSize));
        const uint32_t dataSize = uint32_t(std::min<uint64_t>(dataBytes_, kUnknownSize));
        if (lseek(fd_, headerOffset_, SEEK_SET) < 0) {
            fail("seek in");
        } else {
            writeHeader(riffSize, dataSize);
        }
    }
    if (fd_ >= 0 && ownsFd_ && ::close(fd_) != 0) {
        fail("close");
    }
    fd_ = -1;
    error = error_;
    return error_.empty();
}

} // namespace tolvane::play
