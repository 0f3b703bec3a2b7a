#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tolvane::server {

// Encodes mono 16-bit PCM to MP3 with LAME. The file starts with LAME's header
// frame: "Info" at a constant bit rate, "Xing" at a variable one (LAME leaves
// it out only when a constant-rate frame is too small to hold it).
class Mp3Encoder {
  public:
    struct Settings {
        int inputRate = 22050;
        int outputRate = 22050;
        int bitrate = 64;    // kbit/s, constant rate
        int vbrQuality = -1; // 0 to 9: variable rate at this quality instead
    };

    // Replaces `mp3` with the encoded file; false with LAME's complaint.
    // `hasHeader` tells whether the header frame was written.
    static bool encode(const std::vector<int16_t>& pcm, const Settings& settings,
                       std::vector<uint8_t>& mp3, std::string& error, bool* hasHeader = nullptr);
};

} // namespace tolvane::server
