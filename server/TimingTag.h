#pragma once

#include "server/SpeechMarks.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::server {

// Where a sample of the speech is heard in the decoded MP3.
struct SpeechClock {
    int speechRate = 22050; // samples per second of the speech
    int outputRate = 22050; // of the MP3
    int lag = 0;            // output samples the decoded speech starts late

    // Milliseconds of the decoded audio, rounded.
    long long ms(std::size_t sample) const;
};

// The ID3v2.4 tag that goes before every MP3 the server makes, with the
// timings of `marks` in `text` (UTF-8, the text spoken):
// - SYLT (UTF-8, language "zho" when the text holds a Han character, else
//   "eng"; absolute milliseconds; lyrics; descriptor "words"): each word's
//   characters and start;
// - TXXX "TOLVANE_TIMINGS": "tolvane-timings 1", then a line
//   "w START OFFSET LENGTH" per word and "s START OFFSET LENGTH" per sentence,
//   START in ms of the decoded audio, OFFSET and LENGTH in characters.
std::string renderTimingTag(std::string_view text, const std::vector<SpeechMark>& marks,
                            const SpeechClock& clock);

} // namespace tolvane::server
