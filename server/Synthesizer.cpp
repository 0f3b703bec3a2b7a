#include "server/Synthesizer.h"

#include "server/Log.h"
#include "server/Utf8.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tolvane::server {

namespace {

constexpr const char* kEnglishVoice = "en-us";
// Mandarin voices, most wanted first. espeak-ng 1.51's "cmn" turns each
// character into pinyin with a tone digit and reads that by its English rules
// ("好" becomes "hao three"); "cmn-latn-pinyin" reads the characters right.
constexpr const char* kMandarinVoices[] = {"cmn-latn-pinyin", "cmn"};
// The phrase a Mandarin voice must read in Mandarin phonemes alone.
constexpr const char* kMandarinProbe = "今天的新闻很好。";

// espeak-ng marks every stretch it reads by another language's rules with
// "(language)" in its phonemes: that is how English number words get into
// Chinese.
bool staysInMandarin(const std::string& phonemes) {
    return !phonemes.empty() && phonemes.find('(') == std::string::npos;
}

// Between two script runs the silence after the first is cut to a pause of
// 100 ms at 175 words per minute (a comma's, about), longer at slower rates.
constexpr long kJoinPauseMs = 100;
// Samples this quiet count as silence where a run's speech ends.
constexpr int kQuiet = 16;

std::size_t joinPauseSamples(int sampleRate, int wordsPerMinute) {
    return static_cast<std::size_t>(sampleRate * kJoinPauseMs * 175 /
                                    (1000L * std::max(wordsPerMinute, 1)));
}

// Cuts the silence at the end of `pcm` (counted from `begin`) to `keep` samples.
void trimSilence(std::vector<int16_t>& pcm, std::size_t begin, std::size_t keep) {
    std::size_t end = pcm.size();
    while (end > begin && std::abs(pcm[end - 1]) <= kQuiet) {
        --end;
    }
    pcm.resize(std::min(pcm.size(), end + keep));
}

std::string statusText(espeak_ng_STATUS status) {
    char buffer[512] = {};
    espeak_ng_GetStatusCodeMessage(status, buffer, sizeof buffer);
    return buffer;
}

// The ASCII twin of a full-width form that espeak-ng 1.51 misreads: letters
// (read as their code numbers), digits and signs (skipped without a sound);
// 0 for the rest. Full-width punctuation stays, the voices pause at it.
char asciiTwin(char32_t cp) {
    if (cp < 0xFF01 || cp > 0xFF5E) {
        return 0;
    }
    const char c = static_cast<char>(cp - 0xFEE0);
    return std::strchr("!\"'(),.:;?[]`{}", c) == nullptr ? c : 0;
}

// espeak-ng stops reading at a NUL and takes control characters as text;
// they carry no speech, so they become blanks. Full-width letters, digits and
// signs (as in "ＣＰＵ" or "２０２４") become their ASCII twins. Every
// character stays one character, so espeak-ng's positions hold for the text.
std::string speakable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char32_t cp = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t size = std::max<std::size_t>(decodeUtf8(text, i, cp), 1);
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != '\n') {
            out += ' ';
        } else if (const char twin = size == 3 ? asciiTwin(cp) : 0) {
            out += twin;
        } else {
            out.append(text.substr(i, size));
        }
        i += size;
    }
    return out;
}

// Where the synthesis in progress collects its samples; set and cleared under
// the Synthesizer's mutex, read by the callback espeak-ng calls during it.
struct Output {
    std::vector<int16_t>* pcm = nullptr;
    std::size_t maxSamples = 0;
    const std::atomic<bool>* cancel = nullptr;
    std::vector<SpeechEvent>* events = nullptr; // null when not wanted
    bool tooLong = false;
    bool cancelled = false;
};

Output* gOutput = nullptr;

