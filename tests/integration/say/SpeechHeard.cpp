#include "SpeechHeard.h"

#include "tests/integration/play/PlayTestSupport.h"
#include "tests/support/SignalAnalysis.h"

#include <algorithm>
#include <cstdlib>

namespace tolvane::test {

namespace fs = std::filesystem;

namespace {

std::vector<double> part(const std::vector<double>& x, size_t from, size_t n) {
    from = std::min(from, x.size());
    return {x.begin() + long(from), x.begin() + long(std::min(x.size(), from + n))};
}

} // namespace

double soundSeconds(const WavAudio& audio) {
    double total = 0;
    for (const Segment& s : findSegments(audio.channel(0), audio.sampleRate, -40, 5, 300)) {
        total += double(s.length()) / audio.sampleRate;
    }
    return total;
}

double heardSpan(const WavAudio& audio) {
    const auto segments = findSegments(audio.channel(0), audio.sampleRate, -40, 5, 300);
    return segments.empty()
               ? 0
               : double(segments.back().end - segments.front().begin) / audio.sampleRate;
}

bool decodedSpeech(const fs::path& dataDir, uint32_t rate, WavAudio& audio, std::string& error) {
    std::vector<fs::path> mp3s;
    for (const auto& entry : fs::directory_iterator(dataDir)) {
        if (entry.path().extension() == ".mp3") {
            mp3s.push_back(entry.path());
        }
    }
    if (mp3s.size() != 1) {
        error = std::to_string(mp3s.size()) + " MP3 files in " + dataDir.string();
        return false;
    }
    WavAudio decoded;
    if (!toolDecode(mp3s[0], decoded, error)) {
        return false;
    }
    const fs::path in = dataDir / "decoded.wav";
    const fs::path out = dataDir / "resampled.wav";
    if (!writeWav(in, decoded, error)) {
        return false;
    }
    const std::string command =
        "sox -q '" + in.string() + "' -r " + std::to_string(rate) + " '" + out.string() + "'";
    if (std::system(command.c_str()) != 0) {
        error = "sox failed";
        return false;
    }
    return readWav(out, audio, error);
}

bool compareHeard(const WavAudio& heard, const fs::path& dataDir, double seconds,
                  HeardSpeech& result, std::string& error) {
    WavAudio spoken;
    if (!decodedSpeech(dataDir, heard.sampleRate, spoken, error)) {
        return false;
    }
    result.heardSeconds = soundSeconds(heard);
    result.spokenSeconds = soundSeconds(spoken);
    const std::vector<double> h = heard.channel(0);
    const std::vector<double> s = spoken.channel(0);
    const size_t heardOnset = findOnset(h, heard.sampleRate);
    const size_t spokenOnset = findOnset(s, spoken.sampleRate);
    if (heardOnset >= h.size()) {
        result.coefficient = 0;
        return true;
    }
    const size_t n = std::min(s.size() - spokenOnset, size_t(heard.sampleRate * seconds));
    result.coefficient =
        crossCorrelate(part(h, heardOnset, n), part(s, spokenOnset, n), heard.sampleRate / 20)
            .coefficient;
    return true;
}

} // namespace tolvane::test
