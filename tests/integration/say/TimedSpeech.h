#pragma once

// Audio with word timings, as the speech server makes it: an MP3 behind an
// ID3v2.4 tag that holds a SYLT frame of the words and the TXXX frame
// "TOLVANE_TIMINGS" with their exact places. The tag is written here with
// TagLib, independently of the client's reader.
#include "protocol/SpeechTimings.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane::test {

// Marks for `text` (UTF-8): each run of characters between blanks is a word,
// the first starting at `leadMs` and each next one `wordMs` later; a word
// ending in '.' or '。' ends its sentence. Every Han character is a word of its own.
SpeechTimings evenTimings(std::string_view text, int64_t leadMs, int64_t wordMs);

// The tag for `timings` of `text`; `lines` replaces the TXXX frame's text
// when not empty.
std::string timingsTag(std::string_view text, const SpeechTimings& timings,
                       const std::string& lines = {});

// The characters of `text` (UTF-8) that `mark` covers.
std::string markText(std::string_view text, const SpeechMark& mark);

// The TXXX text of `timings`, as the agreed format writes it.
std::string timingsText(const SpeechTimings& timings);

// A tone of `seconds` (see makeToneMp3) behind the tag for `text`; empty
// with `error` on failure.
std::string timedToneMp3(double seconds, std::string_view text, const SpeechTimings& timings,
                         std::string& error);

} // namespace tolvane::test