// Keeps the starts of words and sentences: character positions (1-based, in
// characters of the text spoken, not bytes) and samples since its start.
void keepEvents(const espeak_EVENT* event, std::vector<SpeechEvent>& events) {
    for (; event != nullptr && event->type != espeakEVENT_LIST_TERMINATED; ++event) {
        const bool word = event->type == espeakEVENT_WORD;
        if ((word || event->type == espeakEVENT_SENTENCE) && event->text_position > 0 &&
            event->sample >= 0) {
            events.push_back({word ? SpeechEvent::Kind::Word : SpeechEvent::Kind::Sentence,
                              static_cast<std::size_t>(event->text_position - 1),
                              static_cast<std::size_t>(std::max(event->length, 0)),
                              static_cast<std::size_t>(event->sample)});
        }
    }
}

int receive(short* samples, int count, espeak_EVENT* events) {
    Output* output = gOutput;
    if (output == nullptr) {
        return 1;
    }
    if (output->events != nullptr) {
        keepEvents(events, *output->events);
    }
    if (output->cancel->load()) {
        output->cancelled = true;
        return 1;
    }
    if (samples != nullptr && count > 0) {
        if (output->pcm->size() + static_cast<std::size_t>(count) > output->maxSamples) {
            output->tooLong = true;
            return 1;
        }
        output->pcm->insert(output->pcm->end(), samples, samples + count);
    }
    return 0;
}

// Moves a run's events into the whole text and speech: the run starts at
// character `characters` of the text and sample `begin` of the speech, which
// now ends at `end` (its trimmed silence gone). espeak-ng starts every run
// with a sentence; `later` tells that the run is not the first.
void moveEvents(const std::vector<SpeechEvent>& run, std::size_t characters, std::size_t begin,
                std::size_t end, bool later, std::vector<SpeechEvent>& events) {
    bool first = true;
    for (SpeechEvent event : run) {
        event.offset += characters;
        event.sample = std::min(begin + event.sample, end);
        if (event.kind == SpeechEvent::Kind::Sentence) {
            event.runStart = later && first;
            first = false;
        }
        events.push_back(event);
    }
}

} // namespace

Synthesizer& Synthesizer::instance() {
    static Synthesizer synthesizer;
    return synthesizer;
}

bool Synthesizer::initialize(std::string& error) {
    const std::lock_guard lock(mutex_);
    if (!tried_) {
        tried_ = true;
        ready_ = start(initError_) && chooseMandarin(initError_);
    }
    error = initError_;
    return ready_;
}

bool Synthesizer::start(std::string& error) {
    espeak_ng_InitializePath(nullptr);
    espeak_ng_ERROR_CONTEXT context = nullptr;
    espeak_ng_STATUS status = espeak_ng_Initialize(&context);
    if (status != ENS_OK) {
        espeak_ng_ClearErrorContext(&context);
        return error = "espeak-ng cannot start: " + statusText(status), false;
    }
    status = espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr);
    if (status != ENS_OK) {
        return error = "espeak-ng output: " + statusText(status), false;
    }
    espeak_SetSynthCallback(&receive);
    sampleRate_ = espeak_ng_GetSampleRate();
    // Punctuation mode 2 ("some") announces symbols, not sentence marks.
    static const wchar_t kSomePunctuation[] = L"#$%&*+/<=>@\\^_|~()[]{}";
    status = espeak_ng_SetPunctuationList(kSomePunctuation);
    if (status != ENS_OK) {
        return error = "espeak-ng punctuation list: " + statusText(status), false;
    }
    status = espeak_ng_SetVoiceByName(kEnglishVoice);
    if (status != ENS_OK) {
        return error = std::string("espeak-ng voice '") + kEnglishVoice +
                       "' is missing (install espeak-ng-data): " + statusText(status),
               false;
    }
    return true;
}

