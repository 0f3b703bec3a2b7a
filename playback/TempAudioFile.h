#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace tolvane {

// The file one download is written to: a fresh name in the private per-user
// directory (never a predictable path in a shared folder), created only by
// this object and removed with it.
class TempAudioFile {
  public:
    TempAudioFile() = default;
    ~TempAudioFile();
    TempAudioFile(const TempAudioFile&) = delete;
    TempAudioFile& operator=(const TempAudioFile&) = delete;

    // Creates the file (mode 0600); false with the reason.
    bool create(std::string& error);
    // Appends all of `data`; false with the reason.
    bool write(const char* data, size_t size, std::string& error);
    // Closes the file for reading by name; it stays until destruction.
    bool close(std::string& error);
    // Every byte of the closed file; false with the reason.
    bool readAll(std::string& bytes, std::string& error) const;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    int fd_ = -1;
};

} // namespace tolvane
