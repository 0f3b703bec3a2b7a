#pragma once

#include <cstdint>
#include <vector>

namespace tolvane {

// Where one word or sentence of a reading is heard: its start in milliseconds
// of the decoded audio (0 is the first sample the engine outputs) and its
// place in the text the server spoke, in Unicode code points.
struct SpeechMark {
    int64_t startMs = 0;
    int64_t offset = 0;
    int64_t length = 0;
};

// The word and sentence marks the server put in a reading's MP3 (message 100,
// code 220, sent by pointer), each list in order of start time.
struct SpeechTimings {
    std::vector<SpeechMark> words;
    std::vector<SpeechMark> sentences;

    bool empty() const { return words.empty() && sentences.empty(); }
};

} // namespace tolvane
