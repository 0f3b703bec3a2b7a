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

    // The samples a layer III decoder's synthesis filter bank delays its
    // output by (528 plus one): our engine's decoding of LAME's files lags
    // their input by LAME's encoder delay plus these, at every rate and bit
    // rate the server makes.
    static constexpr int kDecoderDelay = 529;

    // Replaces `mp3` with the encoded file; false with LAME's complaint.
    // `hasHeader` tells whether the header frame was written. `lag` is how
    // many samples (at the output rate) the speech starts later in what a
    // decoder that keeps the encoder's delay outputs, as our engine does:
    // LAME's encoder delay plus kDecoderDelay (the engine outputs nothing for
    // the header frame).
    static bool encode(const std::vector<int16_t>& pcm, const Settings& settings,
                       std::vector<uint8_t>& mp3, std::string& error, bool* hasHeader = nullptr,
                       int* lag = nullptr);
};

} // namespace tolvane::server
