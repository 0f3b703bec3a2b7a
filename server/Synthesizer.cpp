#include "server/Synthesizer.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cerrno>

namespace tolvane::server {

namespace {

std::string statusText(espeak_ng_STATUS status) {
    char buffer[512] = {};
    espeak_ng_GetStatusCodeMessage(status, buffer, sizeof buffer);
    return buffer;
}

// espeak-ng stops reading at a NUL and takes control characters as text;
// they carry no speech, so they become blanks.
std::string speakable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n') {
            c = ' ';
        }
    }
    return out;
}

// Where the synthesis in progress collects its samples; set and cleared under
// the Synthesizer's mutex, read by the callback espeak-ng calls during it.
struct Output {
    std::vector<int16_t>* pcm = nullptr;
    std::size_t maxSamples = 0;
    const std::atomic<bool>* cancel = nullptr;
    bool tooLong = false;
    bool cancelled = false;
};

Output* gOutput = nullptr;

int receive(short* samples, int count, espeak_EVENT* /*events*/) {
    Output* output = gOutput;
    if (output == nullptr) {
        return 1;
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

} // namespace

Synthesizer& Synthesizer::instance() {
    static Synthesizer synthesizer;
    return synthesizer;
}

bool Synthesizer::initialize(std::string& error) {
    const std::lock_guard lock(mutex_);
    if (!tried_) {
        tried_ = true;
        espeak_ng_InitializePath(nullptr);
        espeak_ng_ERROR_CONTEXT context = nullptr;
        espeak_ng_STATUS status = espeak_ng_Initialize(&context);
        if (status != ENS_OK) {
            initError_ = "espeak-ng cannot start: " + statusText(status);
            espeak_ng_ClearErrorContext(&context);
            return error = initError_, false;
        }
        status = espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr);
        if (status != ENS_OK) {
            initError_ = "espeak-ng output: " + statusText(status);
            return error = initError_, false;
        }
        espeak_SetSynthCallback(&receive);
        sampleRate_ = espeak_ng_GetSampleRate();
        // Punctuation mode 2 ("some") announces symbols, not sentence marks.
        static const wchar_t kSomePunctuation[] = L"#$%&*+/<=>@\\^_|~()[]{}";
        status = espeak_ng_SetPunctuationList(kSomePunctuation);
        if (status != ENS_OK) {
            initError_ = "espeak-ng punctuation list: " + statusText(status);
            return error = initError_, false;
        }
        for (const char* voice : {"en-us", "cmn"}) {
            status = espeak_ng_SetVoiceByName(voice);
            if (status != ENS_OK) {
                initError_ = std::string("espeak-ng voice '") + voice +
                             "' is missing (install espeak-ng-data): " + statusText(status);
                return error = initError_, false;
            }
        }
        ready_ = true;
    }
    error = initError_;
    return ready_;
}

int Synthesizer::sampleRate() const {
    return sampleRate_;
}

bool Synthesizer::checkVoice(const std::string& name, std::string& error) {
    const std::lock_guard lock(mutex_);
    if (!ready_) {
        error = initError_;
        return false;
    }
    const espeak_ng_STATUS status = espeak_ng_SetVoiceByName(name.c_str());
    if (status != ENS_OK) {
        error = "espeak-ng voice '" + name + "': " + statusText(status);
        return false;
    }
    return true;
}

bool Synthesizer::speak(std::string_view text, const Voice& voice, std::size_t maxSamples,
                        const std::atomic<bool>& cancel, std::vector<int16_t>& pcm,
                        std::string& error) {
    const std::lock_guard lock(mutex_);
    if (!ready_) {
        error = initError_.empty() ? "espeak-ng is not initialised" : initError_;
        return false;
    }
    espeak_ng_STATUS status = espeak_ng_SetVoiceByName(voice.name.c_str());
    if (status != ENS_OK) {
        error = "voice '" + voice.name + "': " + statusText(status);
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
    Output output{&pcm, maxSamples, &cancel};
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
