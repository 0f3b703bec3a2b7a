#pragma once

// What a reading sounded like: the recording of the null sink compared with
// the MP3 the reference server made, as tolvane-play decodes it.
#include "tests/support/WavFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tolvane::test {

// Seconds of sound (above -40 dB) in the first channel.
double soundSeconds(const WavAudio& audio);

// The one MP3 in the server's data folder, decoded by tolvane-play and brought
// to `rate` with sox, as the sound server resamples what the engine plays.
bool decodedSpeech(const std::filesystem::path& dataDir, uint32_t rate, WavAudio& audio,
                   std::string& error);

// Seconds from the first sound to the end of the last in the first channel.
double heardSpan(const WavAudio& audio);

// How the recording matches the speech over its first `seconds` from the
// onsets: the correlation coefficient (0 when nothing was heard) and the
// seconds of sound in each.
struct HeardSpeech {
    double coefficient = 0;
    double heardSeconds = 0;
    double spokenSeconds = 0;
};
bool compareHeard(const WavAudio& heard, const std::filesystem::path& dataDir, double seconds,
                  HeardSpeech& result, std::string& error);

// The recording holds the speech the server made (the one MP3 in `dataDir`),
// sample for sample over its first `seconds`, and all of it.
inline void expectHeardTheSpeech(const WavAudio& heard, const std::filesystem::path& dataDir,
                                 double seconds = 2.0) {
    HeardSpeech match;
    std::string error;
    ASSERT_TRUE(compareHeard(heard, dataDir, seconds, match, error)) << error;
    ASSERT_GT(match.heardSeconds, 0) << "nothing was heard";
    EXPECT_GT(match.coefficient, 0.99);
    EXPECT_NEAR(match.heardSeconds, match.spokenSeconds, 0.25);
}

} // namespace tolvane::test
