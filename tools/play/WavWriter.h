#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tolvane::play {

// Writes 16-bit stereo PCM as a RIFF/WAVE file while it arrives. The header is
// written first with "unknown" sizes (0xFFFFFFFF, read as "to the end") and
// corrected at the end when the output is a regular file; a pipe or a device
// such as /dev/null keeps the streaming header.
class WavWriter {
  public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Opens `path` for writing; "-" is standard output.
    bool open(const std::string& path, std::string& error);
    // Writes the header for `sampleRate` Hz.
    bool begin(uint32_t sampleRate, std::string& error);
    // Appends samples; after a failure every later call fails too and
    // error() tells the first reason.
    bool write(const void* data, size_t bytes);
    // Fixes the header's sizes where the output allows and closes it.
    bool finish(std::string& error);

    const std::string& error() const { return error_; }
    uint64_t dataBytes() const { return dataBytes_; }

  private:
    bool writeHeader(uint32_t riffSize, uint32_t dataSize);
    bool writeAll(const uint8_t* data, size_t bytes);
    bool flush();
    bool fail(const char* what);

    int fd_ = -1;
    bool ownsFd_ = false;
    bool patchable_ = false; // a regular file not in append mode
    off_t headerOffset_ = 0;
    std::string path_;
    std::vector<uint8_t> buffer_;
    uint32_t sampleRate_ = 0;
    uint64_t dataBytes_ = 0;
    std::string error_;
};

} // namespace tolvane::play