bool Synthesizer::chooseMandarin(std::string& error) {
    const char* fallback = nullptr;
    for (const char* name : kMandarinVoices) {
        if (espeak_ng_SetVoiceByName(name) != ENS_OK) {
            continue;
        }
        const std::string phonemes = phonemesLocked(name, kMandarinProbe);
        if (staysInMandarin(phonemes)) {
            mandarin_ = name;
            logLine(std::string("voices: English ") + kEnglishVoice + ", Mandarin " + name + " (" +
                    kMandarinProbe + " " + phonemes + ")");
            return true;
        }
        logLine(std::string("Mandarin voice ") + name + " left out: it reads " + kMandarinProbe +
                " through another language: " + phonemes);
        fallback = fallback != nullptr ? fallback : name;
    }
    if (fallback == nullptr) {
        error = "espeak-ng has no Mandarin voice (cmn-latn-pinyin or cmn; install espeak-ng-data)";
        return false;
    }
    mandarin_ = fallback;
    logLine(std::string("warning: no Mandarin voice reads ") + kMandarinProbe +
            " in Mandarin alone; Chinese is read by " + fallback +
            " and may be wrong (check a voice with espeak-ng -v VOICE -x TEXT)");
    return true;
}

int Synthesizer::sampleRate() const {
    return sampleRate_;
}

bool Synthesizer::readyLocked(std::string& error) const {
    if (!ready_) {
        error = initError_.empty() ? "espeak-ng is not initialised" : initError_;
    }
    return ready_;
}

std::set<std::string> Synthesizer::installedVariants() {
    const std::lock_guard lock(mutex_);
    std::set<std::string> variants;
    espeak_VOICE spec{};
    spec.languages = "variant";
    constexpr std::string_view kPrefix = "!v/";
    for (const espeak_VOICE** voice = espeak_ListVoices(&spec);
         voice != nullptr && *voice != nullptr; ++voice) {
        const std::string_view id = (*voice)->identifier != nullptr ? (*voice)->identifier : "";
        if (id.starts_with(kPrefix)) {
            variants.emplace(id.substr(kPrefix.size()));
        }
    }
    return variants;
}

bool Synthesizer::checkVoice(const std::string& name, std::string& error) {
    const std::lock_guard lock(mutex_);
    if (!readyLocked(error)) {
        return false;
    }
    const espeak_ng_STATUS status = espeak_ng_SetVoiceByName(name.c_str());
    if (status != ENS_OK) {
        error = "espeak-ng voice '" + name + "': " + statusText(status);
        return false;
    }
    return true;
}

std::string Synthesizer::voiceName(Script script, const Voice& voice) const {
    std::string name = script == Script::Han ? mandarin_.load() : kEnglishVoice;
    return voice.variant.empty() ? name : name + "+" + voice.variant;
}

std::string Synthesizer::voiceNames(std::string_view text, const Voice& voice) const {
    std::string names;
    bool named[2] = {false, false};
    for (const ScriptRun& run : splitScripts(text, voice.neutral)) {
        bool& done = named[run.script == Script::Han ? 1 : 0];
        if (!done) {
            names += (names.empty() ? "" : ",") + voiceName(run.script, voice);
            done = true;
        }
    }
    return names.empty() ? voiceName(voice.neutral, voice) : names;
}

bool Synthesizer::speak(std::string_view text, const Voice& voice, std::size_t maxSamples,
                        const std::atomic<bool>& cancel, std::vector<int16_t>& pcm,
                        std::string& error, std::vector<SpeechEvent>* events) {
    const std::lock_guard lock(mutex_);
    if (!readyLocked(error)) {
        return false;
    }
    const std::vector<ScriptRun> runs = splitScripts(text, voice.neutral);
    const std::size_t pause = joinPauseSamples(sampleRate_, voice.wordsPerMinute);
    std::size_t characters = 0; // before the run
    std::vector<SpeechEvent> runEvents;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const std::size_t begin = pcm.size();
        runEvents.clear();
        if (!speakLocked(voiceName(runs[i].script, voice), runs[i].text, voice, maxSamples, cancel,
                         pcm, error, events != nullptr ? &runEvents : nullptr)) {
            return false;
        }
        // Each run ends with espeak-ng's end-of-text pause, so its last sound
        // dies away instead of stopping short; only the last run keeps all of it.
        if (i + 1 < runs.size()) {
            trimSilence(pcm, begin, pause);
        }
        if (events != nullptr) {
            moveEvents(runEvents, characters, begin, pcm.size(), i > 0, *events);
        }
        characters += codePointCount(runs[i].text);
    }
    return true;
}

