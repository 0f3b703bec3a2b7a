#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvane {

// A regular file opened for reading and mapped read-only into memory. The
// mapping is guarded (MappingGuard): should the file shrink while it is mapped,
// the pages past its new end read as zeros instead of raising SIGBUS.
class MappedFile {
  public:
    MappedFile() = default;
    ~MappedFile() { close(); }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Opens an existing regular file; false (with the system's reason in
    // `error`) when it cannot be opened or its size read.
    bool open(const std::string& path, std::string& error);
    // Maps the whole file; false with the reason when that fails or the
    // mapping cannot be guarded.
    bool map(std::string& error);
    void close();

    uint64_t size() const { return size_; }
    const uint8_t* data() const { return data_; }
    bool isOpen() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
    uint64_t size_ = 0;
    const uint8_t* data_ = nullptr;
};

} // namespace tolvane
