#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tolvane::test {

// 16-bit PCM audio, channels interleaved (left first), as the engine plays it.
struct WavAudio {
    uint32_t sampleRate = 44100;
    uint16_t channels = 2;
    std::vector<int16_t> samples;

    size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
    double seconds() const { return sampleRate == 0 ? 0.0 : double(frames()) / sampleRate; }
    // One channel as doubles scaled to [-1, 1).
    std::vector<double> channel(uint16_t index) const;
};

// Reads a RIFF/WAVE file of 16-bit PCM (plain or extensible format). A data
// chunk whose size field is wrong (a recorder stopped before fixing the header)
// is taken to run to the end of the file.
bool readWav(const std::filesystem::path& path, WavAudio& audio, std::string& error);

// Writes `audio` as a plain 16-bit PCM RIFF/WAVE file.
bool writeWav(const std::filesystem::path& path, const WavAudio& audio, std::string& error);

} // namespace tolvane::test