bool Synthesizer::speakAs(const std::string& name, std::string_view text, const Voice& voice,
                          std::size_t maxSamples, const std::atomic<bool>& cancel,
                          std::vector<int16_t>& pcm, std::string& error) {
    const std::lock_guard lock(mutex_);
    return speakLocked(name, text, voice, maxSamples, cancel, pcm, error, nullptr);
}

std::string Synthesizer::phonemes(const std::string& name, std::string_view text) {
    const std::lock_guard lock(mutex_);
    return ready_ ? phonemesLocked(name, text) : std::string();
}

std::string Synthesizer::phonemesLocked(const std::string& name, std::string_view text) {
    if (espeak_ng_SetVoiceByName(name.c_str()) != ENS_OK) {
        return {};
    }
    const std::string input = speakable(text);
    const void* position = input.c_str();
    std::string out;
    while (position != nullptr) {
        const char* clause = espeak_TextToPhonemes(&position, espeakCHARS_UTF8, 0);
        if (clause == nullptr) {
            break;
        }
        if (*clause != '\0') {
            out += (out.empty() ? "" : " ") + std::string(clause);
        }
    }
    return out;
}

bool Synthesizer::speakLocked(const std::string& name, std::string_view text, const Voice& voice,
                              std::size_t maxSamples, const std::atomic<bool>& cancel,
                              std::vector<int16_t>& pcm, std::string& error,
                              std::vector<SpeechEvent>* events) {
    if (!readyLocked(error)) {
        return false;
    }
    espeak_ng_STATUS status = espeak_ng_SetVoiceByName(name.c_str());
    if (status != ENS_OK) {
        error = "voice '" + name + "': " + statusText(status);
        return false;
    }
    const std::pair<espeak_PARAMETER, int> parameters[] = {
        {espeakRATE, voice.wordsPerMinute},
        {espeakVOLUME, voice.amplitude},
        {espeakPUNCTUATION, voice.punctuation},
    };
    for (const auto& [parameter, value] : parameters) {
        status = espeak_ng_SetParameter(parameter, value, 0);
        // espeak-ng 1.51 stores the punctuation mode and takes it into effect,
        // yet answers EINVAL for it.
        if (parameter == espeakPUNCTUATION && status == EINVAL) {
            status = ENS_OK;
        }
        if (status != ENS_OK) {
            error = "espeak-ng parameter: " + statusText(status);
            return false;
        }
    }
    const std::string input = speakable(text);
    Output output{&pcm, maxSamples, &cancel, events};
    gOutput = &output;
    status = espeak_ng_Synthesize(input.c_str(), input.size() + 1, 0, POS_CHARACTER, 0,
                                  espeakCHARS_UTF8 | espeakENDPAUSE, nullptr, nullptr);
    if (status == ENS_OK) {
        status = espeak_ng_Synchronize();
    }
    gOutput = nullptr;
    if (output.cancelled) {
        error = "cancelled";
        return false;
    }
    if (output.tooLong) {
        error = "speech longer than " + std::to_string(maxSamples / std::max(sampleRate_, 1)) +
                " seconds";
        return false;
    }
    if (status != ENS_OK && status != ENS_SPEECH_STOPPED) {
        error = "espeak-ng: " + statusText(status);
        return false;
    }
    return true;
}

} // namespace tolvane::server
