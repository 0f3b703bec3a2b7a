#include "server/SpeechMaker.h"

#include "server/TimingTag.h"

namespace tolvane::server {

namespace {

const char* punctuationName(int punctuation) {
    switch (punctuation) {
    case 1:
        return "all";
    case 2:
        return "some";
    default:
        return "none";
    }
}

} // namespace

std::optional<std::string> makeSpeech(std::string_view text, const Synthesizer::Voice& voice,
                                      Mp3Encoder::Settings audio, int maxSpeechSeconds,
                                      const std::atomic<bool>& cancel, MadeSpeech& made) {
    Synthesizer& synthesizer = Synthesizer::instance();
    const int rate = synthesizer.sampleRate();
    std::vector<int16_t> pcm;
    std::vector<SpeechEvent> events;
    std::string error;
    const auto maxSamples = static_cast<std::size_t>(maxSpeechSeconds) * rate;
    if (!synthesizer.speak(text, voice, maxSamples, cancel, pcm, error, &events)) {
        return error;
    }
    std::vector<SpeechMark> marks = placeMarks(text, events);
    startAtSound(marks, pcm, static_cast<std::size_t>(rate / 10));
    if (pcm.empty()) {
        // Text with nothing to pronounce still gets a playable file.
        pcm.assign(static_cast<std::size_t>(rate / 4), 0);
    }
    made.durationMs = static_cast<long long>(pcm.size()) * 1000 / rate;
    audio.inputRate = rate;
    int lag = 0;
    if (!Mp3Encoder::encode(pcm, audio, made.mp3, error, nullptr, &lag)) {
        return error;
    }
    pcm = {};
    // The file starts with the tag of word and sentence timings.
    const std::string tag = renderTimingTag(text, marks, SpeechClock{rate, audio.outputRate, lag});
    made.mp3.insert(made.mp3.begin(), tag.begin(), tag.end());
    return std::nullopt;
}

std::string jobParameter(const std::string& voiceNames, const Synthesizer::Voice& voice,
                         int outputRate, long long durationMs) {
    return voiceNames + ":" + std::to_string(voice.wordsPerMinute) + ":" +
           std::to_string(voice.amplitude) + ":" + punctuationName(voice.punctuation) + ":" +
           std::to_string(outputRate) + ":" + std::to_string(durationMs);
}

} // namespace tolvane::server
