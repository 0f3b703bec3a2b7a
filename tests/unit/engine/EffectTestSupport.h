#pragma once

// Helpers of the engine's effect tests: MP3 files of signals made at test
// time, and measures that compare decoded samples.
#include "tests/unit/engine/EngineTestSupport.h"

#include <cmath>
#include <span>

namespace tolvane::test {

// An MP3 file in the test folder made from a sox signal (`synth` arguments,
// 44.1 kHz stereo) with lame; made once per test program. Empty on failure.
inline std::filesystem::path signalMp3(const std::string& name, const std::string& synth,
                                       const std::string& lameFlags = "-b 192") {
    const std::filesystem::path mp3 = Mp3Files::get()[name];
    if (std::filesystem::exists(mp3)) {
        return mp3;
    }
    const std::string wav = mp3.string() + ".wav";
    const std::string command = "sox -V1 -n -r 44100 -b 16 -c 2 '" + wav + "' synth " + synth +
                                " && lame --quiet --noreplaygain " + lameFlags + " '" + wav +
                                "' '" + mp3.string() + "'";
    const bool made = std::system(command.c_str()) == 0;
    std::filesystem::remove(wav);
    return made ? mp3 : std::filesystem::path();
}

// The largest absolute difference between two sample sequences of the same
// length; INT32_MAX when the lengths differ.
inline int32_t maxDifference(std::span<const int16_t> a, std::span<const int16_t> b) {
    if (a.size() != b.size()) {
        return INT32_MAX;
    }
    int32_t most = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        most = std::max(most, std::abs(int32_t(a[i]) - int32_t(b[i])));
    }
    return most;
}

// RMS level of a span of samples in dB relative to full scale.
inline double rmsDb(std::span<const int16_t> x) {
    double sum = 0;
    for (const int16_t s : x) {
        sum += double(s) * s;
    }
    return 10 * std::log10(sum / double(std::max<size_t>(x.size(), 1)) / (32768.0 * 32768.0));
}

} // namespace tolvane::test
