#pragma once

#include "server/Mp3Encoder.h"
#include "server/Synthesizer.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::server {

// One job's speech: the MP3 a query's http_file serves, its timing tag at the
// head, and how long it sounds.
struct MadeSpeech {
    std::vector<uint8_t> mp3;
    long long durationMs = 0;
};

// Synthesises `text`, encodes it with `audio` (inputRate taken from the
// synthesizer) and puts the tag of word and sentence timings in front; the
// failure text when it fails (speech past `maxSpeechSeconds`, `cancel` set,
// the encoder refusing). Runs on any thread; synthesis itself runs one at a
// time (see Synthesizer).
std::optional<std::string> makeSpeech(std::string_view text, const Synthesizer::Voice& voice,
                                      Mp3Encoder::Settings audio, int maxSpeechSeconds,
                                      const std::atomic<bool>& cancel, MadeSpeech& made);

// A query's parameter: voices, words per minute, amplitude, punctuation,
// sample rate and duration, joined by ':'.
std::string jobParameter(const std::string& voiceNames, const Synthesizer::Voice& voice,
                         int outputRate, long long durationMs);

} // namespace tolvane::server
